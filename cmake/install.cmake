# Install rules of the whole program and its Debian package (`cpack -G DEB` in the build folder).
# Installed layout: everything in lib/quillamar/ (the renderer and its font setup must lie beside
# the programs), the two programs linked into bin/, and, with the window, its font aliases, the
# desktop entry and the icon.
include(GNUInstallDirs)
set(QUILLAMAR_INSTALL_DIR lib/quillamar)
foreach(target quillamar quillamar-cli lib_dll)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${QUILLAMAR_INSTALL_DIR})
  endif()
endforeach()
install(FILES pagerender/resources/lib-fonts.conf DESTINATION ${QUILLAMAR_INSTALL_DIR})
# The licences: lib.dll links MuPDF, which makes it AGPL-3.0-or-later; the rest is GPL-3.0-or-later.
install(FILES cmake/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillamar)
if(TARGET quillamar)
  install(FILES app/resources/quillamar-fonts.conf DESTINATION ${QUILLAMAR_INSTALL_DIR})
  install(FILES app/resources/quillamar.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES app/resources/quillamar.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES app/resources/quillamar.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
endif()
foreach(program quillamar quillamar-cli)
  if(NOT TARGET ${program})
    continue()
  endif()
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK \"../${QUILLAMAR_INSTALL_DIR}/${program}\" \"\${link}\" SYMBOLIC)
    message(STATUS \"Linking: \${link}\")")
endforeach()

# The Debian package: quillamar_<version>_<arch>.deb. The libraries it links come from
# dpkg-shlibdeps; the data the renderer reads at run time (CMaps, fonts) and Qt's platform plugins
# are listed by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillamar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillamar developers <quillamar@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Turns batches of PDF files into page images (JPG or PNG)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Turns batches of PDF files into page images (JPG or PNG)\n A window in Chinese and the command line quillamar-cli.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(quillamar_data_depends "poppler-data, fonts-urw-base35, fonts-noto-cjk, fontconfig")
if(TARGET quillamar)
  string(APPEND quillamar_data_depends ", qt6-qpa-plugins, fonts-dejavu-core")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${quillamar_data_depends}")
include(CPack)
