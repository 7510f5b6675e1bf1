# Checks that the shared library exports exactly the functions the public
# header declares with QV_API: no more (leaked internals, export-all) and no
# fewer.
#   -DLIBRARY=<file> -DHEADER=<brisvel.h> -DOBJDUMP=<objdump> [-DNM=<nm>]
file(STRINGS ${HEADER} declarations REGEX "^QV_API ")
set(declared)
foreach(line IN LISTS declarations)
  if(line MATCHES "(qv[A-Za-z0-9_]+)\\(")
    list(APPEND declared ${CMAKE_MATCH_1})
  endif()
endforeach()
list(LENGTH declared count)
if(count EQUAL 0)
  message(FATAL_ERROR "no QV_API declarations found in ${HEADER}")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed")
endif()
set(exported)
if(dump MATCHES "file format pei-")
  # The export directory lists each name as "[ordinal] name".
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table.*" table "${dump}")
  string(REPLACE "\n" ";" lines "${table}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*\\[ *[0-9]+\\] ([^ \t]+)$")
      list(APPEND exported ${CMAKE_MATCH_1})
    endif()
  endforeach()
else()
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -D ${LIBRARY} failed")
  endif()
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    # Version nodes show as absolute symbols; versioned names end in @VERSION.
    if(line MATCHES "^[0-9a-fA-F]* *[B-Za-z] ([^ @]+)(@.*)?$")
      list(APPEND exported ${CMAKE_MATCH_1})
    endif()
  endforeach()
endif()

set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
set(missing ${declared})
if(exported)
  list(REMOVE_ITEM missing ${exported})
endif()
if(extra OR missing)
  message(FATAL_ERROR "exports of ${LIBRARY} differ from the header\n"
                      "  exported but not declared: ${extra}\n"
                      "  declared but not exported: ${missing}")
endif()
message(STATUS "${count} functions exported, as declared")
