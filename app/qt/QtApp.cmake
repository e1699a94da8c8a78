# SPDX-License-Identifier: MIT
# The Linux program: the Qt window (packwarden_window) and packwarden with its images compiled
# in by rcc. Included from app/CMakeLists.txt when not building for Windows.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTORCC ON)

add_library(packwarden_window
    qt/DesktopShell.cpp
    qt/Form1.cpp
    qt/Form1.h
    qt/ServerForRun.cpp
    qt/ServerForRun.h
    qt/Shell.h
    qt/SocketChannel.cpp
    qt/SocketChannel.h
    resources/packwarden.qrc
)
target_link_libraries(packwarden_window PUBLIC packwarden_core Packwarden::socket Qt6::Widgets)

add_executable(packwarden qt/main.cpp qt/CommandLine.cpp qt/CommandLine.h)
target_link_libraries(packwarden PRIVATE packwarden_window)
target_compile_definitions(packwarden PRIVATE PACKWARDEN_VERSION="${PROJECT_VERSION}")

# Draws the banner and the icon; run by hand when the artwork changes, its images are committed.
add_executable(packwarden_make_images EXCLUDE_FROM_ALL resources/make_images.cpp)
target_link_libraries(packwarden_make_images PRIVATE Qt6::Gui)
