# What both slices of the macOS bundle are built with, included by their
# toolchain files (macos-cross-x86_64.cmake, macos-cross-arm64.cmake) once
# they have set CMAKE_SYSTEM_PROCESSOR, CMAKE_SYSTEM_VERSION,
# CMAKE_CXX_COMPILER_TARGET, ORVANE_MACOS_ARCH and ORVANE_MACOS_MINIMUM.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++ -ffreestanding")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of the release build")
set(CMAKE_LINKER ld64.lld-14)
# No SDK and no system libraries: probe the compiler without linking.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "no SDK in a cross build")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "the target triple names the architecture")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Link rules: see macos-cross-rules.cmake.
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/macos-cross-rules.cmake)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
