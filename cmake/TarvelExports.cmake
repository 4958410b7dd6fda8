# Reads the export table ("ordinal name" lines) and makes the linker export
# exactly those names from `target`.
function(tarvel_read_exports table out_names)
  file(STRINGS ${table} lines REGEX "^[0-9-]+ [A-Za-z]+")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9-]+ " "" name "${line}")
    list(APPEND names ${name})
  endforeach()
  set(${out_names} ${names} PARENT_SCOPE)
endfunction()

function(tarvel_export_list target table)
  tarvel_read_exports(${table} names)
  set(script "{\n  global:\n")
  foreach(name IN LISTS names)
    string(APPEND script "    ${name};\n")
  endforeach()
  string(APPEND script "  local:\n    *;\n};\n")
  set(version_script ${CMAKE_CURRENT_BINARY_DIR}/tarvel.version)
  file(WRITE ${version_script} "${script}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  target_link_options(${target} PRIVATE "LINKER:--version-script=${version_script}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${version_script})
endfunction()

# Windows: writes the module-definition file from the table and links `target`
# with it. Names with an ordinal in the table keep it; names marked "-" get the
# numbers after the highest one, because the linker would otherwise hand them
# the table's unassigned slots.
function(tarvel_export_def target table)
  file(STRINGS ${table} lines REGEX "^[0-9-]+ [A-Za-z]+")
  set(exports "")
  set(unnumbered "")
  set(highest 0)
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([0-9-]+) ([A-Za-z]+)" _ "${line}")
    if(CMAKE_MATCH_1 STREQUAL "-")
      list(APPEND unnumbered ${CMAKE_MATCH_2})
    else()
      string(APPEND exports "  ${CMAKE_MATCH_2} @${CMAKE_MATCH_1}\n")
      if(CMAKE_MATCH_1 GREATER highest)
        set(highest ${CMAKE_MATCH_1})
      endif()
    endif()
  endforeach()
  foreach(name IN LISTS unnumbered)
    math(EXPR highest "${highest} + 1")
    string(APPEND exports "  ${name} @${highest}\n")
  endforeach()
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(undecorated ${CMAKE_CURRENT_BINARY_DIR}/${target}-undecorated.def)
    file(CONFIGURE OUTPUT ${undecorated} CONTENT "LIBRARY ${output_name}.dll\nEXPORTS\n${exports}")
    tarvel_export_stdcall(${target} ${undecorated} ${def})
  else()
    file(CONFIGURE OUTPUT ${def} CONTENT "LIBRARY ${output_name}.dll\nEXPORTS\n${exports}")
    target_sources(${target} PRIVATE ${def})
  endif()
endfunction()

# 32-bit x86 Windows, where the functions are __stdcall and their symbols carry
# the bytes of their arguments (_TarvelPortOpen@4). A host finds them by the
# plain name, as it finds Windows' own: right before the link, the names of
# `undecorated` get their "@N" from the objects' symbols, into `def`, and the
# linker's --kill-at exports them without it, at the same ordinals. The
# import library is then written anew by dlltool from the same file: the
# linker's own would offer _TarvelPortOpen, where a C host compiled with the
# header asks for _TarvelPortOpen@4.
function(tarvel_export_stdcall target undecorated def)
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "No dlltool for the 32-bit import library: set CMAKE_DLLTOOL")
  endif()
  add_custom_command(TARGET ${target} PRE_LINK
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DOBJECTS=$<TARGET_OBJECTS:${target}>"
            -DIN=${undecorated} -DOUT=${def} -P ${TARVEL_STDCALL_DEF_SCRIPT}
    VERBATIM)
  target_link_options(${target} PRIVATE ${def} "LINKER:--kill-at")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${undecorated})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${def} --dllname $<TARGET_FILE_NAME:${target}>
            --output-lib $<TARGET_LINKER_FILE:${target}>
    VERBATIM)
endfunction()
set(TARVEL_STDCALL_DEF_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/TarvelStdcallDef.cmake)
