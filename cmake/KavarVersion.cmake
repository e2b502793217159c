# kavar_version_record(<target>): writes the project's version into the program's file
# as its version record, which platform/version reads back from the file on disk.
function(kavar_version_record target)
endfunction()
