# SPDX-License-Identifier: MIT
# Test registration shared by every test folder.
#
# packwarden_add_gtest(NAME <target> FOLDER <label> SOURCES ... LIBS ... [TIMEOUT s])
# builds one GoogleTest program and registers each of its cases with CTest, labelled by the
# folder it lives in. In the sanitizer tree the cases carry the prefix "asan:" and the extra
# label "asan", in the Windows tree "win:" and "windows", so one CTest run reports every tree.
# A program that loads no window toolkit (nothing it links, directly or through other
# libraries, is Qt) also carries the label "windowless": the programs scripts/reliability
# memcheck runs, whose tool cannot see past the toolkit's own allocations.
if(PACKWARDEN_SANITIZE)
    set(PACKWARDEN_TEST_PREFIX "asan:")
    set(PACKWARDEN_TEST_LABEL asan)
elseif(CMAKE_CROSSCOMPILING AND WIN32)
    set(PACKWARDEN_TEST_PREFIX "win:")
    set(PACKWARDEN_TEST_LABEL windows)
else()
    set(PACKWARDEN_TEST_PREFIX "")
    set(PACKWARDEN_TEST_LABEL "")
endif()

if(CMAKE_CROSSCOMPILING AND WIN32)
    # Debian's GoogleTest is built for Linux; build its sources for the target instead.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    # The tests run under Wine (see scripts/lib/wine-run): a prefix of this tree's own, one
    # persistent wineserver started detached before the first test and stopped after the last.
    set(PACKWARDEN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env WINEPREFIX=${PACKWARDEN_WINEPREFIX} ${PROJECT_SOURCE_DIR}/scripts/lib/wine-run)
    add_test(NAME ${PACKWARDEN_TEST_PREFIX}wine.start
        COMMAND env WINEPREFIX=${PACKWARDEN_WINEPREFIX} ${PROJECT_SOURCE_DIR}/scripts/lib/wine-run
                --start)
    set_tests_properties(${PACKWARDEN_TEST_PREFIX}wine.start PROPERTIES FIXTURES_SETUP wine
        LABELS ${PACKWARDEN_TEST_LABEL})
    add_test(NAME ${PACKWARDEN_TEST_PREFIX}wine.stop
        COMMAND env WINEPREFIX=${PACKWARDEN_WINEPREFIX} ${PROJECT_SOURCE_DIR}/scripts/lib/wine-run
                --stop)
    set_tests_properties(${PACKWARDEN_TEST_PREFIX}wine.stop PROPERTIES FIXTURES_CLEANUP wine
        LABELS ${PACKWARDEN_TEST_LABEL})
else()
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)

set(PACKWARDEN_TEST_TIMEOUT 120 CACHE STRING "Upper bound in seconds for any one test case")

# _packwarden_links_qt(<var> <library>...): TRUE in <var> when one of the libraries, or one
# they link in turn, is a Qt library.
function(_packwarden_links_qt var)
    set(todo ${ARGN})
    set(seen "")
    while(todo)
        list(POP_FRONT todo lib)
        # $<LINK_ONLY:x>, $<BUILD_INTERFACE:x> and the like name x.
        string(REGEX REPLACE "^\\$<[A-Z_]+:(.+)>$" "\\1" lib "${lib}")
        if(lib MATCHES "^Qt[0-9]*::")
            set(${var} TRUE PARENT_SCOPE)
            return()
        endif()
        if(NOT TARGET "${lib}")
            continue()
        endif()
        get_target_property(aliased "${lib}" ALIASED_TARGET)
        if(aliased)
            set(lib ${aliased})
        endif()
        if(lib IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${lib})
        foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
            get_target_property(linked "${lib}" ${property})
            if(linked)
                list(APPEND todo ${linked})
            endif()
        endforeach()
    endwhile()
    set(${var} FALSE PARENT_SCOPE)
endfunction()

