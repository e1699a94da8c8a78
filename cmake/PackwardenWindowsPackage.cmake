# SPDX-License-Identifier: MIT
# The Windows program as a player downloads it (scripts/package --windows):
#
#   packwarden-<version>-win64.zip  packwarden.exe, README.txt and LICENSE.txt
#   packwarden-<version>-win64.exe  an installer (NSIS, 64-bit) with the program's icon: the
#                                   same files for the current user, without administrator
#                                   rights, under %LOCALAPPDATA%\Programs\Torvane Packwarden
#                                   (/AllUsers: Program Files, for all users), a Start-menu
#                                   entry "Torvane Packwarden", "Run Torvane Packwarden" on the
#                                   last page, an uninstaller, listed in installed programs
if(NOT TARGET packwarden)
    return()
endif()
install(TARGETS packwarden RUNTIME DESTINATION . COMPONENT app)
# Windows line ends, so every editor shows the lines.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt ${PROJECT_BINARY_DIR}/README.txt
    @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION . COMPONENT app)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT app)
if(NOT PROJECT_IS_TOP_LEVEL)
    return()
endif()

set(CPACK_PACKAGE_NAME packwarden)
set(CPACK_PACKAGE_VENDOR "Torvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tells the Torvane server which Elite Force II packages you have")
set(CPACK_PACKAGE_FILE_NAME packwarden-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "ZIP;NSIS")
# The program alone (the socket component's headers and libraries are for developers).
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};packwarden;app;/")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

set(CPACK_PACKAGE_INSTALL_DIRECTORY "Torvane Packwarden")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Torvane Packwarden")
set(CPACK_PACKAGE_EXECUTABLES packwarden "Torvane Packwarden")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
# Per user, where current installers put programs that need no administrator rights; our
# NSIS.template.in (packaging/windows/) switches to Program Files with /AllUsers.
list(APPEND CMAKE_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/windows)
set(CPACK_NSIS_INSTALL_ROOT "$LOCALAPPDATA\\\\Programs")
set(CPACK_NSIS_DISPLAY_NAME "Torvane Packwarden")
# The installer's name: its titles, the Start-menu folder and the finish page's "Run ..." say it,
# so it carries no version (the version is in the file's name and in installed programs).
set(CPACK_NSIS_PACKAGE_NAME "Torvane Packwarden")
set(CPACK_NSIS_MUI_FINISHPAGE_RUN packwarden.exe)
set(CPACK_NSIS_INSTALLED_ICON_NAME packwarden.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/resources/packwarden.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/resources/packwarden.ico)
set(CPACK_NSIS_URL_INFO_ABOUT ${PROJECT_HOMEPAGE_URL})
set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit installer for a 64-bit program (and Wine without its 32-bit half runs it too).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
include(CPack)
