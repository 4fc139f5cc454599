# The Windows installer (NSIS) and a zip of the same folder, for service
# benches that want no installation: cpack in the build tree. Both hold
# everything that the install() rules put in one folder.
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_MONOLITHIC_INSTALL ON)
set(CPACK_PACKAGE_NAME ql7420-fwupdate)
set(CPACK_PACKAGE_VENDOR "${QL7420_VENDOR}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "QL-7420 FW Update Tool")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY ql7420-fwupdate)
set(CPACK_NSIS_PACKAGE_NAME "QL-7420 FW Update Tool ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "QL-7420 FW Update Tool")
set(CPACK_NSIS_MUI_ICON ${CMAKE_CURRENT_LIST_DIR}/ql7420-fwupdate.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_CURRENT_LIST_DIR}/ql7420-fwupdate.ico)
set(CPACK_NSIS_URL_INFO_ABOUT "https://fwupdate.example.com/")
set(CPACK_NSIS_MUI_FINISHPAGE_RUN ql7420-fwupdate.exe)
set(CPACK_NSIS_INSTALLED_ICON_NAME ql7420-fwupdate.exe)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_STRIP_FILES ON)
# Our own installer script, in place of CPack's, for what its variables
# cannot say: Japanese and English pages, one Start menu entry, an
# uninstaller that leaves nothing behind, the installed version removed only
# once the user agreed, no file replaced under a running program, and the
# tool started from the finish page without administrator rights.
list(PREPEND CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
# ql7420-fwupdate-<version>-setup.exe, and ql7420-fwupdate-<version>-windows-x64.zip
# with a folder of that name inside; a test build's with -test after the
# version.
set(CPACK_QL7420_PACKAGE_TAG "${QL7420_PACKAGE_TAG}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/packagename.cmake)
# Authenticode signing, when a certificate is given at cpack time.
set(CPACK_QL7420_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign.sh)
set(CPACK_QL7420_SIGN_PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/signprograms.cmake)

include(CPack)
