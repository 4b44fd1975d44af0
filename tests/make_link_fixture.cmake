# Makes a table file and a symbolic link to it in DIR. Run on the build
# machine before the Windows tests under Wine: Wine makes no symbolic links
# of its own, and a link of the host's file system is what a Windows
# program meets there as one.
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
file(WRITE ${DIR}/real.csv "old\r\n")
file(CREATE_LINK real.csv ${DIR}/link.csv SYMBOLIC)
