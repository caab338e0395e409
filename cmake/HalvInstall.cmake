# What `cmake --install` puts where, and the Debian packages `cpack -G DEB` makes of it. Four
# components, one package each, so that a server takes halvane-get or halvane-collect without
# GTK: only the updater's package holds the GTK module.
include(GNUInstallDirs)

# The GTK module goes into HALV_GTK_MODULE_DIR (set before src/): the updater looks beside
# itself first (a build tree, a rebranded copy), then there, seen from its own bin folder.
set(_man "${PROJECT_SOURCE_DIR}/docs/man")

install(TARGETS halvane-get RUNTIME DESTINATION bin COMPONENT get)
install(FILES "${_man}/halvane-get.1" DESTINATION share/man/man1 COMPONENT get)

install(TARGETS halvane-updater RUNTIME DESTINATION bin COMPONENT updater)
install(TARGETS halvane-gtk LIBRARY DESTINATION "${HALV_GTK_MODULE_DIR}" COMPONENT updater)
install(FILES "${_man}/halvane-updater.1" DESTINATION share/man/man1 COMPONENT updater)
install(FILES "${PROJECT_SOURCE_DIR}/config/halvane-updater.desktop"
        DESTINATION share/applications COMPONENT updater)

install(TARGETS halvane-publish RUNTIME DESTINATION bin COMPONENT publish)
install(PROGRAMS "${PROJECT_SOURCE_DIR}/tools/halvane-rebrand"
                 "${PROJECT_SOURCE_DIR}/tools/serve-nginx"
        DESTINATION bin COMPONENT publish)
install(FILES "${PROJECT_SOURCE_DIR}/tools/serve-nginx.conf.in"
        DESTINATION share/halvane-delivery COMPONENT publish)
install(FILES "${_man}/halvane-publish.1" DESTINATION share/man/man1 COMPONENT publish)

install(TARGETS halvane-collect RUNTIME DESTINATION bin COMPONENT collect)
install(FILES "${_man}/halvane-collect.1" DESTINATION share/man/man1 COMPONENT collect)
install(FILES "${PROJECT_SOURCE_DIR}/config/halvane-collect.service"
        DESTINATION lib/systemd/system COMPONENT collect)

set(CPACK_PACKAGE_NAME "halvane")
set(CPACK_PACKAGE_VENDOR "Mirthwell Technologies")
set(CPACK_PACKAGE_CONTACT "Halvane Delivery maintainers <delivery@halvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Package downloader and updater")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_COMPONENTS_ALL get updater publish collect)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The build keeps its debug information; the packages ship without it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
# The dependencies are the Debian packages of the libraries each program links, as
# dpkg-shlibdeps finds them, and the programs the scripts run.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_GET_PACKAGE_NAME "halvane-get")
set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME "halvane-updater")
set(CPACK_DEBIAN_PUBLISH_PACKAGE_NAME "halvane-publish")
set(CPACK_DEBIAN_COLLECT_PACKAGE_NAME "halvane-collect")
set(CPACK_DEBIAN_PUBLISH_PACKAGE_DEPENDS "binutils, coreutils")
set(CPACK_DEBIAN_PUBLISH_PACKAGE_SUGGESTS "nginx-light, minisign")
set(CPACK_COMPONENT_GET_DESCRIPTION
    "Downloads one published package from the command line\n halvane-get fetches a package version from a manifest host and its download nodes,\n checks every chunk and resumes where it left off. It needs no display.")
set(CPACK_COMPONENT_UPDATER_DESCRIPTION
    "Downloads a build's program and its skin, then starts it\n halvane-updater shows a GTK window when a display is set and runs on the terminal\n otherwise.")
set(CPACK_COMPONENT_PUBLISH_DESCRIPTION
    "Publishes folders for a manifest host and its nodes\n halvane-publish, halvane-rebrand and serve-nginx.")
set(CPACK_COMPONENT_COLLECT_DESCRIPTION
    "Keeps and reports the analytics the updater posts\n halvane-collect stores the posts in SQLite and summarises them.")
include(CPack)
