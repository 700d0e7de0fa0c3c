# Parsing GoogleTest's header, and on Windows the system's, takes about half of each test file's
# compile time: a test target with many files parses them once, as a precompiled header.
function(melv_precompile_test_headers target)
  set(headers <gtest/gtest.h> <string> <vector>)
  if(WIN32)
    list(PREPEND headers <windows.h> <mmsystem.h>)
  endif()
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()
