# SPDX-License-Identifier: MIT
# What `cmake --install` puts in place, in two components:
#
#   app  the program, crewdock-dev, desktop entry, icons, AppStream metainfo, man pages
#   dev  the socket component: public headers under include/packwarden/, static libraries, the
#        CMake package PackwardenSocket (find_package(PackwardenSocket 2.0 CONFIG)), the
#        pkg-config file packwarden-socket.pc and the examples' sources
#
# and, when this is the top-level project, the CPack set-up that turns them into
# packwarden_<version>_amd64.deb and packwarden-dev_<version>_amd64.deb (scripts/package).

# Consumers compile the public headers, which need C++20.
target_compile_features(packwarden_socket_service PUBLIC cxx_std_20)
# Static libraries that can still go into a consumer's shared library.
set_target_properties(packwarden_socket packwarden_socket_service PROPERTIES
    POSITION_INDEPENDENT_CODE ON)

if(NOT PACKWARDEN_INSTALL)
    return()
endif()
if(WIN32)
    # A player's download: the program alone, as a zip and an installer.
    include(PackwardenWindowsPackage)
    return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
# Directories 0755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(packwarden_dev_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/packwarden-dev)
set(packwarden_app_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/packwarden)
set(packwarden_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/PackwardenSocket)
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

# --- the socket component --------------------------------------------------------------------
install(TARGETS packwarden_socket packwarden_socket_service
    EXPORT PackwardenSocketTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The public headers and, under detail/, the not-API state CSocket.h holds by value. The
# service's internal/ headers (registries, platform calls, test hooks) are never installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/socket/include/packwarden
                  ${PROJECT_SOURCE_DIR}/socket_service/include/packwarden
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
    FILES_MATCHING PATTERN "*.h")
install(EXPORT PackwardenSocketTargets
    NAMESPACE Packwarden::
    FILE PackwardenSocketTargets.cmake
    DESTINATION ${packwarden_cmakedir} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackwardenSocketConfig.cmake.in
    ${PROJECT_BINARY_DIR}/PackwardenSocketConfig.cmake
    INSTALL_DESTINATION ${packwarden_cmakedir})
# 2.x consumers keep working within 2.x; a new major version may change the contract.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PackwardenSocketConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/PackwardenSocketConfig.cmake
              ${PROJECT_BINARY_DIR}/PackwardenSocketConfigVersion.cmake
    DESTINATION ${packwarden_cmakedir} COMPONENT dev)

# --- pkg-config and the examples (packwarden-dev) ---------------------------------------------
# packwarden-socket.pc for builds without CMake. Its prefix is found from the file's own place,
# so a copy installed under any prefix (a temporary one too) names its own headers and libraries.
set(packwarden_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH packwarden_pc_to_prefix /${packwarden_pcdir} /)
string(REGEX REPLACE "/$" "" packwarden_pc_to_prefix "${packwarden_pc_to_prefix}")
set(PACKWARDEN_PC_PREFIX "\${pcfiledir}/${packwarden_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/packwarden-socket.pc.in
    ${PROJECT_BINARY_DIR}/packwarden-socket.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packwarden-socket.pc
    DESTINATION ${packwarden_pcdir} COMPONENT dev)
# The examples as sources, with a CMakeLists.txt that builds them against the installed package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
    DESTINATION ${packwarden_dev_docdir}/examples COMPONENT dev
    FILES_MATCHING PATTERN "*.cpp" PATTERN "*.txt" PATTERN "*.md")

# --- Debian's documentation files, gzipped without a time stamp --------------------------------
# Made when the tree is configured (and again whenever a source changes), not by a build target:
# `cmake --install` then finds them whatever was built, the two programs alone included.
find_program(PACKWARDEN_GZIP gzip REQUIRED)
set(gz ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${gz})
function(packwarden_gzip source output)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND ${PACKWARDEN_GZIP} -9nc ${source}
        OUTPUT_FILE ${output} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "gzip ${source} failed")
    endif()
endfunction()
packwarden_gzip(${packaging}/changelog ${gz}/changelog.gz)

install(FILES ${packaging}/copyright ${gz}/changelog.gz
    DESTINATION ${packwarden_dev_docdir} COMPONENT dev)

# --- the program and crewdock-dev -------------------------------------------------------------
set(resources ${PROJECT_SOURCE_DIR}/app/resources)
if(TARGET packwarden)
    install(FILES ${packaging}/net.torvane.packwarden.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
    install(FILES ${packaging}/net.torvane.packwarden.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)
    foreach(size 32 48 64 128 256)
        install(FILES ${resources}/icons/${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME packwarden.png COMPONENT app)
    endforeach()
    install(FILES ${resources}/icons/packwarden.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT app)
endif()
foreach(program packwarden crewdock-dev)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
        # The page's header carries the project's version.
        configure_file(${packaging}/${program}.1 ${gz}/${program}.1 @ONLY)
        packwarden_gzip(${gz}/${program}.1 ${gz}/${program}.1.gz)
        install(FILES ${gz}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT app)
        set(app_docs ON)
    endif()
endforeach()
if(app_docs)
    install(FILES ${packaging}/copyright ${gz}/changelog.gz
        DESTINATION ${packwarden_app_docdir} COMPONENT app)
endif()

# --- packages -------------------------------------------------------------------------------
if(NOT PROJECT_IS_TOP_LEVEL)
    return()
endif()

set(CPACK_PACKAGE_NAME packwarden)
set(CPACK_PACKAGE_VENDOR "Torvane")
set(CPACK_PACKAGE_CONTACT "Torvane Packwarden developers <packwarden@torvane.net>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackwardenStrip.cmake)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL app dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_APP_PACKAGE_NAME packwarden)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION net)
# The first line is the summary; CPack indents the rest and turns empty lines into " .".
set(CPACK_DEBIAN_APP_DESCRIPTION
    "Elite Force II package list synchroniser for the Torvane server
Packwarden finds the game's install folder in the Wine prefix, sends the
list of the player's content packages (*.pk3) with their sizes to the
Torvane community server and opens the server's page for that list, where
missing and outdated packages can be downloaded.

The package also contains crewdock-dev, a local stand-in for the server
that listens on 127.0.0.1 only, for trying a synchronisation offline.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME packwarden-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static libraries link OpenSSL for TLS: a program built against them needs its headers'
# package for the libraries to link to.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libssl-dev (>= 3.0)")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "asynchronous socket component of Packwarden (static library)
MSocketSupport and CSocket: asynchronous sockets, TCP and UDP, IPv4 and IPv6,
client and listening, with TLS (OpenSSL) on request, that raise events to one
owner on the thread that drains a single notification channel. A name is
connected to by racing its addresses of both families. The channel exposes
one file descriptor to watch from any event loop.

This package holds the headers, the static libraries and the CMake package
PackwardenSocket (targets Packwarden::socket and Packwarden::socket_service).")

include(CPack)
