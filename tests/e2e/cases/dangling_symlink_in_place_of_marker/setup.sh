ln -s would_be_created zepdebuglog
