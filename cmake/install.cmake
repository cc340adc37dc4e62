# Installed layout, man page and Debian package of the native build:
#   bin/dolm, share/dolm/<stubs>, share/man/man1/dolm.1,
#   share/bash-completion/completions/dolm
# Included from the top CMakeLists.txt once the dolm target exists.

install(TARGETS dolm RUNTIME DESTINATION bin)
set(DOLM_STUB_FILES ${CMAKE_BINARY_DIR}/stubs/dolmsfx-linux)
if(DOLM_WINDOWS_STUBS)
  list(APPEND DOLM_STUB_FILES ${CMAKE_BINARY_DIR}/stubs/dolmsfx-win32.exe
                              ${CMAKE_BINARY_DIR}/stubs/dolmsfx-win64.exe)
endif()
# The stubs are read by dolm, never run from here.
install(FILES ${DOLM_STUB_FILES} DESTINATION share/dolm)
install(FILES ${CMAKE_SOURCE_DIR}/resources/dolm.bash-completion
        DESTINATION share/bash-completion/completions RENAME dolm)

# The man page is made from the tool's own --help texts at every build, so
# that it cannot drift from them. Its date is SOURCE_DATE_EPOCH when set,
# else the time of the commit being built.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/dolm.1
    COMMAND ${CMAKE_COMMAND} -DDOLM=$<TARGET_FILE:dolm> -DHELP2MAN=${HELP2MAN}
            -DOUT=${CMAKE_BINARY_DIR}/dolm.1 -DSOURCE=${CMAKE_SOURCE_DIR}
            -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS dolm ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Generating the man page dolm.1 from dolm --help")
  add_custom_target(manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/dolm.1)
  install(FILES ${CMAKE_BINARY_DIR}/dolm.1 DESTINATION share/man/man1)
else()
  message(WARNING "help2man not found: no man page (scripts/install-deps.sh installs it)")
endif()

# cpack -G DEB from the build folder.
set(DOLM_MAINTAINER "dolm developers <dolm@localhost>" CACHE STRING "Maintainer of the Debian package")
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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
include(CPack)
