# GoogleTest from Debian's sources (the googletest package), built for the
# target of a cross build: Debian's libgtest-dev holds the build machine's
# libraries alone. Its own code is compiled without -Werror: its warnings
# are not this project's to fix. Included (not called) by the directory
# whose tests use it; afterwards GTest::gtest and GTest::gtest_main exist.
set(ORVANE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross-built tests")
if(NOT EXISTS ${ORVANE_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "The cross-built tests need GoogleTest's sources in ${ORVANE_GTEST_SOURCE_DIR} (Debian: googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
get_directory_property(orvane_gtest_options COMPILE_OPTIONS)
set(orvane_gtest_relaxed ${orvane_gtest_options})
list(REMOVE_ITEM orvane_gtest_relaxed -Werror)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${orvane_gtest_relaxed}")
add_subdirectory(${ORVANE_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${orvane_gtest_options}")
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
