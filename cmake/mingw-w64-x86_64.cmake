# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 compilers
# (g++-mingw-w64-x86-64), running the results under Wine:
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(BRISVEL_MINGW_PREFIX x86_64-w64-mingw32)

# The posix thread model gives the full C++ thread library; the win32 one is
# the fallback where only it is installed.
find_program(BRISVEL_MINGW_CC NAMES ${BRISVEL_MINGW_PREFIX}-gcc-posix ${BRISVEL_MINGW_PREFIX}-gcc
                                    ${BRISVEL_MINGW_PREFIX}-gcc-win32 REQUIRED)
find_program(BRISVEL_MINGW_CXX NAMES ${BRISVEL_MINGW_PREFIX}-g++-posix ${BRISVEL_MINGW_PREFIX}-g++
                                     ${BRISVEL_MINGW_PREFIX}-g++-win32 REQUIRED)
set(CMAKE_C_COMPILER ${BRISVEL_MINGW_CC})
set(CMAKE_CXX_COMPILER ${BRISVEL_MINGW_CXX})
set(CMAKE_RC_COMPILER ${BRISVEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BRISVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own run time (libgcc, libstdc++, winpthread) goes into each
# DLL and program, so they need nothing beside brisvel.dll but Windows itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
# OpenMP's run time is linked statically too: left to itself, FindOpenMP
# picks libgomp's import library, and brisvel.dll would need libgomp-1.dll.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgomp.a
                OUTPUT_VARIABLE brisvel_static_gomp OUTPUT_STRIP_TRAILING_WHITESPACE)
if(IS_ABSOLUTE "${brisvel_static_gomp}" AND EXISTS "${brisvel_static_gomp}")
  set(OpenMP_gomp_LIBRARY ${brisvel_static_gomp} CACHE FILEPATH "libgomp, linked statically")
endif()

# Programs built here run under Wine (Debian's wrapper picks wine64).
find_program(BRISVEL_WINE NAMES wine wine64 PATHS /usr/lib/wine)
if(BRISVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BRISVEL_WINE})
endif()
