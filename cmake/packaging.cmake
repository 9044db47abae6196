# Install rules for the manual page and the bash completion, and the CPack
# settings of the Debian package (`cpack -G DEB` in a build directory); for a
# Windows build, those of the Windows zip (`cpack` in build/windows).

if(WIN32)
  # pelko.exe with the README, the format description and the manual page
  # as plain text (rendered with man where the build machine has it).
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/doc/FORMAT.md DESTINATION .)
  find_program(PELKO_MAN man)
  find_program(PELKO_COL col)
  if(PELKO_MAN AND PELKO_COL)
    add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/pelko.txt
      COMMAND sh -c "MANWIDTH=80 '${PELKO_MAN}' -l '${PROJECT_SOURCE_DIR}/doc/pelko.1' 2>/dev/null | '${PELKO_COL}' -bx > '${CMAKE_BINARY_DIR}/pelko.txt'"
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/pelko.1
      VERBATIM)
    add_custom_target(pelko_manual_text ALL DEPENDS ${CMAKE_BINARY_DIR}/pelko.txt)
    install(FILES ${CMAKE_BINARY_DIR}/pelko.txt DESTINATION .)
  endif()
  set(CPACK_PACKAGE_NAME pelko)
  set(CPACK_PACKAGE_VENDOR "Pelko developers")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME pelko-${PROJECT_VERSION}-windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR ZIP)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)

# Installed compressed, as Debian keeps its manual pages.
find_program(PELKO_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/pelko.1.gz
  COMMAND ${PELKO_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/doc/pelko.1 > ${CMAKE_BINARY_DIR}/pelko.1.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/pelko.1
  VERBATIM)
add_custom_target(pelko_manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/pelko.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/pelko.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/completion/pelko
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(CPACK_PACKAGE_NAME pelko)
set(CPACK_PACKAGE_VENDOR "Pelko developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line file archiver with per-file Huffman compression")
set(CPACK_PACKAGE_DESCRIPTION
  "Pelko keeps any number of files in one .pkz archive, each compressed on its own\n\
with a static Huffman code and protected by a CRC-32. It adds, lists, extracts\n\
and deletes entries, and repairs a damaged archive by cutting it back before\n\
the first entry whose data fails its CRC. Archives are updated atomically.")
set(CPACK_PACKAGE_CONTACT "Pelko developers <pelko@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME pelko)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (package dpkg-dev, with CPack also needing `file`) derives
# the exact library versions the binary needs; without them, name the three
# libraries the binary links.
find_program(PELKO_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(PELKO_FILE_COMMAND file)
if(PELKO_DPKG_SHLIBDEPS AND PELKO_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

set(CPACK_GENERATOR DEB)
include(CPack)
