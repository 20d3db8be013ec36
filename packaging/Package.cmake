# The Debian package "quintell-vorn": both programs, the desktop entry and the icon.
# Made with `cpack -G DEB` (or `cmake --build build --target package`) in the build folder.
set(CPACK_PACKAGE_NAME "quintell-vorn")
set(CPACK_PACKAGE_VENDOR "Quintell")
set(CPACK_PACKAGE_VERSION "${VORN_APP_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "P2 MXF clip converter (desktop program and command line)")
set(CPACK_PACKAGE_DESCRIPTION
    "Converts P2 video clips (op-atom MXF: DV, DVCPRO50, DVCPRO HD, AVC-Intra): pulldown removal and addition, 24p/25p, format change, noise reduction and rotation.")
set(CPACK_PACKAGE_CONTACT "Quintell <support@quintell.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The update check verifies the server against the system's certificate authorities.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
include(CPack)
