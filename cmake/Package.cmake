# Writes one package into the distribution folder; run by the orvane_package
# targets with cmake -P. The package is assembled beside its final place and
# moved there at the end, so an interrupted run leaves no half-written one.
#   -DNAME=<package name>  -DDIST=<folder>  -DFILES=<files;...>
#   -DDIRECTORIES=<folders copied whole;...>  -DZIP=ON|OFF
foreach(var NAME DIST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "Package.cmake: ${var} is not set")
  endif()
endforeach()

set(stage ${DIST}/.${NAME}.partial)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/${NAME})
foreach(item IN LISTS FILES DIRECTORIES)
  if(NOT EXISTS ${item})
    file(REMOVE_RECURSE ${stage})
    message(FATAL_ERROR "Package.cmake: ${item} does not exist; build first")
  endif()
  file(COPY ${item} DESTINATION ${stage}/${NAME})
endforeach()

if(ZIP)
  # Fixed timestamps: the same build gives the same archive.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar cf ${stage}/${NAME}.zip --format=zip "--mtime=2000-01-01 00:00:00 UTC" ${NAME}
    WORKING_DIRECTORY ${stage}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE_RECURSE ${stage})
    message(FATAL_ERROR "Package.cmake: cannot write ${NAME}.zip")
  endif()
  file(RENAME ${stage}/${NAME}.zip ${DIST}/${NAME}.zip)
  message(STATUS "Wrote ${DIST}/${NAME}.zip")
else()
  file(REMOVE_RECURSE ${DIST}/${NAME})
  file(RENAME ${stage}/${NAME} ${DIST}/${NAME})
  message(STATUS "Wrote ${DIST}/${NAME}/")
endif()
file(REMOVE_RECURSE ${stage})
