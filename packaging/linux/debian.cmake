# The Debian packages: bash scripts/package.sh, or cpack in the build tree.
# One per install component, from the same build: ql7420-fwupdate-cli (the
# command line and the udev rule, nothing of a window system) and
# ql7420-fwupdate (the window), which needs the first at the same version.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli gui)
# A file installed without a component would be left out of both packages.
get_cmake_property(components COMPONENTS)
list(REMOVE_ITEM components ${CPACK_COMPONENTS_ALL})
if(components)
    message(FATAL_ERROR
        "Every install() rule needs COMPONENT cli or COMPONENT gui, not: ${components}")
endif()

set(CPACK_PACKAGE_CONTACT "QL-7420 firmware tool maintainers <fwupdate@example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The archives carry the time of the release, not of packing.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/packagetime.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(QL7420_PACKAGE_TAG)
    foreach(component cli gui)
        string(TOUPPER ${component} upper)
        set(CPACK_DEBIAN_${upper}_FILE_NAME
            "${package_${component}}${QL7420_PACKAGE_TAG}_${PROJECT_VERSION}_amd64.deb")
    endforeach()
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://fwupdate.example.com/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Each package's library dependencies are those of its own binary.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME ${package_cli})
# Both packages come from one source, which carries the window's name.
set(CPACK_DEBIAN_CLI_PACKAGE_SOURCE ${package_gui})
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "QL-7420 firmware update tool for the command line
Checks the firmware server for the latest firmware of the QL-7420 USB
device and its digest, lists the attached devices with their versions, and
sends the firmware to one or several devices at once over their USB serial
ports. For scripts (it can report in JSON) and service benches; it needs no
window system.

The package also holds the udev rule that gives the user at the desktop or
at a service PC's console access to the device without joining the dialout
group, and keeps ModemManager from probing it.")
# Version 1.0.0 of the window's package held the udev rule.
set(CPACK_DEBIAN_CLI_PACKAGE_REPLACES "${package_gui} (<< 1.1.0)")
set(CPACK_DEBIAN_CLI_PACKAGE_BREAKS "${package_gui} (<< 1.1.0)")
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/linux/postinst
    ${CMAKE_BINARY_DIR}/packaging/linux/postrm)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME ${package_gui})
set(CPACK_DEBIAN_GUI_DESCRIPTION
    "QL-7420 firmware update tool for the desktop
A desktop program (Japanese user interface) that fetches the latest firmware
for the QL-7420 from the firmware server, checks its digest, and sends it to
the device over its USB serial port.

The udev rule that gives the user at the desktop the device, and the
command line, are in ql7420-fwupdate-cli.")
# The udev rule comes with the command line, at the very same version.
set(CPACK_COMPONENT_GUI_DEPENDS cli)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Every label of the window is Japanese; without one of these fonts it shows
# empty boxes.
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-ipafont-gothic")

include(CPack)
