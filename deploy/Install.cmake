# `cmake --install`: the gateway, its manual page, its systemd unit, its
# settings file (from the example), the docs and the Grafana dashboard; CPack
# turns the same into a Debian package that creates the service's user, home
# and log directory. Included from the top-level CMakeLists.txt.
include(GNUInstallDirs)

install(TARGETS tavrelh5 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The unit names the binary and the settings file by their full paths, which
# are known only at install time (cmake --install --prefix, CPack's /usr).
# The settings go where GNUInstallDirs puts them: /etc for the prefix /usr,
# else <prefix>/etc.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(tavrel_etc /etc/tavrelh5)
  else()
    set(tavrel_etc \"\${CMAKE_INSTALL_PREFIX}/etc/tavrelh5\")
  endif()
  file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/Tavrel.ini.example\" DESTINATION \"\${tavrel_etc}\"
       RENAME Tavrel.ini PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
  file(READ \"${CMAKE_CURRENT_LIST_DIR}/tavrelh5.service\" unit)
  string(REPLACE \"/usr/bin/tavrelh5 --config /etc/tavrelh5/Tavrel.ini\"
         \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavrelh5 --config \${tavrel_etc}/Tavrel.ini\"
         unit \"\${unit}\")
  set(dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/tavrelh5.service\")
  message(STATUS \"Installing: \${dest}\")
  file(WRITE \"\${dest}\" \"\${unit}\")
")
# The pristine example stays beside the dashboard for reference.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/Tavrel.ini.example
              ${CMAKE_SOURCE_DIR}/docs/grafana-dashboard.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tavrelh5)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/SCALING.md
              ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrelh5)
# Debian wants the changelog compressed without a time stamp (gzip -n); made
# at install time, so that no build target has to run first.
set(TAVREL_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
install(CODE "
  execute_process(COMMAND gzip -9n -c \"${CMAKE_CURRENT_LIST_DIR}/debian/changelog\"
                  OUTPUT_FILE \"${TAVREL_CHANGELOG_GZ}\" COMMAND_ERROR_IS_FATAL ANY)
")
install(FILES ${TAVREL_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrelh5)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tavrelh5)

set(TAVREL_SUMMARY "game gateway between browser WebSocket clients and one game server")
# The manual page tavrelh5(8), made from --help whenever the binary is built.
set(TAVREL_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/tavrelh5.8.gz)
add_custom_command(
  OUTPUT ${TAVREL_MAN_PAGE}
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/man-from-help.sh $<TARGET_FILE:tavrelh5> ${PROJECT_VERSION}
          "${TAVREL_SUMMARY}" ${TAVREL_MAN_PAGE}
  DEPENDS tavrelh5 ${CMAKE_CURRENT_LIST_DIR}/man-from-help.sh
  COMMENT "Manual page tavrelh5(8) from --help" VERBATIM)
add_custom_target(tavrelh5_man ALL DEPENDS ${TAVREL_MAN_PAGE})
install(FILES ${TAVREL_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrelh5)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision: the package's version is <project version>-1, the
# same as the top entry of debian/changelog.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# No public contact exists yet; .invalid says so rather than a host that
# mail would be tried on.
set(CPACK_PACKAGE_CONTACT "TavrelH5 maintainers <tavrelh5@tavrelh5.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${TAVREL_SUMMARY}")
# Lines of the extended description stay within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "TavrelH5 accepts browser WebSocket connections (optionally TLS), paces
client actions, translates the game server's records into JSON and
multiplexes every session over one TCP link to the game server. The package
runs it as the systemd service tavrelh5 in /var/lib/tavrelh5, with its
settings in /etc/tavrelh5/Tavrel.ini.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The maintainer scripts create the user and home with adduser, and keep the
# unit's links and restart the service with deb-systemd-helper and
# deb-systemd-invoke (init-system-helpers, essential).
find_program(TAVREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAVREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6, libgcc-s1, libstdc++6, libssl3, zlib1g")
endif()
# conffiles: dpkg keeps an operator's edits to /etc/tavrelh5/Tavrel.ini.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

if(TAVREL_TESTS)
  # The unit as installed, checked by systemd's own parser where it exists.
  add_test(NAME deploy.SystemdUnit
           COMMAND sh ${CMAKE_SOURCE_DIR}/tests/deploy/check-unit.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deploy.SystemdUnit PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
  # Lintian's hardening tags count only against a build that has the flags.
  if(TAVREL_HARDENED)
    set(hardened hardened)
  else()
    set(hardened unhardened)
  endif()
  add_test(NAME deploy.DebianPackage
           COMMAND sh ${CMAKE_SOURCE_DIR}/tests/deploy/check-package.sh ${CMAKE_BINARY_DIR}
                   ${hardened})
  set_tests_properties(deploy.DebianPackage PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
  # dpkg -i, systemctl enable, dpkg -r and -P, in a private mount namespace.
  add_test(NAME deploy.PackageInstall
           COMMAND sh ${CMAKE_SOURCE_DIR}/tests/deploy/check-install.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deploy.PackageInstall PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
  # Each installs the build, which writes changelog.Debian.gz in it.
  set_tests_properties(deploy.SystemdUnit deploy.DebianPackage deploy.PackageInstall
                       PROPERTIES RESOURCE_LOCK tavrel_install)
endif()
