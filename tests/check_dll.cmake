# The driver DLL is loaded into every MIDI application: it may import nothing but DLLs that every
# Windows system has, and must export its three entry points under their plain names.
cmake_minimum_required(VERSION 3.20)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump could not read ${DLL}")
endif()

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

foreach(export DriverProc modMessage midMessage)
  if(NOT dump MATCHES "\\] ${export}\n")
    message(FATAL_ERROR "${DLL} does not export ${export} undecorated")
  endif()
endforeach()
