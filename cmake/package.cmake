# `make package`: one Debian package with the library, its header, CMake
# package and pkg-config file, the command with its man page, completions and
# systemd user unit. Runtime dependencies come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbus)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "read-only OneDrive browser for media players: library, command and gateway")
set(CPACK_PACKAGE_DESCRIPTION
    "nimbus browses a OneDrive drive read-only through Microsoft Graph. This package holds
the shared library libnimbus with its C header, CMake package and pkg-config
file, and the nimbus command: list folders, print stream URLs, sign in, and
serve the drive over HTTP to media players (nimbus serve, also as the systemd
user unit nimbus-serve.service).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The nimbus developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-utils")
set(CPACK_STRIP_FILES ON)
if(NIMBUS_BUNDLE_YYJSON)
  # The bundled library is part of the package: no dependency on it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_LIBDIR}/nimbus)
endif()
include(CPack)
