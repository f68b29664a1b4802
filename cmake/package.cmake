# Packages: `cpack` in a native build makes a .deb, in a PowerPC cross build
# a tarball to unpack over the appliance's root.  All hold
# /usr/sbin/trapwatch, /usr/bin/trapwatchctl, /usr/bin/keelson-sim and
# /etc/init.d/trapwatch.  The tarball to ship is the musl build's
# (cmake/powerpc-linux-musl.cmake, made by scripts/musl.sh): its programs are
# static and run on any board of the architecture; the glibc cross build's
# (cmake/powerpc-linux-gnu.cmake) needs the board's glibc.
set(CPACK_PACKAGE_NAME trapwatch)
set(CPACK_PACKAGE_VENDOR "trapwatch")
set(CPACK_PACKAGE_CONTACT "trapwatch developers <trapwatch@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SNMP trap receiver reachability monitor")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "trapwatch pings the SNMP trap receivers of a network appliance every five
seconds, probes their trap ports over UDP, keeps an 11 x 8 status matrix
and asks the appliance's controller daemon to refresh its SNMP
configuration when a receiver's reachability changes.

The package holds the daemon, its control client trapwatchctl (which also
checks a configuration file with the daemon's own reader), the controller
stand-in keelson-sim, an init script and a systemd unit.")
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
  # invoke-rc.d --skip-systemd-native in prerm.
  set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
  # An init script is the administrator's to edit: keep it across upgrades.
  file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/init.d/trapwatch\n")
  # The maintainer scripts register the init script and the unit (and
  # remove them on purge); they start and stop nothing but on removal.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
