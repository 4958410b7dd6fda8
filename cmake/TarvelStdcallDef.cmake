# Writes the module-definition file of 32-bit x86 tarvel.dll: every export of
# IN ("  Name @ordinal") as the __stdcall symbol that the objects define for
# it ("  Name@N @ordinal", N the bytes of its arguments).
#
#   cmake -DNM=nm -DOBJECTS="a.obj;b.obj" -DIN=undecorated.def -DOUT=tarvel.def -P TarvelStdcallDef.cmake
#
# A function defined without TARVEL_CALL has no "@N" and stops the build here.
execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read the objects: ${OBJECTS}")
endif()

file(STRINGS ${IN} lines)
set(content "")
set(faults "")
foreach(line IN LISTS lines)
  if(line MATCHES "^  ([A-Za-z]+) @([0-9]+)$")
    set(name ${CMAKE_MATCH_1})
    set(ordinal ${CMAKE_MATCH_2})
    if(symbols MATCHES " T _${name}@([0-9]+)\n")
      string(APPEND content "  ${name}@${CMAKE_MATCH_1} @${ordinal}\n")
    else()
      string(APPEND faults " ${name}")
    endif()
  else()
    string(APPEND content "${line}\n")
  endif()
endforeach()
if(faults)
  message(FATAL_ERROR "Not defined as __stdcall functions (TARVEL_CALL missing?):${faults}")
endif()
file(WRITE ${OUT} "${content}")
