# `cmake --install`: the gateway, its systemd unit and an example
# configuration; CPack turns the same into a Debian package that creates the
# service's user and home. Included from the top-level CMakeLists.txt.
include(GNUInstallDirs)

install(TARGETS tavrelh5 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The unit names the binary by its full path, which is known only at install
# time (cmake --install --prefix, CPack's /usr).
install(CODE "
  file(READ \"${CMAKE_CURRENT_LIST_DIR}/tavrelh5.service\" unit)
  string(REPLACE \"ExecStart=/usr/bin/tavrelh5\"
         \"ExecStart=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavrelh5\" unit \"\${unit}\")
  set(dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/tavrelh5.service\")
  message(STATUS \"Installing: \${dest}\")
  file(WRITE \"\${dest}\" \"\${unit}\")
")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/Tavrel.ini.example
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tavrelh5)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/SCALING.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrelh5)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrelh5)
if(PROJECT_VERSION)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(CPACK_PACKAGE_VERSION 1.0.0)
endif()
set(CPACK_PACKAGE_CONTACT "TavrelH5 maintainers <tavrelh5@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "game gateway between browser WebSocket clients and one game server")
set(CPACK_PACKAGE_DESCRIPTION
    "TavrelH5 accepts browser WebSocket connections (optionally TLS), paces client actions, \
translates the game server's records into JSON and multiplexes every session over one TCP \
link to the game server. The package runs it as the systemd service tavrelh5 in \
/var/lib/tavrelh5.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The maintainer scripts create the user and home with adduser.
find_program(TAVREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAVREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6, libgcc-s1, libstdc++6, libssl3, zlib1g")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

if(TAVREL_TESTS)
  # The unit as installed, checked by systemd's own parser where it exists.
  add_test(NAME deploy.SystemdUnit
           COMMAND sh ${CMAKE_SOURCE_DIR}/tests/deploy/check-unit.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deploy.SystemdUnit PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
  add_test(NAME deploy.DebianPackage
           COMMAND sh ${CMAKE_SOURCE_DIR}/tests/deploy/check-package.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deploy.DebianPackage PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
