mkfifo debug_inv.log
