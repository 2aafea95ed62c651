# The Debian binary package, made by CPack:
#   cmake --build build --target package
# gives build/mpeg-stream-tools_<version>_<arch>.deb with what
# `cmake --install` puts under the prefix, placed under /usr: the programs,
# the analyser's data directory, the manual pages and the desktop entry with
# its icon, and the copyright file and changelog Debian asks for.  The
# version is the project's (CMakeLists.txt); packaging/changelog must begin
# with an entry for it.

set(TOOLS_PACKAGE_NAME mpeg-stream-tools)
set(TOOLS_PACKAGE_MAINTAINER "MPEG stream tools maintainers <maintainers@users.noreply.c-seed-03d8f9d5.example>"
  CACHE STRING "Maintainer field of the Debian package")

# Debian's changelog and copyright file, under /usr/share/doc/<package>.
set(changelog ${CMAKE_CURRENT_LIST_DIR}/changelog)
file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^${TOOLS_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog does not begin with an entry for version ${PROJECT_VERSION}")
endif()
find_program(GZIP_EXECUTABLE gzip)
if(GZIP_EXECUTABLE)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${GZIP_EXECUTABLE} ${changelog} ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DEPENDS ${changelog}
    VERBATIM)
  add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TOOLS_PACKAGE_NAME})
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TOOLS_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TOOLS_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TOOLS_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_VENDOR "MPEG stream tools maintainers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tools for MPEG program streams and system streams")
set(CPACK_PACKAGE_DESCRIPTION [=[
Tools that read ISO/IEC 13818-1 program streams and ISO/IEC 11172-1
system streams and show every pack header, system header and packet
header, with byte offsets and time stamps:

 - psdump: text dump, pack count, elementary-stream extraction, and
   export as Emacs Lisp, Common Lisp or JSON Lines;
 - psverify: replays each stream through its decoder buffers and reports
   underflows and overflows, as text or JSON, with an exit status;
 - tarvel_viewer: a GTK 3 analyser with a pack map, buffer graphs, a
   clock plot and Scheme plug-ins run by Guile 3;
 - streamsend: sends a stream file as paced UDP datagrams to a local port.

Each program has a manual page.]=])
if(NOT TOOLS_HAVE_GTK)
  string(REPLACE " - tarvel_viewer: a GTK 3 analyser with a pack map, buffer graphs, a\n   clock plot and Scheme plug-ins run by Guile 3;\n" ""
         CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TOOLS_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Guile is opened by the analyser at run time, so no link names it.
if(TOOLS_HAVE_GTK)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS guile-3.0-libs)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
find_program(DPKG_EXECUTABLE dpkg)
if(DPKG_EXECUTABLE)
  execute_process(COMMAND ${DPKG_EXECUTABLE} --print-architecture
    OUTPUT_VARIABLE TOOLS_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  set(TOOLS_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TOOLS_PACKAGE_ARCHITECTURE})
set(TOOLS_PACKAGE_FILE ${TOOLS_PACKAGE_NAME}_${PROJECT_VERSION}_${TOOLS_PACKAGE_ARCHITECTURE}.deb)
set(CPACK_DEBIAN_FILE_NAME ${TOOLS_PACKAGE_FILE})

include(CPack)
