# Runs the self-test and compares its standard output byte for byte with an
# expected transcript; standard error must stay empty and the status be 0.
#   -DEXE=<program> -DEXPECTED=<file> [-DARGS=a;b;c] [-DLAUNCHER=<runner>]
execute_process(
  COMMAND ${LAUNCHER} ${EXE} ${ARGS}
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  RESULT_VARIABLE rc)
file(READ ${EXPECTED} expected)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "exit status ${rc}, expected 0")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "standard error is not empty:\n${err}")
endif()
if(NOT out STREQUAL expected)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/actual-transcript.txt "${out}")
  message(FATAL_ERROR "transcript differs from ${EXPECTED}; actual output in "
                      "${CMAKE_CURRENT_BINARY_DIR}/actual-transcript.txt")
endif()
