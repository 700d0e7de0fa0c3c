# ARM64 Windows with the clang-16 toolchain that cmake/arm64/build-toolchain.sh builds from Debian's
# sources; MELV_ARM64_TOOLCHAIN (environment) names its folder, by default the current one in the
# cache. libc++ runs its threads on Windows' own, and everything is linked statically, so the DLL
# imports only system DLLs.
if(DEFINED ENV{MELV_ARM64_TOOLCHAIN})
  set(MELV_ARM64_TOOLCHAIN "$ENV{MELV_ARM64_TOOLCHAIN}")
else()
  set(MELV_ARM64_TOOLCHAIN /var/cache/melv/arm64-toolchain)
endif()
if(NOT EXISTS "${MELV_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-clang")
  message(FATAL_ERROR "no ARM64 toolchain in ${MELV_ARM64_TOOLCHAIN}: "
                      "run cmake/arm64/build-toolchain.sh first")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_C_COMPILER ${MELV_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-clang)
set(CMAKE_CXX_COMPILER ${MELV_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-clang++)
set(CMAKE_RC_COMPILER ${MELV_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-windres)
# mingw-w64 10's own fwprintf, which C++ gets by default, overflows its stack on ARM64 (under arm64
# Wine the command-line installer died at its first message; wprintf and swprintf work): the
# programs that call it take the system C runtime's printf family instead. Only they: GoogleTest's
# hosts, and swprintf in the connection check, crash with the system's.
set(MELV_SYSTEM_PRINTF __USE_MINGW_ANSI_STDIO=0)
# GNU objdump cannot read ARM64 PE files.
set(MELV_OBJDUMP llvm-objdump-16)
set(MELV_OBJDUMP_FORMAT coff-arm64)
set(CMAKE_FIND_ROOT_PATH ${MELV_ARM64_TOOLCHAIN}/aarch64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
