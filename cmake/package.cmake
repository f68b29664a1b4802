# Packages: `cpack` in a native build makes a .deb, in a PowerPC cross build
# a tarball to unpack over the appliance's root.  All hold
# /usr/sbin/trapwatch, /usr/bin/trapwatchctl, /usr/bin/keelson-sim and
# /etc/init.d/trapwatch.  The tarball to ship is the musl build's
# (cmake/powerpc-linux-musl.cmake, made by scripts/musl.sh): its programs are
# static and run on any board of the architecture; the glibc cross build's
# (cmake/powerpc-linux-gnu.cmake) needs the board's glibc.
set(CPACK_PACKAGE_NAME trapwatch)
set(CPACK_PACKAGE_VENDOR "trapwatch")
set(CPACK_PACKAGE_CONTACT "trapwatch developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SNMP trap receiver reachability monitor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Installed with DESTDIR under the system prefix, so that the init script's
# absolute /etc/init.d lands inside the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

if(CMAKE_CROSSCOMPILING)
  set(CPACK_GENERATOR TGZ)
  if(TRAPWATCH_MUSL_SYSROOT)
    set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR}-static)
  else()
    set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  # An init script is the administrator's to edit: keep it across upgrades.
  file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/init.d/trapwatch\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
endif()

include(CPack)
