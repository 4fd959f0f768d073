# Installing on a Linux desktop: the program, its desktop entry, icons and AppStream
# metainfo; validators of the installed files as tests; a Debian package through CPack
# (cmake --build BUILD --target package).
include(GNUInstallDirs)

set(DRIVORO_APP_ID "kr.co.morvel.drivoro")
# The date of the build stands for the release's; SOURCE_DATE_EPOCH, when set, fixes it.
string(TIMESTAMP DRIVORO_RELEASE_DATE "%Y-%m-%d" UTC)
# The desktop entry is named after the executable: that is the window class on X11 and the
# app id on Wayland, so the desktop matches the window to its entry and icon.
set(drivoro_desktop_entry ${CMAKE_CURRENT_LIST_DIR}/drivoro-update-manager.desktop)
set(drivoro_metainfo ${CMAKE_CURRENT_BINARY_DIR}/dist/${DRIVORO_APP_ID}.metainfo.xml)
configure_file(${CMAKE_CURRENT_LIST_DIR}/metainfo.xml.in ${drivoro_metainfo} @ONLY)

install(TARGETS drivoro-update-manager RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${drivoro_desktop_entry} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES ${drivoro_metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

if(BUILD_TESTING)
    # The validators read the files where an install puts them, in a fresh install tree, so the
    # install rules are checked too: validate-tree fails when the metainfo's launchable names
    # no installed desktop entry.
    find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
    find_program(APPSTREAMCLI appstreamcli REQUIRED)
    set(drivoro_tree ${CMAKE_CURRENT_BINARY_DIR}/dist/install-check)
    set(drivoro_share ${drivoro_tree}/usr/share)
    add_test(NAME install_tree
        COMMAND sh -c "rm -rf \"$1\" && \"$2\" --install \"$3\" --prefix \"$1/usr\""
            sh ${drivoro_tree} ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR})
    set_tests_properties(install_tree PROPERTIES FIXTURES_SETUP drivoro_tree)
    add_test(NAME desktop_entry COMMAND ${DESKTOP_FILE_VALIDATE}
        ${drivoro_share}/applications/drivoro-update-manager.desktop)
    add_test(NAME appstream_metainfo COMMAND ${APPSTREAMCLI} validate --no-net
        ${drivoro_share}/metainfo/${DRIVORO_APP_ID}.metainfo.xml)
    add_test(NAME appstream_install_tree COMMAND ${APPSTREAMCLI} validate-tree --no-net ${drivoro_tree})
    # The installed program reports the project's version.
    add_test(NAME installed_program_version COMMAND ${drivoro_tree}/usr/bin/drivoro-update-manager --version)
    set_tests_properties(installed_program_version PROPERTIES
        PASS_REGULAR_EXPRESSION "^drivoro-update-manager ${PROJECT_VERSION}\n")
    set_tests_properties(desktop_entry appstream_metainfo appstream_install_tree installed_program_version
        PROPERTIES FIXTURES_REQUIRED drivoro_tree)
    # desktop-file-validate reports hints and warnings but fails only on errors.
    set_tests_properties(desktop_entry PROPERTIES FAIL_REGULAR_EXPRESSION "warning|error")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drivoro-update-manager)
set(CPACK_PACKAGE_VENDOR MORVEL)
set(CPACK_PACKAGE_CONTACT "MORVEL" CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "safety-camera database updater for MORVEL dashcams")
# CPack puts the summary first itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Logs in to the maker's service and downloads the current safety-camera database
onto the dashcam's SD card. Korean user interface.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The libraries come from dpkg-shlibdeps; the windows are drawn in the Nanum fonts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-nanum")
# Links to the service's pages open in the browser through xdg-open. The card is exFAT, which
# Debian 12's kernel reads itself: exfatprogs only checks and repairs it, and the FUSE driver
# would serve the read-back from the cache rather than the card.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, exfatprogs")
# A package goes to drivers: never one of a build that trusts the demonstration's authority.
if(NOT DRIVORO_EXTRA_CA_FILE STREQUAL "")
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/refuse-package.cmake)
endif()
include(CPack)
