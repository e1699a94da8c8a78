# SPDX-License-Identifier: MIT
# The Windows program: the Win32 window (packwarden_window) and packwarden.exe with its
# resources (icon, banner, version, manifest) compiled by windres. Included from
# app/CMakeLists.txt when building for Windows.
enable_language(RC)

add_library(packwarden_window
    win32/Console.cpp
    win32/Console.h
    win32/FolderPicker.cpp
    win32/FolderPicker.h
    win32/Form1.cpp
    win32/Form1.h
    win32/Form1Controls.h
)
target_link_libraries(packwarden_window PUBLIC packwarden_core user32 gdi32 shell32 ole32 uuid)

# Version numbers as the version resource writes them: four parts.
string(REPLACE "." ";" version_parts "${PROJECT_VERSION}.0.0.0")
list(SUBLIST version_parts 0 4 version_parts)
list(JOIN version_parts "," PACKWARDEN_VERSION_COMMAS)
list(JOIN version_parts "." PACKWARDEN_VERSION_QUAD)
set(PACKWARDEN_RESOURCES ${CMAKE_CURRENT_SOURCE_DIR}/resources)
set(PACKWARDEN_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/packwarden.manifest)
configure_file(win32/packwarden.manifest ${PACKWARDEN_MANIFEST} @ONLY)
configure_file(win32/packwarden.rc.in ${CMAKE_CURRENT_BINARY_DIR}/packwarden.rc @ONLY)

add_executable(packwarden WIN32 win32/main.cpp ${CMAKE_CURRENT_BINARY_DIR}/packwarden.rc)
target_link_libraries(packwarden PRIVATE packwarden_window comctl32)
target_compile_definitions(packwarden PRIVATE PACKWARDEN_VERSION="${PROJECT_VERSION}")
set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/packwarden.rc APPEND PROPERTY OBJECT_DEPENDS
    ${PACKWARDEN_RESOURCES}/packwarden.ico ${PACKWARDEN_RESOURCES}/banner.bmp
    ${PACKWARDEN_RESOURCES}/banner@2x.bmp ${PACKWARDEN_MANIFEST})
