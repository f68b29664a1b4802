# What `cmake --install` adds to the programs' own rules (trapwatch to sbin,
# every tools/*_main program to bin): the SysV init script.
#
# The script belongs in /etc/init.d whatever the programs' prefix is when
# that prefix is the system's own (/usr or /); under any other prefix it goes
# to PREFIX/etc/init.d.  The choice is made at install time, so that a
# package built with its own prefix gets it right too.
install(CODE "
  set(tw_init_src \"${PROJECT_SOURCE_DIR}/scripts/init.d/trapwatch\")
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" OR CMAKE_INSTALL_PREFIX STREQUAL \"/\")
    set(tw_init_dir \"/etc/init.d\")
  else()
    set(tw_init_dir \"\${CMAKE_INSTALL_PREFIX}/etc/init.d\")
  endif()
  file(INSTALL DESTINATION \"\${tw_init_dir}\" TYPE PROGRAM FILES \"\${tw_init_src}\")
")
