# Starts and stops the Wine session the Windows tests run in, for the prefix
# named by WINEPREFIX. Starting creates the prefix on first use (a few
# seconds) and a wineserver that stays up between the tests, so each program
# starts at once and no server is left holding a test's output open.
#   -DACTION=start|stop -DWINE=<wine> -DWINESERVER=<wineserver> -DLOG=<file>
if(ACTION STREQUAL "start")
  file(MAKE_DIRECTORY $ENV{WINEPREFIX})
  # Lingers a minute after its last program, so an interrupted run cleans up.
  execute_process(COMMAND ${WINESERVER} --persistent=60
                  INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
  execute_process(COMMAND ${WINE} wineboot.exe --init
                  OUTPUT_FILE ${LOG} ERROR_FILE ${LOG} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    file(READ ${LOG} log)
    message(FATAL_ERROR "wineboot failed (${rc}):\n${log}")
  endif()
elseif(ACTION STREQUAL "stop")
  execute_process(COMMAND ${WINESERVER} --kill RESULT_VARIABLE rc)
else()
  message(FATAL_ERROR "ACTION must be start or stop")
endif()
