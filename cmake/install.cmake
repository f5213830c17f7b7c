# Install rules of the whole program and its Debian package (`cpack -G DEB` in the build folder).
# Installed layout: everything in lib/quillamar/ (the renderer and its font setup must lie beside
# the programs), the two programs linked into bin/, and, with the window, its font aliases, the
# desktop entry, the icons and the AppStream metadata; the manual pages, the bash completion and the
# package's changelog and copyright.
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

# Manual pages and the package's changelog go in compressed, as Debian wants them (gzip -n: the
# same bytes every build).
set(quillamar_compressed_dir ${CMAKE_BINARY_DIR}/compressed)
function(quillamar_compressed source name)
  set(output ${quillamar_compressed_dir}/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${quillamar_compressed_dir}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${output}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
  set_property(GLOBAL APPEND PROPERTY quillamar_compressed_files ${output})
endfunction()
set(quillamar_manual_pages quillamar-cli)
if(TARGET quillamar)
  list(APPEND quillamar_manual_pages quillamar)
endif()
foreach(page ${quillamar_manual_pages})
  quillamar_compressed(packaging/man/${page}.1 ${page}.1)
  install(FILES ${quillamar_compressed_dir}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
quillamar_compressed(packaging/changelog.Debian changelog.Debian)
install(FILES ${quillamar_compressed_dir}/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillamar)
get_property(quillamar_compressed_outputs GLOBAL PROPERTY quillamar_compressed_files)
add_custom_target(compressed_docs ALL DEPENDS ${quillamar_compressed_outputs})
install(FILES packaging/completion/quillamar-cli
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(TARGET quillamar)
  install(FILES app/resources/quillamar-fonts.conf DESTINATION ${QUILLAMAR_INSTALL_DIR})
  install(FILES app/resources/quillamar.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES app/resources/quillamar.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES app/resources/quillamar.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
  # The smaller sizes, made from the SVG by scripts/make-icons.sh.
  foreach(size 16 22 24 32 48 64 128)
    install(FILES packaging/icons/quillamar-${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME quillamar.png)
  endforeach()
  install(FILES packaging/metainfo/org.quillamar.quillamar.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
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
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillamar developers <developers@quillamar.example.org>")
# The package's own revision of the upstream version (its changelog is changelog.Debian.gz).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Turns batches of PDF files into page images (JPG or PNG)")
# The long description only: CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Every page of each PDF becomes one image file, named after the PDF and page.\nQuillamar has a window in Chinese and the command line quillamar-cli, which\nconverts folders and lists of PDFs and can resume from its report.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(quillamar_data_depends "poppler-data, fonts-urw-base35, fonts-noto-cjk, fontconfig")
if(TARGET quillamar)
  string(APPEND quillamar_data_depends ", qt6-qpa-plugins, fonts-dejavu-core")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${quillamar_data_depends}")
include(CPack)
