# Builds the macOS x86-64 bundle on a machine without a Mac SDK: clang 14
# compiles the plug-in freestanding against libc++'s headers (the sources use
# only freestanding headers; the host supplies the C functions they call) and
# ld64.lld links the objects into a Mach-O bundle whose remaining symbols (the
# C++ runtime's) are bound when the host loads it.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSTEM_VERSION 17.0)  # macOS 10.13
set(CMAKE_CXX_COMPILER_TARGET x86_64-apple-macos10.13)
set(ORVANE_MACOS_ARCH x86_64)
set(ORVANE_MACOS_MINIMUM 10.13)
include(${CMAKE_CURRENT_LIST_DIR}/macos-cross-common.cmake)
