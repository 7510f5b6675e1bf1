# Installs the build into a fresh prefix and checks the installed tree.
#   -DBUILD_DIR=<build tree> -DPREFIX=<fresh prefix> -DCONFIG=<build type>
#   -DINCLUDEDIR=, -DLIBDIR=, -DBINDIR=, -DCMAKEDIR=, -DPKGCONFIGDIR=  (relative)
#   -DWINDOWS=ON|OFF -DRUNTIME=<DLL or real .so name> -DLINKER_FILE=<import
#   library or .so name> [-DSONAME=<name>] [-DOBJDUMP=<objdump>]
#   [-DSOLVE=<brisvel-solve's file name>]
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --config ${CONFIG}
                OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()

set(expected
  ${INCLUDEDIR}/brisvel/brisvel.h
  ${CMAKEDIR}/brisvelConfig.cmake
  ${CMAKEDIR}/brisvelConfigVersion.cmake
  ${CMAKEDIR}/brisvelTargets.cmake
  ${PKGCONFIGDIR}/brisvel.pc
  ${LIBDIR}/${LINKER_FILE})
if(WINDOWS)
  list(APPEND expected ${BINDIR}/${RUNTIME})
else()
  list(APPEND expected ${LIBDIR}/${RUNTIME})
endif()
if(SONAME)
  list(APPEND expected ${LIBDIR}/${SONAME})
endif()
if(SOLVE)
  list(APPEND expected ${BINDIR}/${SOLVE})
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

file(STRINGS ${PREFIX}/${PKGCONFIGDIR}/brisvel.pc prefix_line REGEX "^prefix=")
if(NOT prefix_line STREQUAL "prefix=${PREFIX}")
  message(FATAL_ERROR "brisvel.pc says ${prefix_line}, installed in ${PREFIX}")
endif()

if(SONAME)
  # libbrisvel.so -> libbrisvel.so.N -> libbrisvel.so.N.M.P, which records
  # libbrisvel.so.N as its SONAME.
  file(READ_SYMLINK ${PREFIX}/${LIBDIR}/${LINKER_FILE} link)
  file(READ_SYMLINK ${PREFIX}/${LIBDIR}/${SONAME} soname_link)
  if(NOT link STREQUAL SONAME OR NOT soname_link STREQUAL RUNTIME)
    message(FATAL_ERROR "links: ${LINKER_FILE} -> ${link}, ${SONAME} -> ${soname_link}")
  endif()
  if(OBJDUMP)
    execute_process(COMMAND ${OBJDUMP} -p ${PREFIX}/${LIBDIR}/${RUNTIME} OUTPUT_VARIABLE dump)
    if(NOT dump MATCHES "SONAME[ \t]+${SONAME}\n")
      message(FATAL_ERROR "${RUNTIME} does not record the SONAME ${SONAME}")
    endif()
  endif()
endif()
message(STATUS "installed tree in ${PREFIX} is complete")
