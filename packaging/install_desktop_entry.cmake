# Run by cmake --install: writes the menu entry with the program's full path under
# the prefix being installed to (a package installs under /usr whatever the build
# was configured with) and installs it.
set(program "${CMAKE_INSTALL_PREFIX}/${program_from_prefix}")
if(program MATCHES "[\"`$\\]")
  message(FATAL_ERROR "The menu entry cannot run a program whose path holds \", `, $ or \\: "
                      "${program}; install to another prefix.")
endif()
if(program MATCHES "[ \t]")
  set(program "\"${program}\"")
endif()
file(READ "${desktop_entry_template}" entry)
string(REPLACE "@PROGRAM@" "${program}" entry "${entry}")
file(WRITE "${desktop_entry}" "${entry}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${applications_from_prefix}" TYPE FILE
     FILES "${desktop_entry}")

# Debian's update-mime makes a mailcap rule of every menu entry that has a MimeType
# unless a file of the entry's name lies in /usr/lib/mime/packages. Ours holds no
# rule, so xdg-open, run-mailcap and mail programs keep showing pictures in a viewer.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/mime/packages" TYPE FILE
       FILES "${no_mailcap_rule}")
endif()
