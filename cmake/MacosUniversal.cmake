# The macos-cross preset's bundle is universal: this build links the x86-64
# code, a build of the same sources for arm64 (toolchain
# macos-cross-arm64.cmake, ORVANE_MACOS_SLICE) links the arm64 code, and
# llvm-lipo joins the two into the bundle's executable as soon as the x86-64
# code is linked. The arm64 build is run on every build and relinks only
# what changed; a new arm64 slice relinks the bundle. Included by
# OrvanePlugin/CMakeLists.txt, the directory of the plug-in's target.
find_program(ORVANE_LLVM_LIPO NAMES llvm-lipo-14 llvm-lipo REQUIRED)
include(ExternalProject)
set(arm64_dir ${CMAKE_BINARY_DIR}/macos-arm64)
set(arm64_code ${arm64_dir}/OrvanePlugin/OrvaneVeilShadow${CMAKE_SHARED_MODULE_SUFFIX})
ExternalProject_Add(orvane_macos_arm64
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${arm64_dir}
  PREFIX ${CMAKE_BINARY_DIR}/macos-arm64-steps
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/macos-cross-arm64.cmake
             -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
             -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_HOST_TOOLS=OFF -DORVANE_MACOS_SLICE=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${arm64_dir} --target OrvaneVeilShadow
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${arm64_code}
  INSTALL_COMMAND "")
add_dependencies(OrvaneVeilShadow orvane_macos_arm64)
set_property(TARGET OrvaneVeilShadow APPEND PROPERTY LINK_DEPENDS ${arm64_code})
add_custom_command(TARGET OrvaneVeilShadow POST_BUILD
  COMMAND ${ORVANE_LLVM_LIPO} -create $<TARGET_FILE:OrvaneVeilShadow> ${arm64_code}
          -output $<TARGET_FILE:OrvaneVeilShadow>.universal
  COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:OrvaneVeilShadow>.universal $<TARGET_FILE:OrvaneVeilShadow>
  COMMENT "Joining the x86-64 and arm64 code into a universal bundle"
  VERBATIM)
