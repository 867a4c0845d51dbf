printf precious > target
ln -s target debug_syscore.log
