# Installed layout, manual pages, licence and Debian package of the native build:
#   bin/dolm, lib/dolm/<stubs>, share/man/man1/dolm.1.gz and dolmsfx.1.gz,
#   share/bash-completion/completions/dolm, share/doc/dolm/copyright and
#   changelog.gz
# Included from the top CMakeLists.txt once the dolm target exists.

install(TARGETS dolm RUNTIME DESTINATION bin)
set(DOLM_STUB_FILES ${CMAKE_BINARY_DIR}/stubs/dolmsfx-linux)
if(DOLM_WINDOWS_STUBS)
  list(APPEND DOLM_STUB_FILES ${CMAKE_BINARY_DIR}/stubs/dolmsfx-win32.exe
                              ${CMAKE_BINARY_DIR}/stubs/dolmsfx-win64.exe)
endif()
# The stubs are read by dolm, never run from here.
install(FILES ${DOLM_STUB_FILES} DESTINATION lib/dolm)
# The completion script is written by dolm itself from the option tables its
# commands parse with, so that it cannot drift from them.
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/dolm.bash-completion
  COMMAND dolm --bash-completion > ${CMAKE_BINARY_DIR}/dolm.bash-completion
  DEPENDS dolm
  COMMENT "Generating the bash completion from dolm's option tables")
add_custom_target(completion ALL DEPENDS ${CMAKE_BINARY_DIR}/dolm.bash-completion)
install(FILES ${CMAKE_BINARY_DIR}/dolm.bash-completion
        DESTINATION share/bash-completion/completions RENAME dolm)

# The manual pages are made at every build: dolm.1 from the tool's own --help
# texts, so that it cannot drift from them, and dolmsfx.1 from man/; both are
# installed compressed with gzip -9n, as Debian wants them.
find_program(HELP2MAN help2man)
set(DOLM_MAN ${CMAKE_BINARY_DIR}/man)
set(DOLM_MAN_SCRIPT ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR} -DOUT_DIR=${DOLM_MAN}
                    -DDOLM_VERSION=${PROJECT_VERSION})
add_custom_command(
  OUTPUT ${DOLM_MAN}/dolmsfx.1.gz
  COMMAND ${DOLM_MAN_SCRIPT} -DPAGE=dolmsfx -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/man/dolmsfx.1 ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
  COMMENT "Generating the manual page dolmsfx.1")
set(DOLM_MAN_PAGES ${DOLM_MAN}/dolmsfx.1.gz)
if(HELP2MAN)
  add_custom_command(
    OUTPUT ${DOLM_MAN}/dolm.1.gz
    COMMAND ${DOLM_MAN_SCRIPT} -DPAGE=dolm -DDOLM=$<TARGET_FILE:dolm> -DHELP2MAN=${HELP2MAN}
            -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS dolm ${CMAKE_SOURCE_DIR}/man/dolm.h2m ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Generating the manual page dolm.1 from dolm --help")
  list(APPEND DOLM_MAN_PAGES ${DOLM_MAN}/dolm.1.gz)
else()
  message(WARNING "help2man not found: no manual page dolm.1 (scripts/install-deps.sh installs it)")
endif()
add_custom_target(manpages ALL DEPENDS ${DOLM_MAN_PAGES})
install(FILES ${DOLM_MAN_PAGES} DESTINATION share/man/man1)

# The licence in Debian's machine-readable form, made from LICENSE: its
# permission text, each line indented and blank lines as " .".
file(READ ${CMAKE_SOURCE_DIR}/LICENSE DOLM_LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" DOLM_COPYRIGHT "${DOLM_LICENSE}")
set(DOLM_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" DOLM_LICENSE "${DOLM_LICENSE}")
string(REGEX REPLACE "\n+$" "" DOLM_LICENSE "${DOLM_LICENSE}")
string(REPLACE "\n\n" "\n.\n" DOLM_LICENSE "${DOLM_LICENSE}")
string(REPLACE "\n" "\n " DOLM_LICENSE "${DOLM_LICENSE}")
file(WRITE ${CMAKE_BINARY_DIR}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: dolm\n\n"
     "Files: *\n"
     "Copyright: ${DOLM_COPYRIGHT}\n"
     "License: Expat\n\n"
     "License: Expat\n ${DOLM_LICENSE}\n")
install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION share/doc/dolm)

# The maintainer field: DEBFULLNAME and DEBEMAIL when both are set (where
# Debian's own tools take it from), else the git identity of the checkout,
# else a name with an address below the reserved .invalid, which no mail reaches.
# (The localhost address that earlier versions cached counts as unset.)
if(NOT DEFINED CACHE{DOLM_MAINTAINER} OR DOLM_MAINTAINER STREQUAL "dolm developers <dolm@localhost>")
  set(maintainer "the dolm authors <authors@dolm.invalid>")
  if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
    set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  else()
    execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} config user.name OUTPUT_VARIABLE name
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} config user.email OUTPUT_VARIABLE email
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(name AND email)
      set(maintainer "${name} <${email}>")
    else()
      message(WARNING "No maintainer for the Debian package (DEBFULLNAME and DEBEMAIL, or a git "
                      "identity): it names ${maintainer}; -DDOLM_MAINTAINER=\"Name <address>\" sets one")
    endif()
  endif()
  message(STATUS "Maintainer of the Debian package: ${maintainer} (-DDOLM_MAINTAINER= sets another)")
  set(DOLM_MAINTAINER "${maintainer}" CACHE STRING "Maintainer of the Debian package: \"Name <address>\"" FORCE)
endif()

# A native package's changelog: one entry for this version, dated like the
# manual pages.
include(${CMAKE_SOURCE_DIR}/cmake/source_date.cmake)
string(TIMESTAMP DOLM_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/changelog
     "dolm (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${DOLM_MAINTAINER}  ${DOLM_DATE}\n")
execute_process(COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION share/doc/dolm)

# What the package holds, and nothing more: cpack builds this target, not
# `all` with its tests and benchmarks (install no longer depends on `all`;
# build before `cmake --install`).
add_custom_target(installed)
add_dependencies(installed dolm dolmsfx-linux manpages completion)
if(DOLM_WINDOWS_STUBS)
  add_dependencies(installed stub-win32 stub-win64)
endif()
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_INSTALL_COMMANDS "\"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\" --target installed")

# cpack -G DEB from the build folder.
set(CPACK_PACKAGE_NAME dolm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting archives for Windows and Linux")
set(CPACK_PACKAGE_DESCRIPTION
    "dolm packs files into self-extracting archives that run on every 32-bit\n"
    "and 64-bit Windows and on Linux, extract into a temporary folder and start\n"
    "a stored program. It also lists, checks and extracts such archives without\n"
    "running them, and moves an archive to another stub.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DOLM_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)  # values written to CPackConfig.cmake as they are
include(CPack)
