# Install rules for the manual page, the bash completion and the documents,
# and the CPack settings of the Debian package (`cpack -G DEB` in a build
# directory); for a Windows build, those of the Windows zip (`cpack` in
# build/windows). Every version they carry is PELKO_VERSION, from VERSION.

# The manual page with the version in its footer. The page in the tree names
# none, so that VERSION stays the one place that does.
file(READ ${PROJECT_SOURCE_DIR}/doc/pelko.1 pelko_page)
string(REGEX REPLACE "\n\\.TH PELKO 1 ([^ \n]+) Pelko " "\n.TH PELKO 1 \\1 \"Pelko ${PELKO_VERSION}\" "
       pelko_versioned_page "${pelko_page}")
if(pelko_versioned_page STREQUAL pelko_page)
  message(FATAL_ERROR "doc/pelko.1 has no line `.TH PELKO 1 DATE Pelko ...` for the version")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/pelko.1.new "${pelko_versioned_page}")
configure_file(${CMAKE_BINARY_DIR}/pelko.1.new ${CMAKE_BINARY_DIR}/pelko.1 COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/pelko.1)
set(PELKO_MANUAL ${CMAKE_BINARY_DIR}/pelko.1)

if(WIN32)
  # pelko.exe with the Windows readme, the licence, the README, the format
  # description and the manual page as plain text (rendered with man where
  # the build machine has it), all with the CRLF line ends Windows editors
  # expect.
  set(PELKO_ZIP_TEXTS ${PROJECT_SOURCE_DIR}/doc/README-windows.txt ${PROJECT_SOURCE_DIR}/LICENSE
      ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/doc/FORMAT.md)
  find_program(PELKO_MAN man)
  find_program(PELKO_COL col)
  if(PELKO_MAN AND PELKO_COL)
    add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/pelko.txt
      COMMAND sh -c "MANWIDTH=80 '${PELKO_MAN}' -l '${PELKO_MANUAL}' 2>/dev/null | '${PELKO_COL}' -bx > '${CMAKE_BINARY_DIR}/pelko.txt'"
      DEPENDS ${PELKO_MANUAL}
      VERBATIM)
    list(APPEND PELKO_ZIP_TEXTS ${CMAKE_BINARY_DIR}/pelko.txt)
  endif()
  set(PELKO_ZIP_CRLF)
  foreach(text ${PELKO_ZIP_TEXTS})
    get_filename_component(name ${text} NAME)
    set(crlf ${CMAKE_BINARY_DIR}/crlf/${name})
    add_custom_command(
      OUTPUT ${crlf}
      COMMAND ${CMAKE_COMMAND} -DIN=${text} -DOUT=${crlf} -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      DEPENDS ${text} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      VERBATIM)
    list(APPEND PELKO_ZIP_CRLF ${crlf})
  endforeach()
  add_custom_target(pelko_zip_texts ALL DEPENDS ${PELKO_ZIP_CRLF})
  install(FILES ${PELKO_ZIP_CRLF} DESTINATION .)
  set(CPACK_PACKAGE_NAME pelko)
  set(CPACK_PACKAGE_VENDOR "The Pelko developers")
  set(CPACK_PACKAGE_VERSION ${PELKO_VERSION})
  set(CPACK_PACKAGE_FILE_NAME pelko-${PELKO_VERSION}-windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR ZIP)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)

# The manual page and the changelog are installed compressed, as Debian
# keeps them (without a time stamp, so that a rebuild gives the same bytes).
find_program(PELKO_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/pelko.1.gz
  COMMAND ${PELKO_GZIP} -9 -n -c ${PELKO_MANUAL} > ${CMAKE_BINARY_DIR}/pelko.1.gz
  DEPENDS ${PELKO_MANUAL}
  VERBATIM)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${PELKO_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/doc/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/changelog
  VERBATIM)
add_custom_target(pelko_manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/pelko.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/pelko.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/completion/pelko
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The licence in Debian's machine-readable copyright format, made from
# LICENSE (the notice from its copyright line, the terms from its permission
# text on), so that the two cannot differ.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE pelko_licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" pelko_notice "${pelko_licence}")
set(pelko_notice "${CMAKE_MATCH_1}")
string(FIND "${pelko_licence}" "Permission is hereby granted" pelko_terms_at)
if(NOT pelko_notice OR pelko_terms_at LESS 0)
  message(FATAL_ERROR "LICENSE: no copyright line or no permission text")
endif()
string(SUBSTRING "${pelko_licence}" ${pelko_terms_at} -1 pelko_terms)
string(STRIP "${pelko_terms}" pelko_terms)
# Continuation lines start with a space, and an empty one is a lone dot.
string(REPLACE "\n\n" "\n.\n" pelko_terms "${pelko_terms}")
string(REPLACE "\n" "\n " pelko_terms "${pelko_terms}")
file(WRITE ${CMAKE_BINARY_DIR}/copyright.new
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: Pelko\n"
  "\n"
  "Files: *\n"
  "Copyright: ${pelko_notice}\n"
  "License: Expat\n"
  "\n"
  "License: Expat\n"
  " ${pelko_terms}\n")
configure_file(${CMAKE_BINARY_DIR}/copyright.new ${CMAKE_BINARY_DIR}/copyright COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
              ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/doc/FORMAT.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME pelko)
set(CPACK_PACKAGE_VENDOR "The Pelko developers")
set(CPACK_PACKAGE_VERSION ${PELKO_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line file archiver with per-file Huffman compression")
set(CPACK_PACKAGE_DESCRIPTION
  "Pelko keeps any number of files in one .pkz archive, each compressed on its own\n\
with a static Huffman code and protected by a CRC-32. It adds, lists, extracts\n\
and deletes entries, and repairs a damaged archive by cutting it back before\n\
the first entry whose data fails its CRC. Archives are updated atomically.")
set(CPACK_PACKAGE_CONTACT "The Pelko developers <pelko@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME pelko)
# A pre-release sorts before its release for dpkg when `~` takes the place of
# `-` (1.0~rc < 1.0); the file name follows: pelko_1.0~rc_amd64.deb.
string(REPLACE "-" "~" PELKO_DEBIAN_VERSION "${PELKO_VERSION}")
set(CPACK_DEBIAN_PACKAGE_VERSION ${PELKO_DEBIAN_VERSION})
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
