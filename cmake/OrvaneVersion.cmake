# The plug-in's version as "major.minor.bug", read from OrvaneVersion.h (the
# header global setup and the property-list generator read), for the bundle's
# Info.plist and the package names. A change to the header configures again.
function(orvane_read_version out_var)
  set(header ${ORVANE_VERSION_HEADER})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(READ ${header} text)
  set(parts)
  foreach(part Major Minor Bug)
    if(NOT text MATCHES "constexpr int k${part}Version = ([0-9]+);")
      message(FATAL_ERROR "${header}: no k${part}Version found")
    endif()
    list(APPEND parts ${CMAKE_MATCH_1})
  endforeach()
  list(JOIN parts "." version)
  set(${out_var} ${version} PARENT_SCOPE)
endfunction()
