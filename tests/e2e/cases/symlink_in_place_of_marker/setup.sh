printf "keep me" > victim
ln -s victim zepdebuglog
