# The unit's Debian package (scripts/package.sh): orv-main, its service started at
# boot, the RAM disk of its settings filled from the SD card, its directories and
# the deployment settings file, the unit's factory ntp.conf and dhcpcd.conf, the
# helper and drop-ins through which it alone starts the NTP daemon (ntpsec or
# chrony), and NetworkManager's hands off eth0. The tuner-control library is not
# in it. One package per Debian release (ORV_DEB_RELEASE).
set(ORV_VERSION ${PROJECT_VERSION})
set(pkg ${CMAKE_SOURCE_DIR}/packaging)
set(ORV_DEB_RELEASE trixie CACHE STRING "Debian release of the package: bookworm or trixie")
set_property(CACHE ORV_DEB_RELEASE PROPERTY STRINGS bookworm trixie)
# Units under /usr on trixie, where /lib is only an alias of /usr/lib (dpkg
# sees a file that moves there within the package as the same file at an
# upgrade); under /lib on bookworm, as its own packages have them.
# chrony reads the leap seconds from the right/ zones on bookworm; on trixie
# they are in tzdata-legacy, and chrony 4.6 reads the list that tzdata keeps.
if(ORV_DEB_RELEASE STREQUAL "bookworm")
  set(ORV_DEB_VERSION ${ORV_VERSION}+deb12)
  set(units /lib/systemd/system)
  set(ORV_CHRONY_LEAP "leapsectz right/UTC")
elseif(ORV_DEB_RELEASE STREQUAL "trixie")
  set(ORV_DEB_VERSION ${ORV_VERSION}+deb13)
  set(units /usr/lib/systemd/system)
  set(ORV_CHRONY_LEAP "leapseclist /usr/share/zoneinfo/leap-seconds.list")
else()
  message(FATAL_ERROR "ORV_DEB_RELEASE: bookworm or trixie, not ${ORV_DEB_RELEASE}")
endif()

# Its symbols bound at start, the relocations then read-only, as Debian's
# hardened builds have them.
target_link_options(orv-main PRIVATE -Wl,-z,relro,-z,now)
target_link_options(orvctl PRIVATE -Wl,-z,relro,-z,now)
install(TARGETS orv-main RUNTIME DESTINATION sbin)
install(TARGETS orvctl RUNTIME DESTINATION bin)
# Without the compilers' version notes (.comment), as dh_strip leaves Debian's
# binaries: strip leaves those that the C runtime's start files bring.
foreach(program sbin/orv-main bin/orvctl)
  install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
    \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${program} COMMAND_ERROR_IS_FATAL ANY)")
endforeach()
foreach(page orvctl.1 orv-main.8)
  configure_file(${CMAKE_SOURCE_DIR}/doc/${page} ${CMAKE_BINARY_DIR}/${page} COPYONLY)
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/${page})
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${CMAKE_BINARY_DIR}/${page}.gz DESTINATION share/man/man${section})
endforeach()
install(PROGRAMS ${pkg}/ntp-daemon DESTINATION libexec/orv-main)
install(FILES ${pkg}/orv-main.service ${pkg}/orv-main-conf.service ${pkg}/var-kelvatro-conf.mount
  DESTINATION ${units})
install(FILES ${pkg}/ntpsec.service.conf DESTINATION ${units}/ntpsec.service.d RENAME orv-main.conf)
install(FILES ${pkg}/chrony.service.conf DESTINATION ${units}/chrony.service.d RENAME orv-main.conf)
install(FILES ${pkg}/orv-main.tmpfiles DESTINATION lib/tmpfiles.d RENAME orv-main.conf)
install(FILES ${pkg}/networkmanager.conf DESTINATION lib/NetworkManager/conf.d RENAME orv-main.conf)
install(FILES ${pkg}/orv-main.default DESTINATION /etc/default RENAME orv-main)
configure_file(${pkg}/chrony.conf ${CMAKE_BINARY_DIR}/chrony.conf @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/chrony.conf DESTINATION /etc/chrony RENAME orv-main.conf)
install(DIRECTORY DESTINATION /etc/ntpsec/ntp.d)
install(FILES ${pkg}/ntp.conf ${pkg}/dhcpcd.conf DESTINATION kelvatro/conf)
configure_file(${pkg}/changelog ${CMAKE_BINARY_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/changelog)
install(FILES ${pkg}/copyright ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_SOURCE_DIR}/README.md
  ${CMAKE_SOURCE_DIR}/doc/operator-guide.md
  DESTINATION share/doc/orv-main)
# Alerting rules and a Grafana dashboard on the unit's metrics.
install(FILES ${pkg}/orv-main.rules.yml ${pkg}/orv-main.dashboard.json DESTINATION share/orv-main)
install(FILES ${pkg}/lintian-overrides DESTINATION share/lintian/overrides RENAME orv-main)

# The Debian name of the target architecture.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(ORV_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(ORV_DEB_ARCH armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(ORV_DEB_ARCH amd64)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE ORV_DEB_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orv-main)
set(CPACK_PACKAGE_VERSION ${ORV_DEB_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ORV_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The ORV developers <orv-developers@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ORV time-server unit: broadcast time to the clock and NTP")
set(CPACK_PACKAGE_DESCRIPTION "The main program of the ORV time-server unit (Raspberry Pi,
FPGA board, ISDB-T tuner): it sets the clock from the time of Japanese digital
terrestrial television and serves it through the system NTP daemon. The closed
tuner-control library libsmscontrollite.so is installed separately.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Every program the unit runs: sudo, ifconfig and route, the dhcpcd service,
# hwclock, the zone data, the NTP daemon (ntpsec or chrony), the verifier of
# the updates' signatures (sqv, which trixie's apt itself depends on), and the
# tools of its shell commands. The names are the same on bookworm and trixie.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sudo, net-tools, dhcpcd, util-linux-extra, tzdata, \
ntpsec | chrony, sqv, procps, gawk | mawk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${pkg}/conffiles ${pkg}/postinst ${pkg}/prerm ${pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
