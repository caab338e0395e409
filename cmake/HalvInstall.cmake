# What `cmake --install` puts where, and the Debian packages `cpack -G DEB` makes of it. Four
# components, one package each, so that a server takes halvane-get or halvane-collect without
# GTK: only the updater's package holds the GTK module. Each package's doc folder holds the
# copyright file (made from LICENSE) and a changelog; man pages are installed compressed, as
# Debian's policy asks.
include(GNUInstallDirs)

# The GTK module goes into HALV_GTK_MODULE_DIR (set before src/): the updater looks beside
# itself first (a build tree, a rebranded copy), then there, seen from its own bin folder, then
# in the packages' /usr/HALV_GTK_MODULE_DIR (see app/gtk_loader.h).
set(_man "${PROJECT_SOURCE_DIR}/docs/man")
set(_doc "${PROJECT_BINARY_DIR}/package-doc")
set(_maintainer "Halvane Delivery maintainers <delivery@halvane.example>")
set(_components get updater publish collect)

# The copyright file in Debian's machine-readable format, the license's text indented.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" _license)
string(REGEX REPLACE "\n+$" "" _license "${_license}")
string(REGEX REPLACE "^MIT License\n\n" "" _license "${_license}")
string(REPLACE "\n\n" "\n.\n" _license "${_license}")
string(REPLACE "\n" "\n " _license "${_license}")
file(WRITE "${_doc}/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: Halvane Delivery\n"
     "Upstream-Contact: ${_maintainer}\n\n"
     "Files: *\n"
     "Copyright: 2026 Mirthwell Technologies\n"
     "License: Expat\n ${_license}\n")

# Compressed with gzip -9n, so that the packages are the same for the same sources.
set(_compressed)
macro(halv_gzip input output)
  add_custom_command(OUTPUT "${output}"
                     COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh "${input}" "${output}"
                     DEPENDS "${input}" VERBATIM)
  list(APPEND _compressed "${output}")
endmacro()
foreach(component IN LISTS _components)
  file(WRITE "${_doc}/${component}/changelog"
       "halvane-${component} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}.\n\n"
       " -- ${_maintainer}  Fri, 11 Dec 2026 12:00:00 +0000\n")
  halv_gzip("${_doc}/${component}/changelog" "${_doc}/${component}/changelog.gz")
  install(FILES "${_doc}/copyright" "${_doc}/${component}/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/halvane-${component}" COMPONENT ${component})
endforeach()
foreach(page halvane-get halvane-updater halvane-publish halvane-rebrand serve-nginx
             halvane-collect)
  halv_gzip("${_man}/${page}.1" "${_doc}/${page}.1.gz")
endforeach()
add_custom_target(halv_package_doc ALL DEPENDS ${_compressed})

install(TARGETS halvane-get RUNTIME DESTINATION bin COMPONENT get)
install(FILES "${_doc}/halvane-get.1.gz" DESTINATION share/man/man1 COMPONENT get)

install(TARGETS halvane-updater RUNTIME DESTINATION bin COMPONENT updater)
install(TARGETS halvane-gtk LIBRARY DESTINATION "${HALV_GTK_MODULE_DIR}" COMPONENT updater)
install(FILES "${_doc}/halvane-updater.1.gz" DESTINATION share/man/man1 COMPONENT updater)
# No menu entry: the packaged updater is the generic build, which fetches nothing until
# halvane-rebrand makes a product's updater of it (and that product's installer adds its own).

install(TARGETS halvane-publish RUNTIME DESTINATION bin COMPONENT publish)
install(PROGRAMS "${PROJECT_SOURCE_DIR}/tools/halvane-rebrand"
                 "${PROJECT_SOURCE_DIR}/tools/serve-nginx"
        DESTINATION bin COMPONENT publish)
install(FILES "${PROJECT_SOURCE_DIR}/tools/serve-nginx.conf.in"
        DESTINATION share/halvane-delivery COMPONENT publish)
install(FILES "${_doc}/halvane-publish.1.gz" "${_doc}/halvane-rebrand.1.gz"
              "${_doc}/serve-nginx.1.gz"
        DESTINATION share/man/man1 COMPONENT publish)

install(TARGETS halvane-collect RUNTIME DESTINATION bin COMPONENT collect)
install(FILES "${_doc}/halvane-collect.1.gz" DESTINATION share/man/man1 COMPONENT collect)
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
# coreutils is essential: every system has it, and lintian refuses naming it.
set(CPACK_DEBIAN_PUBLISH_PACKAGE_DEPENDS "binutils")
# The collector's maintainer scripts register its unit with deb-systemd-helper.
set(CPACK_DEBIAN_COLLECT_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_COLLECT_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/config/debian/collect/postinst"
    "${PROJECT_SOURCE_DIR}/config/debian/collect/prerm"
    "${PROJECT_SOURCE_DIR}/config/debian/collect/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PUBLISH_PACKAGE_SUGGESTS "nginx-light, minisign")
# Long descriptions in lines of at most 80 characters, as lintian asks.
set(CPACK_COMPONENT_GET_DESCRIPTION
    "downloads one published package from the command line\n"
    " halvane-get fetches a package version from a manifest host and its\n"
    " download nodes, checks every chunk and resumes where it left off. It\n"
    " needs no display, rides out a network that comes and goes, and exits\n"
    " with a status that tells scripts what failed.")
set(CPACK_COMPONENT_UPDATER_DESCRIPTION
    "downloads a product's program and its skin, then starts it\n"
    " halvane-updater shows a GTK window when a display is set and runs on\n"
    " the terminal otherwise. This is the generic build: halvane-rebrand (in\n"
    " halvane-publish) makes a product's updater of it.")
set(CPACK_COMPONENT_PUBLISH_DESCRIPTION
    "publishes folders for a manifest host and its download nodes\n"
    " halvane-publish writes a folder's package documents and chunks,\n"
    " halvane-rebrand makes a product's updater and serve-nginx serves a\n"
    " published folder on loopback ports.")
set(CPACK_COMPONENT_COLLECT_DESCRIPTION
    "keeps and reports the analytics the updater posts\n"
    " halvane-collect stores the posts in SQLite or PostgreSQL, answers\n"
    " health checks and summarises transfers, failures, nodes and clients.")
include(CPack)
