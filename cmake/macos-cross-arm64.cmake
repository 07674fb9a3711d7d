# The arm64 slice of the macOS bundle, cross-built like the x86-64 one
# (macos-cross-x86_64.cmake): clang 14 compiles freestanding against
# libc++'s headers and ld64.lld links a Mach-O bundle. macOS 11 is the first
# release on Apple silicon, so it is the slice's minimum. The macos-cross
# preset runs this build itself (Mac/CMakeLists.txt); ORVANE_MACOS_SLICE
# makes it build the code alone, without the bundle around it.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_SYSTEM_VERSION 20.0)  # macOS 11
set(CMAKE_CXX_COMPILER_TARGET arm64-apple-macos11)
set(ORVANE_MACOS_ARCH arm64)
set(ORVANE_MACOS_MINIMUM 11.0)
include(${CMAKE_CURRENT_LIST_DIR}/macos-cross-common.cmake)
