# The Debian package: bash scripts/package.sh, or cpack in the build tree.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "QL-7420 firmware tool maintainers <fwupdate@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update tool for the QL-7420 USB device")
set(CPACK_PACKAGE_DESCRIPTION
    "A desktop program (Japanese user interface) that fetches the latest firmware
for the QL-7420 from the firmware server, checks its digest, and sends it to
the device over its USB serial port.

A udev rule gives the user at the desktop access to the device without
joining the dialout group, and keeps ModemManager from probing it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://fwupdate.example.com/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Every label of the window is Japanese; without one of these fonts it shows
# empty boxes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-ipafont-gothic")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/linux/postinst
    ${CMAKE_BINARY_DIR}/packaging/linux/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
