# Where `cmake --install` and the Debian package put the program's files,
# relative to the install prefix (/usr in the package, /usr/local by
# default), and the ways from the program and from the Python extension to
# the installed plug-in module, which they look for there when it is not
# beside them (in a build tree it is).
include(GNUInstallDirs)

# The Debian package's name, also the folder of its documents.
set(VEILSHADOW_PACKAGE_NAME veilshadow)
# The plug-in module: a library folder of the program's own, under the
# multiarch folder where the platform has one (lib/x86_64-linux-gnu).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(VEILSHADOW_PLUGIN_INSTALL_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/veilshadow)
else()
  set(VEILSHADOW_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/veilshadow)
endif()
# The Python package in the Debian package: where Debian's python3 finds
# packages of every Python 3 version (/usr/lib/python3/dist-packages).
set(VEILSHADOW_DEBIAN_PYTHON_DIR lib/python3/dist-packages)

file(RELATIVE_PATH VEILSHADOW_PLUGIN_FROM_PROGRAM /prefix/${CMAKE_INSTALL_BINDIR}
     /prefix/${VEILSHADOW_PLUGIN_INSTALL_DIR})
file(RELATIVE_PATH VEILSHADOW_PLUGIN_FROM_PYTHON /prefix/${VEILSHADOW_DEBIAN_PYTHON_DIR}/veilshadow
     /prefix/${VEILSHADOW_PLUGIN_INSTALL_DIR})

# The plug-in module's file name: no prefix, the platform's module suffix.
set(VEILSHADOW_PLUGIN_FILE_NAME OrvaneVeilShadow${CMAKE_SHARED_MODULE_SUFFIX})
# The program's general codec (OpenImageIO), a module it loads when a file
# needs it, beside the program or beside the installed plug-in module.
set(VEILSHADOW_GENERAL_NAME veilshadow-general)
set(VEILSHADOW_GENERAL_FILE_NAME ${VEILSHADOW_GENERAL_NAME}${CMAKE_SHARED_MODULE_SUFFIX})

# Places a copy of the plug-in module in FOLDER, under the name the program
# and the Python extension look for beside themselves, through a target
# NAME that BINARY depends on; copied again whenever the module is rebuilt.
# Extra files to copy with it: FILES src... (into FOLDER).
function(veilshadow_place_plugin_beside name binary folder)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "FILES")
  set(outputs ${folder}/${VEILSHADOW_PLUGIN_FILE_NAME})
  set(commands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:OrvaneVeilShadow> ${folder}/${VEILSHADOW_PLUGIN_FILE_NAME})
  foreach(file IN LISTS arg_FILES)
    get_filename_component(file_name ${file} NAME)
    list(APPEND outputs ${folder}/${file_name})
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy ${file} ${folder}/)
  endforeach()
  add_custom_command(OUTPUT ${outputs} ${commands}
    DEPENDS OrvaneVeilShadow ${arg_FILES}
    COMMENT "Placing the plug-in module beside ${binary}")
  add_custom_target(${name} ALL DEPENDS ${outputs})
  add_dependencies(${binary} ${name})
endfunction()
