# Writes the manual page PAGE (dolm or dolmsfx) into OUT_DIR as PAGE.1 and,
# compressed the way Debian wants it (gzip -9n: no name, no time), PAGE.1.gz.
# dolm.1 is made with help2man from DOLM's --help and --version, with one
# subsection per command made from that command's --help text and the
# sections of man/dolm.h2m; dolmsfx.1 is man/dolmsfx.1 with the version and
# date filled in. The date is SOURCE_DATE_EPOCH's when set, else the time of
# the commit being built.
include(${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)
set(OUT ${OUT_DIR}/${PAGE}.1)

if(PAGE STREQUAL "dolm")
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
  file(READ ${SOURCE}/man/dolm.h2m sections)
  file(WRITE ${OUT}.include "${include}\n${sections}")
  execute_process(COMMAND ${HELP2MAN} --no-info --section=1
                          "--name=build and inspect self-extracting archives"
                          --include=${OUT}.include --output=${OUT} ${DOLM}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man failed")
  endif()
else()
  # string(TIMESTAMP) takes SOURCE_DATE_EPOCH when it is set.
  string(TIMESTAMP DOLM_DATE "%B %Y" UTC)
  configure_file(${SOURCE}/man/${PAGE}.1 ${OUT} @ONLY)
endif()

execute_process(COMMAND gzip -9n -c ${OUT} OUTPUT_FILE ${OUT}.gz RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip ${OUT} failed")
endif()
