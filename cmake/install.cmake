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

# On a native build, also the manual pages, the systemd unit and the
# package's documentation, compressed as Debian policy wants (gzip -9n: no
# name or time stamp, so that two builds give the same bytes).  The board's
# tarball keeps to the programs and the init script.
if(NOT CMAKE_CROSSCOMPILING)
  set(tw_gz_files)
  foreach(src docs/man/trapwatch.8 docs/man/trapwatchctl.1 docs/man/keelson-sim.1
      docs/man/cfparams.txt.5 packaging/changelog)
    get_filename_component(name ${src} NAME)
    set(gz ${CMAKE_BINARY_DIR}/gz/${name}.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
      COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${src} > ${gz}
      DEPENDS ${PROJECT_SOURCE_DIR}/${src} VERBATIM)
    list(APPEND tw_gz_files ${gz})
    if(name MATCHES "\\.([158])$")
      install(FILES ${gz} DESTINATION share/man/man${CMAKE_MATCH_1})
    endif()
  endforeach()
  add_custom_target(tw_gz ALL DEPENDS ${tw_gz_files})
  install(FILES ${CMAKE_BINARY_DIR}/gz/changelog.gz packaging/copyright
    DESTINATION share/doc/trapwatch)
  # The unit beside the system's own units (/lib on Debian 12), or under
  # another prefix, PREFIX/lib.
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" OR CMAKE_INSTALL_PREFIX STREQUAL \"/\")
      set(tw_unit_dir \"/lib/systemd/system\")
    else()
      set(tw_unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
    endif()
    file(INSTALL DESTINATION \"\${tw_unit_dir}\" TYPE FILE
      FILES \"${PROJECT_SOURCE_DIR}/packaging/trapwatch.service\")
  ")
endif()
