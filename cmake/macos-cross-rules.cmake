# Link rule of the macOS cross build: ld64.lld makes the bundle directly. No
# SDK, so no libSystem or libc++ to link against: -undefined dynamic_lookup
# leaves the C++ runtime's symbols (exception throwing and catching) to be
# found in the host process when the bundle is loaded. The toolchain file
# names the architecture and the minimum macOS version.
set(CMAKE_CXX_CREATE_SHARED_MODULE
    "<CMAKE_LINKER> -arch ${ORVANE_MACOS_ARCH} -bundle -platform_version macos ${ORVANE_MACOS_MINIMUM} ${ORVANE_MACOS_MINIMUM} -undefined dynamic_lookup -dead_strip <LINK_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")
