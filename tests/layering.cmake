# Checks that the library's floors only lean on the floors below them:
#   cmake -DSRC=<the src folder> -P layering.cmake
# The floors, bottom first, are the folders under src/:
#   platform  the seams to the operating system
#   wire      the bytes of messages and names as every peer writes them
#   link      a link's state, its port and its devices
#   transfer  the protocol's operations: sending, receiving, requests, the
#             listener and the polled reader, port control
#   api       the exported C interface, and the public header it implements
# A source file may include headers of its own floor and of floors below it;
# an include of a higher floor fails the check, as does a source file outside
# every floor. A bare "name.h" is the public header, which is the api's.
cmake_minimum_required(VERSION 3.25)
set(floors platform wire link transfer api)
string(JOIN " < " order ${floors})
if(NOT IS_DIRECTORY "${SRC}")
  message(FATAL_ERROR "layering: no source folder at \"${SRC}\"; pass -DSRC=<folder>")
endif()

file(GLOB_RECURSE sources RELATIVE "${SRC}" "${SRC}/*.h" "${SRC}/*.cc" "${SRC}/*.c")
set(problems "")
set(checked 0)
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" floor "${source}")
  list(FIND floors "${floor}" level)
  if(level LESS 0 OR floor STREQUAL source)
    string(APPEND problems "src/${source} lies on no floor (${order})\n")
    continue()
  endif()
  file(STRINGS "${SRC}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
    if(header MATCHES "/")
      string(REGEX MATCH "^[^/]+" target "${header}")
    else()
      set(target api)
    endif()
    list(FIND floors "${target}" targetLevel)
    if(targetLevel LESS 0)
      string(APPEND problems "src/${source} includes \"${header}\", which lies on no floor\n")
    elseif(targetLevel GREATER level)
      string(APPEND problems
        "src/${source} includes \"${header}\": ${floor} lies below ${target}\n")
    endif()
    math(EXPR checked "${checked} + 1")
  endforeach()
endforeach()

if(checked EQUAL 0)
  string(APPEND problems "no includes found under ${SRC}\n")
endif()
if(problems)
  message(FATAL_ERROR "Includes that run against the floors ${order}:\n${problems}")
endif()
message(STATUS "layering: ${checked} includes keep to the floors ${order}")
