# Installing and packaging: the programs, their manual pages and documents laid out as a Linux system
# lays them out (a Debian package from a native build), or side by side in a zip for Windows.

# Debian keeps a package's documents under its package name.
set(CMAKE_INSTALL_DOCDIR share/doc/brel-tools CACHE PATH "Where the documents are installed")
include(GNUInstallDirs)

# Installed as a Linux system lays programs out; on Windows as the zip holds them, side by side.
if(WIN32)
  install(TARGETS brelpack brelsplit RUNTIME DESTINATION .)
  # The text for Windows users with Notepad's line ends.
  file(READ packaging/README-Windows.txt windows_readme)
  string(REPLACE "\n" "\r\n" windows_readme "${windows_readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README-Windows.txt "${windows_readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/README-Windows.txt)
  install(FILES README.md LICENSE ${PROJECT_BINARY_DIR}/README-Windows.txt DESTINATION .)
else()
  install(TARGETS brelpack brelsplit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Stripped as Debian strips programs: without the compilers' notes of their versions either.
  if(CMAKE_OBJCOPY)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        foreach(program brelpack brelsplit)
          execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\" COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
      endif()")
  endif()
  # The manual pages and the documents, compressed as Debian keeps them.
  set(compressed)
  foreach(file IN ITEMS man/brelpack.1 man/brelsplit.1 README.md packaging/changelog)
    cmake_path(GET file FILENAME name)
    add_custom_command(OUTPUT ${name}.gz
      COMMAND gzip -9 --no-name --stdout ${PROJECT_SOURCE_DIR}/${file} > ${name}.gz
      DEPENDS ${file})
    list(APPEND compressed ${name}.gz)
  endforeach()
  add_custom_target(compressed_documents ALL DEPENDS ${compressed})
  install(FILES ${PROJECT_BINARY_DIR}/brelpack.1.gz ${PROJECT_BINARY_DIR}/brelsplit.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/README.md.gz ${PROJECT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The licence in Debian's machine-readable copyright format: its terms, after the copyright line,
  # indented by one space, with a lone dot for each blank line.
  file(READ LICENSE licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright "${licence}")
  set(copyright ${CMAKE_MATCH_1})
  string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" terms "${licence}")
  string(STRIP "${terms}" terms)
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " terms "${terms}")
  file(CONFIGURE OUTPUT copyright @ONLY CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: brel-tools
Upstream-Contact: The brel tools <brel-tools@example.org>
Source: https://brel-tools.example.org/

Files: *
Copyright: @copyright@
License: Expat
 @terms@
]])
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
  install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# cpack: a Debian package from a native build, a zip from a Windows one.
set(CPACK_PACKAGE_NAME brel-tools)
set(CPACK_PACKAGE_VENDOR "The brel tools")
set(CPACK_PACKAGE_CONTACT "The brel tools <brel-tools@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://brel-tools.example.org/)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pack and unpack VIV archives")
set(CPACK_PACKAGE_DESCRIPTION "brelpack packs files, whole and uncompressed, into one VIV archive, the
archive format of Tarvex; brelsplit writes every file of such an archive back
out under its stored name, never outside the working folder.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME brel-tools-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
