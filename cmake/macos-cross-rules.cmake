# Link rule of the macOS cross build: ld64.lld makes the bundle directly. No
# SDK, so no libSystem or libc++ to link against: -undefined dynamic_lookup
# leaves the C++ runtime's symbols (exception throwing and catching) to be
# found in the host process when the bundle is loaded.
set(CMAKE_CXX_CREATE_SHARED_MODULE
    "<CMAKE_LINKER> -arch x86_64 -bundle -platform_version macos 10.13 10.13 -undefined dynamic_lookup -dead_strip <LINK_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")
