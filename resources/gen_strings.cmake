# Writes the string table of dolmsfx.rc as C++ source for the Linux stub.
# Usage: cmake -DRC=<dolmsfx.rc> -DOUT=<string_table.cpp> -P gen_strings.cmake
#
# Every entry of the STRINGTABLE block must stand on one line as
#   <number>, "<text>"
# The text is copied into a C++ literal: the .rc escapes \n \t \r \\ mean the
# same in C++, and the .rc form "" of a double quote becomes \". Any other
# line inside the block stops the generation, so that an entry is never lost
# silently.
if(NOT RC OR NOT OUT)
  message(FATAL_ERROR "gen_strings.cmake: RC and OUT must be set")
endif()

# The table holds entries 0..IDS_LAST of resource.h, beside the .rc file.
get_filename_component(rc_dir "${RC}" DIRECTORY)
file(STRINGS "${rc_dir}/resource.h" last_line REGEX "^#define IDS_LAST ")
string(REGEX REPLACE "^#define IDS_LAST ([0-9]+).*" "\\1" ids_last "${last_line}")
if(NOT ids_last MATCHES "^[0-9]+$")
  message(FATAL_ERROR "gen_strings.cmake: no IDS_LAST in ${rc_dir}/resource.h")
endif()
math(EXPR table_size "${ids_last} + 1")
file(READ "${RC}" content)
# Lines become list elements; semicolons and square brackets would disturb
# CMake's list splitting, so they travel as placeholders.
string(REPLACE "@" "@AT@" content "${content}")
string(REPLACE ";" "@SC@" content "${content}")
string(REPLACE "[" "@LB@" content "${content}")
string(REPLACE "]" "@RB@" content "${content}")
string(REPLACE "\r" "" content "${content}")
string(REPLACE "\n" ";" lines "${content}")

set(state outside)  # outside -> header -> inside -> done
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(state STREQUAL "outside")
    if(line MATCHES "^STRINGTABLE")
      set(state header)
    endif()
  elseif(state STREQUAL "header")
    if(line STREQUAL "BEGIN" OR line STREQUAL "{")
      set(state inside)
    endif()
  elseif(state STREQUAL "inside")
    if(line STREQUAL "END" OR line STREQUAL "}")
      set(state done)
    elseif(line STREQUAL "" OR line MATCHES "^//")
      # blank or comment line
    elseif(line MATCHES "^([0-9]+)[ \t]*,?[ \t]*\"(.*)\"$")
      set(id "${CMAKE_MATCH_1}")
      set(text "${CMAKE_MATCH_2}")
      if(id GREATER_EQUAL table_size OR id EQUAL 0)
        message(FATAL_ERROR "gen_strings.cmake: string ${id} outside 1..${table_size}-1")
      endif()
      if(DEFINED str_${id})
        message(FATAL_ERROR "gen_strings.cmake: string ${id} defined twice")
      endif()
      # A lone double quote inside the text would end the .rc string early.
      string(REPLACE "\"\"" "" probe "${text}")
      if(probe MATCHES "\"")
        message(FATAL_ERROR "gen_strings.cmake: string ${id}: unpaired double quote")
      endif()
      string(REPLACE "\"\"" "\\\"" text "${text}")
      set(str_${id} "${text}")
    else()
      message(FATAL_ERROR "gen_strings.cmake: cannot read string table line: ${line}")
    endif()
  endif()
endforeach()
if(NOT state STREQUAL "done")
  message(FATAL_ERROR "gen_strings.cmake: no complete STRINGTABLE block in ${RC}")
endif()

set(out "// Generated from dolmsfx.rc by gen_strings.cmake; do not edit.\n")
string(APPEND out "#include \"resources/string_table.h\"\n\n")
string(APPEND out "const char* const kStringTable[kStringTableSize] = {\n")
math(EXPR last "${table_size} - 1")
foreach(id RANGE 0 ${last})
  if(DEFINED str_${id})
    string(APPEND out "  /* ${id} */ \"${str_${id}}\",\n")
  else()
    string(APPEND out "  /* ${id} */ \"\",\n")
  endif()
endforeach()
string(APPEND out "};\n")
string(REPLACE "@SC@" ";" out "${out}")
string(REPLACE "@LB@" "[" out "${out}")
string(REPLACE "@RB@" "]" out "${out}")
string(REPLACE "@AT@" "@" out "${out}")

# Rewrite only on change, so that dependants are not rebuilt needlessly.
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL out)
  file(WRITE "${OUT}" "${out}")
endif()
