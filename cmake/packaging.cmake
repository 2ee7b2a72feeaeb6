# Debian packages of the install components (cpack -G DEB): libkxapicommon<soversion> (runtime),
# libkxapicommon-dev (dev) and kxapicommon-devhost (devhost). Configure with
# -DCMAKE_INSTALL_PREFIX=/usr so that GNUInstallDirs picks the multiarch library directory; a cross
# build has to name it (-DCMAKE_INSTALL_LIBDIR=lib/<triple>), as GNUInstallDirs never does there.
# scripts/packages.sh does both and checks the result.
# Once the components are staged, cpack runs cmake/deb-depends.cmake on them.
set(KXAPI_PACKAGE_MAINTAINER "kxapicommon maintainers <maintainers@kxapicommon.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kxapicommon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(KXAPI_BUILD_DEVHOST)
  list(APPEND CPACK_COMPONENTS_ALL devhost)
endif()
if(KXAPI_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KXAPI_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE kxapicommon)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Stripped objects, 0755 directories and policy modes on the maintainer scripts, whatever the
# build type and the umask of the build.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-depends.cmake)
# A shlibs file lets packages built against these libraries get their dependencies from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# The Debian architecture of the target, not of the build machine, which is what CPack would take.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
  find_program(KXAPI_DPKG_ARCHITECTURE dpkg-architecture)
  if(KXAPI_DPKG_ARCHITECTURE)
    execute_process(COMMAND ${KXAPI_DPKG_ARCHITECTURE} -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
  if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(WARNING "no Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE}: set CPACK_DEBIAN_PACKAGE_ARCHITECTURE, "
                    "or the packages carry the build machine's")
  endif()
endif()

# Natively dpkg-shlibdeps gives versioned dependencies from the installed libraries' symbol files.
# It cannot see a sysroot's libraries: a cross build states the packages from the sonames.
find_program(KXAPI_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(CMAKE_CROSSCOMPILING OR NOT KXAPI_DPKG_SHLIBDEPS)
  set(CPACK_KXAPI_DEPENDS_FROM_SONAMES ON)
else()
  set(CPACK_KXAPI_DEPENDS_FROM_SONAMES OFF)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_DEVHOST_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
endif()

set(KXAPI_RUNTIME_PACKAGE libkxapicommon${PROJECT_VERSION_MAJOR})
set(KXAPI_EXACT_VERSION "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KXAPI_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Description lines stay under 80 columns, as Debian tools show them unwrapped.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "common support library of a camera's REST access server
The shared library that a camera's REST access server loads: it forwards
reads and changes to the camera's internal services as fixed-size command
messages over Unix-domain datagram endpoints, routes request URLs to inner
commands, parses query strings, answers with JSON status bodies and talks
HBTP to platform services.

The platform's logging, HBTP and event-loop symbols stay undefined in the
library and are bound at load time to the board's own libraries or to the
host's definitions.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkxapicommon-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${KXAPI_RUNTIME_PACKAGE} ${KXAPI_EXACT_VERSION}")
set(CPACK_COMPONENT_DEV_DESCRIPTION "common support library of a camera's REST access server (development)
The header kxapicommon.h, the CMake package (find_package(kxapicommon),
target kxapicommon::kxapicommon) and the pkg-config file of libkxapicommon.")

set(CPACK_DEBIAN_DEVHOST_PACKAGE_NAME kxapicommon-devhost)
set(CPACK_DEBIAN_DEVHOST_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEVHOST_PACKAGE_DEPENDS
    "libkxapicommon-dev ${KXAPI_EXACT_VERSION}, ${KXAPI_RUNTIME_PACKAGE} ${KXAPI_EXACT_VERSION}")
set(CPACK_COMPONENT_DEVHOST_DESCRIPTION "dev-host kit of libkxapicommon and its reference access server
Runs a host of libkxapicommon on a PC instead of the camera: a stand-in for
the camera platform's libraries (logging, random source, HBTP, service file
system, event loop), Unix-domain datagram endpoints and scripted camera
services, with their headers under /usr/include/kxplatform and the CMake
component devhost (kxapicommon::platform, ::devhost, ::services); and
kxapi-access-server, the reference access server with emulated camera
services.

Not for the camera, where the board's own libraries supply the platform.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kxapicommon-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KXAPI_RUNTIME_PACKAGE} ${KXAPI_EXACT_VERSION}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "kxapi-probe: asks, watches and records a camera's services
Sends one command message or HBTP request to a camera's internal service
and prints the reply; stands between a running service and its clients,
printing each message and recording them as a scenario file or a pcapng
capture (with a Wireshark Lua dissector); checks a live service against a
scenario file.

For the camera and for a PC: it needs the runtime library, and takes the
platform's logging and HBTP functions from the process (the board's
libraries, or the dev-host kit's stand-in preloaded).")

include(CPack)
