# Writes the man page OUT with help2man from DOLM's --help and --version, with
# one subsection per command made from that command's --help text.
set(commands pack list test extract restub)
set(include "[COMMANDS]\n")
foreach(command ${commands})
  execute_process(COMMAND ${DOLM} ${command} --help OUTPUT_VARIABLE text RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dolm ${command} --help failed")
  endif()
  # roff: backslashes escaped, lines that begin with a dot or quote kept as text.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(APPEND include ".SS \"dolm ${command}\"\n.nf\n${text}.fi\n")
endforeach()
file(WRITE ${OUT}.include "${include}")

if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C ${SOURCE} log -1 --format=%ct OUTPUT_VARIABLE epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result ERROR_QUIET)
  if(result EQUAL 0 AND epoch)
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
endif()
execute_process(COMMAND ${HELP2MAN} --no-info --section=1
                        "--name=build and inspect self-extracting archives"
                        --include=${OUT}.include --output=${OUT} ${DOLM}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
