# Fails when the library names SuperLU or CHOLMOD among the shared libraries
# it needs: both are to be loaded at run time only.
#   -DREADELF=<readelf> -DLIBRARY=<shared library>
execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dynamic}")
if(needed STREQUAL "")
  message(FATAL_ERROR "no NEEDED entries found in ${LIBRARY}")
endif()
string(TOLOWER "${needed}" needed_lower)
if(needed_lower MATCHES "superlu|cholmod|suitesparse")
  message(FATAL_ERROR "${LIBRARY} is linked to an extension:\n${needed}")
endif()
