# Builds the project in tests/consumer against an installed tree, the way a
# user's project would, and runs what it built.
#   -DMODE=cmake       find_package(brisvel CONFIG REQUIRED), brisvel::brisvel
#     -DGENERATOR=<generator> -DPACKAGE_DIR=<dir of brisvelConfig.cmake>
#     [-DTOOLCHAIN=<file>]
#   -DMODE=pkg-config  compiler flags from brisvel.pc, no CMake at all
#     -DPKG_CONFIG=<pkg-config> -DPC_DIR=<dir of brisvel.pc> -DCC=<C compiler>
#   -DSOURCE_DIR=<tests/consumer> -DWORK_DIR=<scratch> -DPREFIX=<installed tree>
#   -DRUNTIME_DIR=<where the installed library is> [-DLAUNCHER=<runner>]
#   [-DWINDOWS=ON]
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed:\n${out}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

if(WINDOWS)
  set(program ${WORK_DIR}/consumer.exe)
  set(loader_env)
  file(GLOB dlls ${RUNTIME_DIR}/*.dll)
  if(NOT dlls)
    message(FATAL_ERROR "no DLL installed in ${RUNTIME_DIR}")
  endif()
  file(COPY ${dlls} DESTINATION ${WORK_DIR})  # Windows looks beside the program
else()
  set(program ${WORK_DIR}/consumer)
  set(loader_env)
endif()

if(MODE STREQUAL "cmake")
  set(configure -S ${SOURCE_DIR} -B ${WORK_DIR} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release)
  if(TOOLCHAIN)
    # A cross build finds packages only under its sysroot unless told where.
    list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -Dbrisvel_DIR=${PACKAGE_DIR})
  else()
    list(APPEND configure -DCMAKE_PREFIX_PATH=${PREFIX})
  endif()
  run("configuring the consumer" ${CMAKE_COMMAND} ${configure})
  run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR} --config Release)
  file(STRINGS ${WORK_DIR}/CMakeCache.txt found REGEX "^brisvel_DIR:")
  if(NOT found MATCHES "=${PACKAGE_DIR}$")
    message(FATAL_ERROR "the consumer found a brisvel other than ${PREFIX}: ${found}")
  endif()
else()
  run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${PC_DIR} PKG_CONFIG_PATH=
      ${PKG_CONFIG} --cflags --libs brisvel)
  separate_arguments(flags UNIX_COMMAND "${output}")
  message(STATUS "pkg-config: ${output}")
  run("compiling with pkg-config's flags" ${CC} -std=c99 ${SOURCE_DIR}/consumer.c ${flags}
      -o ${program})
  if(NOT WINDOWS)
    set(loader_env LD_LIBRARY_PATH=${RUNTIME_DIR})  # pkg-config gives no run path
  endif()
endif()

run("running the consumer" ${CMAKE_COMMAND} -E env ${loader_env} ${LAUNCHER} ${program})
message(STATUS "${output}")
if(NOT output MATCHES "^solved")
  message(FATAL_ERROR "unexpected output from the consumer:\n${output}")
endif()
