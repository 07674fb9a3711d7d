# arm64 Linux with clang 14 and lld, the compiler and the optimisation of the
# macOS bundle's arm64 slice (macos-cross-arm64.cmake), against the aarch64
# GNU C library and libstdc++ of Debian's g++-aarch64-linux-gnu. The test
# programs run on this machine under qemu-user (qemu-user-static), which
# finds the aarch64 libraries under the sysroot given by -L.
#
# -fsigned-char: plain char is signed on macOS arm64 and unsigned in the
# arm64 Linux ABI; the tests stand in for the macOS slice, so they take
# macOS's choice.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ORVANE_ARM64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
# GoogleTest's project enables C as well, though it compiles no C.
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_FLAGS_INIT "-fsigned-char")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of the release build")
# lld-14 names its linker ld.lld-14 (ld.lld is the lld package's).
set(CMAKE_EXE_LINKER_FLAGS_INIT "--ld-path=ld.lld-14")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "--ld-path=ld.lld-14")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "--ld-path=ld.lld-14")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${ORVANE_ARM64_SYSROOT})

set(CMAKE_FIND_ROOT_PATH ${ORVANE_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
