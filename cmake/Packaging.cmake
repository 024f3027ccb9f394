# Installing and packaging: the program in bin/, its window module in lib/larkpost/ (where the
# program looks when it is not beside it), the man page, the desktop entry with its icon, bash
# completion, and the Debian copyright and changelog. `cpack -G DEB` in the build folder makes the
# package; it installs at the prefix the build was configured with (-DCMAKE_INSTALL_PREFIX=/usr
# for a package that follows Debian's layout).
include(GNUInstallDirs)
# Installing does not rebuild everything first: cpack in a built tree stays quick.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS larkpost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET larkpost-ui)
  install(TARGETS larkpost-ui LIBRARY DESTINATION lib/larkpost)
endif()
install(FILES docs/larkpost.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(desktop ${CMAKE_SOURCE_DIR}/data/desktop)
install(FILES ${desktop}/larkpost.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${desktop}/larkpost.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${desktop}/larkpost.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME larkpost)
install(FILES ${desktop}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/larkpost)

# The PNG sizes of the icon theme, drawn from the SVG at build time.
find_program(RSVG_CONVERT rsvg-convert)
set(icon_pngs)
if(RSVG_CONVERT)
  foreach(size 16 24 32 48 64 128 256)
    set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/larkpost.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} ${desktop}/larkpost.svg -o ${png}
      DEPENDS ${desktop}/larkpost.svg VERBATIM)
    list(APPEND icon_pngs ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(WARNING "rsvg-convert (librsvg2-bin) not found: the PNG icons are not installed")
endif()

# Debian keeps its changelog compressed, without a time stamp in the gzip header.
set(changelog ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9n -c ${desktop}/changelog.Debian > ${changelog}
  DEPENDS ${desktop}/changelog.Debian VERBATIM)
add_custom_target(larkpost-data ALL DEPENDS ${changelog} ${icon_pngs})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/larkpost)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larkpost)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Larkpost maintainers <larkpost@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send one e-mail message through an SMTP server")
set(CPACK_PACKAGE_DESCRIPTION
  "A desktop window and a command-line tool that sends one message through an SMTP server, with
STARTTLS, AUTH LOGIN and SASL, attachments, an activity log and return codes for scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
# Unattended runs need neither the window libraries nor OpenSSL (loaded only for TLS).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libbotan-2-19, libidn2-0, libstdc++6, libgcc-s1, libc6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6widgets6, libssl3")
include(CPack)
