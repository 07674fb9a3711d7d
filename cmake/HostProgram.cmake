# Programs that the build runs on this machine (the property-list generator,
# the resource-file checker). In a native build they are ordinary
# executables. In a cross build the target compiler cannot make them, so
# they are compiled here with the build machine's own C++ compiler, in one
# command whose inputs are listed explicitly.
#
#   orvane_add_host_program(<name> SOURCES <files...> [INCLUDE_DIRS <dirs...>]
#                           [HEADERS <files the sources include...>])
#
# Afterwards ${<name>_COMMAND} runs the program and ${<name>_FILE} is the
# file a custom command depends on; both work in either kind of build. A
# target <name> builds it.

if(CMAKE_CROSSCOMPILING)
  find_program(ORVANE_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH
    DOC "C++ compiler of the build machine, for programs run during a cross build")
  if(NOT ORVANE_HOST_CXX)
    message(FATAL_ERROR "A cross build needs a C++ compiler for the build machine (c++, g++ or clang++).")
  endif()
endif()

function(orvane_add_host_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;INCLUDE_DIRS;HEADERS")
  set(sources)
  foreach(src IN LISTS arg_SOURCES)
    get_filename_component(src "${src}" ABSOLUTE)
    list(APPEND sources "${src}")
  endforeach()

  if(NOT CMAKE_CROSSCOMPILING)
    add_executable(${name} ${sources})
    target_include_directories(${name} PRIVATE ${arg_INCLUDE_DIRS})
    set(${name}_COMMAND ${name} PARENT_SCOPE)
    set(${name}_FILE ${name} PARENT_SCOPE)
    return()
  endif()

  set(output "${CMAKE_CURRENT_BINARY_DIR}/host/${name}")
  set(includes)
  foreach(dir IN LISTS arg_INCLUDE_DIRS)
    list(APPEND includes "-I${dir}")
  endforeach()
  set(headers)
  foreach(header IN LISTS arg_HEADERS)
    get_filename_component(header "${header}" ABSOLUTE)
    list(APPEND headers "${header}")
  endforeach()
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/host"
    COMMAND "${ORVANE_HOST_CXX}" -std=c++17 -O2 -Wall -Wextra -Werror -ffp-contract=off
            ${includes} ${sources} -o "${output}"
    DEPENDS ${sources} ${headers}
    COMMENT "Building ${name} for the build machine"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
  set(${name}_COMMAND "${output}" PARENT_SCOPE)
  set(${name}_FILE "${output}" ${name} PARENT_SCOPE)
endfunction()
