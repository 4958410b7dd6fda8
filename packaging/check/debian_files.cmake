# Checks that the Debian files agree with the project:
#   cmake -DTOP=<source folder> -DVERSION=<project version> -P debian_files.cmake
# - debian/changelog's newest entry is of this version (its upstream part);
# - debian/libtarvel1.symbols names exactly the functions of the export
#   table, src/api/tarvel.exports;
# - the manual page's header names this version.
cmake_minimum_required(VERSION 3.25)
include(${TOP}/cmake/TarvelExports.cmake)
set(problems "")

file(STRINGS ${TOP}/debian/changelog first LIMIT_COUNT 1)
if(NOT first MATCHES "^tarvel \\(([^)-]+)(-[^)]+)?\\) ")
  string(APPEND problems "debian/changelog: cannot read the version from \"${first}\"\n")
elseif(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  string(APPEND problems "debian/changelog is at ${CMAKE_MATCH_1}, the project at ${VERSION}: "
    "add an entry with dch -v ${VERSION}-1\n")
endif()

tarvel_read_exports(${TOP}/src/api/tarvel.exports exported)
file(STRINGS ${TOP}/debian/libtarvel1.symbols lines REGEX "^ [A-Za-z0-9_]+@Base ")
set(listed "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^ ([A-Za-z0-9_]+)@Base .*" "\\1" name "${line}")
  list(APPEND listed ${name})
endforeach()
foreach(name IN LISTS exported)
  if(NOT name IN_LIST listed)
    string(APPEND problems "debian/libtarvel1.symbols lacks ${name}, which the library exports: "
      "add the line \" ${name}@Base ${VERSION}\" (the first version that has it)\n")
  endif()
endforeach()
foreach(name IN LISTS listed)
  if(NOT name IN_LIST exported)
    string(APPEND problems "debian/libtarvel1.symbols names ${name}, which the export table "
      "src/api/tarvel.exports does not: removing an export breaks hosts built against it "
      "(it needs a new soname); if that is meant, take the line out\n")
  endif()
endforeach()

file(STRINGS ${TOP}/tools/tarvel/tarvel.1 header REGEX "^\\.TH ")
if(NOT header MATCHES "\"tarvel ${VERSION}\"")
  string(APPEND problems "tools/tarvel/tarvel.1: the .TH line \"${header}\" does not name "
    "\"tarvel ${VERSION}\"\n")
endif()

if(problems)
  message(FATAL_ERROR "The Debian files disagree with the project:\n${problems}")
endif()
list(LENGTH exported count)
message(STATUS "debian/ agrees with version ${VERSION} and the ${count} exports")
