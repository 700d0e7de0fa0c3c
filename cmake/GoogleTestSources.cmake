# The Windows test hosts link GoogleTest built from source with the cross compiler: the system's
# GoogleTest libraries are built for Linux. The sources are looked for where a googletest package
# puts them (<prefix>/src/googletest under the usual prefixes, or under CMAKE_PREFIX_PATH), outside
# the cross-compiling root, which holds only Windows headers and libraries; set
# MELV_GOOGLETEST_SOURCE_DIR to use another copy (a release archive unpacked anywhere).
find_path(MELV_GOOGLETEST_SOURCE_DIR
  NAMES googletest/include/gtest/gtest.h
  PATH_SUFFIXES src/googletest
  NO_CMAKE_FIND_ROOT_PATH
  DOC "GoogleTest's source tree (holding googletest/ and googlemock/) for the Windows test hosts")

# Makes the target gtest once, however many test hosts ask for it.
function(melv_add_googletest)
  if(TARGET gtest)
    return()
  endif()
  if(NOT EXISTS "${MELV_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "GoogleTest's sources were not found (MELV_GOOGLETEST_SOURCE_DIR is "
                        "\"${MELV_GOOGLETEST_SOURCE_DIR}\"): install the googletest package, as "
                        "install-deps.sh does, or set MELV_GOOGLETEST_SOURCE_DIR")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory("${MELV_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endfunction()
