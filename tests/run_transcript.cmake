# Runs the self-test and compares its standard output byte for byte with an
# expected transcript; standard error must stay empty and the status be 0.
#   -DEXE=<program> -DEXPECTED=<file> [-DARGS=a;b;c] [-DLAUNCHER=<runner>]
#   [-DTAG=<name>]  names the files the output is kept in (default selftest)
#   [-DCRLF=ON]  Windows text mode: every line must end in CR LF, and the
#                output is compared with each CR LF read as LF
#   [-DRUN_DIR=<dir> -DBESIDE=<files>]  runs a copy of the program in an
#                otherwise empty directory, with only these files beside it
if(NOT TAG)
  set(TAG selftest)
endif()
if(RUN_DIR)
  file(REMOVE_RECURSE ${RUN_DIR})
  file(MAKE_DIRECTORY ${RUN_DIR})
  file(COPY ${EXE} ${BESIDE} DESTINATION ${RUN_DIR})
  get_filename_component(name ${EXE} NAME)
  set(EXE ${RUN_DIR}/${name})
else()
  set(RUN_DIR ${CMAKE_CURRENT_BINARY_DIR})
endif()
# Through files, and compared as bytes: execute_process and file(READ) both
# drop the CRs of text.
set(out_file ${CMAKE_CURRENT_BINARY_DIR}/${TAG}-stdout.txt)
set(err_file ${CMAKE_CURRENT_BINARY_DIR}/${TAG}-stderr.txt)
execute_process(
  COMMAND ${LAUNCHER} ${EXE} ${ARGS}
  WORKING_DIRECTORY ${RUN_DIR}
  OUTPUT_FILE ${out_file}
  ERROR_FILE ${err_file}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "exit status ${rc}, expected 0")
endif()
file(SIZE ${err_file} err_size)
if(NOT err_size EQUAL 0)
  file(READ ${err_file} err)
  message(FATAL_ERROR "standard error is not empty:\n${err}")
endif()

function(read_bytes file var) # "61 0d 0a " for "a\r\n"
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
  set(${var} "${bytes}" PARENT_SCOPE)
endfunction()
read_bytes(${out_file} out)
read_bytes(${EXPECTED} expected)
if(CRLF)
  string(REPLACE "0d 0a " "" without_crlf "${out}")
  if(without_crlf MATCHES "(^| )0a ")
    message(FATAL_ERROR "a line of ${out_file} ends in a bare LF, not CR LF")
  endif()
  string(REPLACE "0d 0a " "0a " out "${out}")
endif()
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "transcript differs from ${EXPECTED}; actual output in ${out_file}")
endif()
