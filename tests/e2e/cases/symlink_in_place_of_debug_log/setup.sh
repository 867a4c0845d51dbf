printf precious > target
ln -s target debug_inv.log
ln -s missing_target debug_update.log
