# Cross build for the camera: 32-bit ARM EABI, hard-float (Debian's arm-linux-gnueabihf
# toolchain), against an armhf sysroot made by scripts/armhf-sysroot.sh.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#         [-DKXAPI_ARMHF_SYSROOT=/path/to/sysroot]
# Test executables run under qemu-arm, so ctest works in the build directory as on the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KXAPI_ARMHF_TRIPLE arm-linux-gnueabihf)

# The sysroot: a cache value, else the environment, else the default next to the sources.
if(NOT KXAPI_ARMHF_SYSROOT)
  if(DEFINED ENV{KXAPI_ARMHF_SYSROOT})
    set(KXAPI_ARMHF_SYSROOT "$ENV{KXAPI_ARMHF_SYSROOT}")
  else()
    get_filename_component(KXAPI_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-armhf-sysroot" ABSOLUTE)
  endif()
endif()
set(KXAPI_ARMHF_SYSROOT "${KXAPI_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot (scripts/armhf-sysroot.sh)")
# try_compile projects run this file again: hand them the sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KXAPI_ARMHF_SYSROOT)
if(NOT EXISTS "${KXAPI_ARMHF_SYSROOT}/usr/include/${KXAPI_ARMHF_TRIPLE}")
  message(FATAL_ERROR "no armhf sysroot at ${KXAPI_ARMHF_SYSROOT}: run scripts/armhf-sysroot.sh")
endif()

set(CMAKE_C_COMPILER ${KXAPI_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KXAPI_ARMHF_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KXAPI_ARMHF_TRIPLE})
set(CMAKE_SYSROOT "${KXAPI_ARMHF_SYSROOT}")

# Programs come from the build host; headers, libraries and package configs only from the sysroot.
set(CMAKE_FIND_ROOT_PATH "${KXAPI_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the sysroot's .pc files and prefixes their paths with it.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR}
    "${KXAPI_ARMHF_SYSROOT}/usr/lib/${KXAPI_ARMHF_TRIPLE}/pkgconfig:${KXAPI_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KXAPI_ARMHF_SYSROOT}")

# The sysroot's loader and libraries serve the emulated programs; -L makes qemu look up the
# ELF interpreter and every absolute library path inside the sysroot.
find_program(KXAPI_QEMU_ARM qemu-arm)
if(KXAPI_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KXAPI_QEMU_ARM};-L;${KXAPI_ARMHF_SYSROOT}")
endif()
