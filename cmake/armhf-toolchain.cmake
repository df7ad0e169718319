# Cross build for 32-bit ARM (armhf, the gateway's architecture) with Debian's
# cross toolchain and multiarch libraries; the programs run under qemu-arm.
#   scripts/setup-armhf.sh   # g++-arm-linux-gnueabihf, libjansson-dev:armhf,
#                            # libgtest-dev:armhf, libstdc++6:armhf, qemu-user
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#   cmake --build build-armhf && ctest --test-dir build-armhf
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ORV_ARMHF_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${ORV_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORV_ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORV_ARMHF_TRIPLET})
# GCC notes, for code built against GCC 6 or older, that GCC 7.1 changed how
# some arguments are passed; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Libraries and packages come from the armhf multiarch directories
# (/usr/lib/arm-linux-gnueabihf) and the cross libc (/usr/arm-linux-gnueabihf),
# never from the host's; programs (pkg-config, the tools the build runs) from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must find the armhf jansson, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ORV_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# ctest and gtest_discover_tests run the armhf programs under qemu-arm. The
# dynamic loader, libc and libstdc++ they run with are the multiarch ones
# (libc6:armhf, libstdc++6:armhf: /lib/ld-linux-armhf.so.3, /lib/arm-linux-gnueabihf),
# so the loader root is / by default. The cross toolchain's own copy under
# /usr/arm-linux-gnueabihf (-DORV_ARMHF_LOADER_ROOT=/usr/arm-linux-gnueabihf)
# only works while its libc is the very same release as libc6:armhf: the
# loader of one with the libc of the other crashes every threaded program.
set(ORV_ARMHF_LOADER_ROOT / CACHE PATH "Root qemu-arm loads the armhf loader and libraries from")
find_program(ORV_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(NOT ORV_QEMU_ARM)
  message(FATAL_ERROR "qemu-arm not found: run scripts/setup-armhf.sh")
endif()
# ORV_TESTS_EMULATED tells the tests what qemu's user mode can't do.
set(CMAKE_CROSSCOMPILING_EMULATOR env ORV_TESTS_EMULATED=qemu-arm ${ORV_QEMU_ARM} -L
    ${ORV_ARMHF_LOADER_ROOT})
