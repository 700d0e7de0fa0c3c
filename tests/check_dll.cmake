# The driver DLL is loaded into every MIDI application: it may import nothing but DLLs that every
# Windows system has, and must export its three entry points under their plain names. FORMAT is
# the file format objdump names for the build's processor.
cmake_minimum_required(VERSION 3.20)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump could not read ${DLL}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
  message(FATAL_ERROR "${DLL} is not of the file format ${FORMAT}")
endif()
message(STATUS "file format ${FORMAT}")

set(allowed kernel32.dll user32.dll advapi32.dll winmm.dll setupapi.dll msvcrt.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "no import table found in ${DLL}")
endif()
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" name "${line}")
  string(STRIP "${name}" name)
  string(TOLOWER "${name}" name)
  if(NOT name IN_LIST allowed)
    message(FATAL_ERROR "${DLL} imports ${name}, which is not a system DLL")
  endif()
  message(STATUS "imports ${name}")
endforeach()

# GNU objdump lists an export as "[   0] Name", llvm-objdump as "1   0x1040  Name".
foreach(export DriverProc modMessage midMessage)
  if(NOT dump MATCHES "(\\]| 0x[0-9a-f]+ ) ${export}\n")
    message(FATAL_ERROR "${DLL} does not export ${export} undecorated")
  endif()
endforeach()
