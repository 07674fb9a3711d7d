# The orvane_package target of a platform build: `make package` builds it in
# the windows and macos-cross presets.
include(${CMAKE_CURRENT_LIST_DIR}/OrvaneVersion.cmake)
set(ORVANE_DIST_DIR ${PROJECT_SOURCE_DIR}/dist CACHE PATH "Where the packages are written")

#   orvane_add_package(<package name> [ZIP] FILES <files...> DIRECTORIES <folders...>)
function(orvane_add_package name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ZIP" "" "FILES;DIRECTORIES")
  set(zip OFF)
  if(arg_ZIP)
    set(zip ON)
  endif()
  add_custom_target(orvane_package
    COMMAND ${CMAKE_COMMAND} -DNAME=${name} -DDIST=${ORVANE_DIST_DIR} "-DFILES=${arg_FILES}"
            "-DDIRECTORIES=${arg_DIRECTORIES}" -DZIP=${zip} -P ${PROJECT_SOURCE_DIR}/cmake/Package.cmake
    COMMENT "Packaging ${name}"
    VERBATIM)
  add_dependencies(orvane_package OrvaneVeilShadow)
endfunction()
