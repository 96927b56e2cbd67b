# Debian's hardening flags (fortify, stack protector, relro, bindnow) as
# dpkg-buildflags gives them with every hardening feature on, for the
# gateway's code (its libraries, which the tests link too, and the binary)
# in every optimised build without sanitizers: the package is made from such
# a build. Only the hardening flags are taken, so the build type keeps its
# own optimisation and debug flags; -Wdate-time would fail a -Werror build on
# --version's build date. Targets link `tavrel_hardening`; included from the
# top-level CMakeLists.txt before them.
option(TAVREL_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)" ON)
add_library(tavrel_hardening INTERFACE)
# Whether they are in this build (the package's checks hold it to them).
set(TAVREL_HARDENED OFF)
find_program(TAVREL_DPKG_BUILDFLAGS dpkg-buildflags)
# _FORTIFY_SOURCE needs optimisation: without it every file would warn.
if(TAVREL_HARDENING AND NOT TAVREL_SANITIZE AND
   CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  if(NOT TAVREL_DPKG_BUILDFLAGS)
    message(STATUS "dpkg-buildflags not found (dpkg-dev): built without Debian's hardening flags")
    return()
  endif()
  foreach(kind IN ITEMS CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${TAVREL_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    foreach(flag IN LISTS flags)
      if(flag MATCHES "^-Wl,-z,|^-pie$")
        target_link_options(tavrel_hardening INTERFACE ${flag})
      elseif(flag MATCHES "^-D_FORTIFY_SOURCE=|^-fstack-|^-fcf-protection|^-fPIE$|^-Wformat|^-Werror=format")
        target_compile_options(tavrel_hardening INTERFACE ${flag})
      endif()
    endforeach()
  endforeach()
  get_target_property(compile tavrel_hardening INTERFACE_COMPILE_OPTIONS)
  get_target_property(link tavrel_hardening INTERFACE_LINK_OPTIONS)
  message(STATUS "Hardening flags (dpkg-buildflags): ${compile} ${link}")
  set(TAVREL_HARDENED ON)
endif()
