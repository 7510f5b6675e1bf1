# Runs brisvel-solve once and checks its exit status and report.
#   -DEXE=<brisvel-solve> -DARGS=<arguments joined by |> -DCODE=<expected status>
#   [-DSTDERR=<regex the report must match>] [-DLAUNCHER=<emulator>]
#   [-DGZIP_FROM=<file> -DGZIP_TO=<file>]  compress a file first
#   [-DONES=<file>]  the solution written there must be all ones to 1e-6
string(REPLACE "|" ";" ARGS "${ARGS}")
if(GZIP_FROM)
  file(ARCHIVE_CREATE OUTPUT ${GZIP_TO} PATHS ${GZIP_FROM} FORMAT raw COMPRESSION GZip)
endif()
if(ONES)
  file(REMOVE ${ONES})
endif()
execute_process(COMMAND ${LAUNCHER} ${EXE} ${ARGS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
# brisvel-solve always writes a report or a message. Under an emulator, a
# run that wrote nothing at all and failed never got going (Wine, busy with
# other tests, now and then fails a start with status 1): one more try. A
# fault of the program's own fails the same way again.
if(LAUNCHER AND NOT status STREQUAL CODE AND out STREQUAL "" AND err STREQUAL "")
  message(STATUS "no output and status ${status} under ${LAUNCHER}: trying once more")
  execute_process(COMMAND ${LAUNCHER} ${EXE} ${ARGS}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()
if(NOT status STREQUAL CODE)
  message(FATAL_ERROR "exit status ${status}, expected ${CODE}\n${err}")
endif()
if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
  message(FATAL_ERROR "the report does not match \"${STDERR}\":\n${err}")
endif()
if(ONES)
  file(STRINGS ${ONES} lines)
  list(POP_FRONT lines banner size)
  if(NOT banner MATCHES "^%%MatrixMarket matrix array real general" OR NOT size MATCHES "^[0-9]+ 1\r?$")
    message(FATAL_ERROR "${ONES} does not begin as a Matrix Market array:\n${banner}\n${size}")
  endif()
  foreach(value IN LISTS lines)
    if(NOT value MATCHES "^(0\\.999999|1\\.000000|1\r?$)")
      message(FATAL_ERROR "${ONES}: ${value} is not 1 to six places")
    endif()
  endforeach()
endif()
message(STATUS "${err}")