function(packwarden_add_gtest)
    cmake_parse_arguments(T "" "NAME;FOLDER;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT ${PACKWARDEN_TEST_TIMEOUT})
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    set(labels ${T_FOLDER} ${PACKWARDEN_TEST_LABEL})
    _packwarden_links_qt(window ${T_LIBS})
    if(NOT window)
        list(APPEND labels windowless)
    endif()
    set(extra "")
    if(PACKWARDEN_SANITIZE)
        # Sanitizer options are compiled into the program (see sanitizer_options.cpp), so the
        # programs behave the same under CTest and by hand.
        target_sources(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/sanitizer_options.cpp)
    elseif(CMAKE_CROSSCOMPILING AND WIN32)
        set(extra " FIXTURES_REQUIRED wine")
    endif()
    gtest_discover_tests(${T_NAME}
        TEST_PREFIX "${PACKWARDEN_TEST_PREFIX}"
        TEST_LIST ${T_NAME}_TESTS
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${T_TIMEOUT})
    # Discovery cannot pass list-valued properties through; label the discovered cases here.
    set(labeller ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_labels.cmake)
    file(WRITE ${labeller}
        "if(${T_NAME}_TESTS)\n"
        "  set_tests_properties(\${${T_NAME}_TESTS} PROPERTIES LABELS \"${labels}\"${extra})\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labeller})
endfunction()

# packwarden_add_test(NAME <Folder.Case> FOLDER <label> COMMAND ... [TIMEOUT s] [ENVIRONMENT ...]
#                     [SKIP_RETURN_CODE n])
# registers a test that is a program or script rather than a GoogleTest case, named and
# labelled the same way ("asan:" and "asan" in the sanitizer tree, "win:" and "windows" in the
# Windows tree, where a script runs on the build machine and starts Wine itself).
function(packwarden_add_test)
    cmake_parse_arguments(T "" "NAME;FOLDER;TIMEOUT;SKIP_RETURN_CODE" "COMMAND;ENVIRONMENT" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT ${PACKWARDEN_TEST_TIMEOUT})
    endif()
    set(name "${PACKWARDEN_TEST_PREFIX}${T_NAME}")
    set(labels ${T_FOLDER} ${PACKWARDEN_TEST_LABEL})
    add_test(NAME ${name} COMMAND ${T_COMMAND})
    set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
    if(T_ENVIRONMENT)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    if(T_SKIP_RETURN_CODE)
        set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${T_SKIP_RETURN_CODE})
    endif()
endfunction()

# packwarden_twin(<target> <folder> <cmake args>...): builds this same source tree a second
# time, in <folder> below this one, as part of the normal build, and makes CTest in the normal
# tree run the twin's tests as well.
function(packwarden_twin target folder)
    include(ExternalProject)
    set(twin ${CMAKE_BINARY_DIR}/${folder})
    ExternalProject_Add(${target}
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${twin}
        CMAKE_ARGS ${ARGN} -DPACKWARDEN_SANITIZER_TWIN=OFF -DPACKWARDEN_WINDOWS_TWIN=OFF
                   -DPACKWARDEN_WERROR=${PACKWARDEN_WERROR} -G ${CMAKE_GENERATOR}
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        USES_TERMINAL_BUILD ON)
    file(WRITE ${CMAKE_BINARY_DIR}/${target}_tests.cmake
        "if(EXISTS \"${twin}/CTestTestfile.cmake\")\n  subdirs(\"${twin}\")\nendif()\n")
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES
        ${CMAKE_BINARY_DIR}/${target}_tests.cmake)
endfunction()

# The twin under AddressSanitizer and UndefinedBehaviorSanitizer. Only when asked
# (PACKWARDEN_SANITIZER_TWIN; the `test` preset asks).
function(packwarden_sanitizer_twin)
    packwarden_twin(sanitizer_twin asan -DPACKWARDEN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
endfunction()

# Cross-builds this same source tree for Windows (MinGW-w64, see cmake/toolchains/) as part of
# the normal build, and makes CTest in the normal tree run its tests under Wine as well.
function(packwarden_windows_twin)
    find_program(PACKWARDEN_MINGW_CXX x86_64-w64-mingw32-g++-posix)
    find_program(PACKWARDEN_WINE wine)
    if(NOT PACKWARDEN_MINGW_CXX OR NOT PACKWARDEN_WINE)
        message(WARNING "No MinGW-w64 (posix) compiler or no Wine: the Windows tree is not built "
                        "(scripts/bootstrap installs both)")
        return()
    endif()
    set(host_crewdock "")
    if(TARGET crewdock-dev)
        set(host_crewdock $<TARGET_FILE:crewdock-dev>)
    endif()
    packwarden_twin(windows_twin windows
        --toolchain ${PROJECT_SOURCE_DIR}/cmake/toolchains/mingw-w64-x86_64.cmake
        -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        # The Windows program's whole runs talk to the Linux stand-in server.
        -DPACKWARDEN_HOST_CREWDOCK=${host_crewdock})
    if(TARGET crewdock-dev)
        add_dependencies(windows_twin crewdock-dev)
    endif()
endfunction()
