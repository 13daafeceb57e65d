# Install rules and packages: `cpack -G DEB` on Debian, `cpack -G ZIP` in the Windows build.
include(GNUInstallDirs)

set(FAT12IMG_MAN_PAGE ${PROJECT_SOURCE_DIR}/doc/fat12img.1)

if(WIN32)
  # A flat folder: the program, the README and the manual as plain text, since Windows has
  # no man.
  install(TARGETS fat12img RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  find_program(FAT12IMG_GROFF groff)
  if(FAT12IMG_GROFF)
    set(manual_text ${CMAKE_BINARY_DIR}/fat12img.txt)
    add_custom_command(OUTPUT ${manual_text}
      COMMAND ${FAT12IMG_GROFF} -man -Tascii -P-c -P-b -P-u ${FAT12IMG_MAN_PAGE} > ${manual_text}
      DEPENDS ${FAT12IMG_MAN_PAGE}
      COMMENT "Rendering the manual page as text"
      VERBATIM)
    add_custom_target(fat12img_manual_text ALL DEPENDS ${manual_text})
    install(FILES ${manual_text} DESTINATION .)
  else()
    install(FILES ${FAT12IMG_MAN_PAGE} DESTINATION . RENAME fat12img.1.txt)
  endif()
else()
  install(TARGETS fat12img RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  find_program(FAT12IMG_GZIP gzip)
  if(FAT12IMG_GZIP)
    # Compressed as Debian installs manual pages; -n keeps the bytes reproducible.
    set(compressed_page ${CMAKE_BINARY_DIR}/fat12img.1.gz)
    add_custom_command(OUTPUT ${compressed_page}
      COMMAND ${FAT12IMG_GZIP} -9 -n -c ${FAT12IMG_MAN_PAGE} > ${compressed_page}
      DEPENDS ${FAT12IMG_MAN_PAGE}
      VERBATIM)
    add_custom_target(fat12img_manual ALL DEPENDS ${compressed_page})
    install(FILES ${compressed_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${FAT12IMG_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME fat12img)
set(CPACK_PACKAGE_VENDOR "fat12img developers")
set(CPACK_PACKAGE_CONTACT "fat12img developers <fat12img@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "Lists, creates, removes, renames and copies files and directories inside FAT12 floppy
images, copies files between the host and the image, formats an empty 1.44 MB floppy and
copies raw 512-byte sectors, for example to install a boot sector. Works on the image file
directly, without privileges or loop devices. Messages are Japanese, in Shift_JIS.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(FAT12IMG_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FAT12IMG_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
