# Builds the macOS x86-64 bundle on a machine without a Mac SDK: clang 14
# compiles the plug-in freestanding against libc++'s headers (the sources use
# only freestanding headers; the host supplies the C functions they call) and
# ld64.lld links the objects into a Mach-O bundle whose remaining symbols (the
# C++ runtime's) are bound when the host loads it.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSTEM_VERSION 17.0)  # macOS 10.13

set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET x86_64-apple-macos10.13)
set(ORVANE_MACOS_ARCH x86_64)
set(ORVANE_MACOS_MINIMUM 10.13)
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
