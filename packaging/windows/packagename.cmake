# Read by cpack once per generator.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/packagetime.cmake)
if(CPACK_GENERATOR STREQUAL "NSIS")
    set(CPACK_PACKAGE_FILE_NAME
        "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}${CPACK_QL7420_PACKAGE_TAG}-setup")
else()
    set(CPACK_PACKAGE_FILE_NAME
        "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}${CPACK_QL7420_PACKAGE_TAG}-windows-x64")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

# With a code-signing certificate in the environment (sign.sh), NSIS has the
# uninstaller signed as it writes it into the installer, and the installer
# once it is made; the programs are signed in the staging folder
# (signprograms.cmake), so that the zip holds them signed too.
if(DEFINED ENV{QL7420_SIGN_PKCS12} OR DEFINED ENV{QL7420_SIGN_CERT})
    set(sign "'bash \"${CPACK_QL7420_SIGN_SCRIPT}\" \"%1\"' = 0")
    set(CPACK_QL7420_SIGN_COMMANDS "!uninstfinalize ${sign}\n!finalize ${sign}")
    set(CPACK_PRE_BUILD_SCRIPTS "${CPACK_QL7420_SIGN_PROGRAMS}")
else()
    set(CPACK_QL7420_SIGN_COMMANDS "; Unsigned: no code-signing certificate was given.")
endif()
