# Checks the dynamic symbols of the built library: its soname is the versioned
# one, and every symbol it defines for others is one of its own (a ZRLib::
# name or a plain-named UTF routine).
# Usage: cmake -DLIB=<file> -DNM=<nm> -DREADELF=<readelf> -DSONAME=<name> -P CheckExports.cmake

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} -D --defined-only --format=posix ${LIB}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}")
endif()

set(routines ConvertUTF8toUTF16 ConvertUTF8toUTF32 ConvertUTF16toUTF8 ConvertUTF16toUTF32
  ConvertUTF32toUTF8 ConvertUTF32toUTF16 isLegalUTF8Sequence)
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(own 0)
set(found "")
set(stray "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE " .*" "" name "${line}")
  if(name MATCHES "^_Z(T[VIS])?N5ZRLib")
    math(EXPR own "${own} + 1")
  elseif(name IN_LIST routines)
    list(APPEND found ${name})
  else()
    list(APPEND stray ${name})
  endif()
endforeach()

if(stray)
  list(JOIN stray "\n  " text)
  message(FATAL_ERROR "symbols that are not the library's own are exported:\n  ${text}")
endif()
foreach(name IN LISTS routines)
  if(NOT name IN_LIST found)
    message(FATAL_ERROR "${name} is not exported")
  endif()
endforeach()
if(own LESS 40)
  message(FATAL_ERROR "only ${own} ZRLib:: symbols are exported")
endif()

if(READELF)
  execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT dynamic MATCHES "Library soname: \\[${SONAME}\\]")
    message(FATAL_ERROR "the soname of ${LIB} is not ${SONAME}")
  endif()
endif()
message(STATUS "${own} ZRLib:: symbols and the UTF routines exported; nothing else")
