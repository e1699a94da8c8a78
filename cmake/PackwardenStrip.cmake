# SPDX-License-Identifier: MIT
# Run by CPack on its staging tree before packing (CPACK_PRE_BUILD_SCRIPTS): drops what
# Debian's packages leave out, the compiler's .comment notes in the programs and the
# libraries' members, and debug information from the static libraries.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(file MATCHES "\\.a$")
        set(options --strip-debug --remove-section=.comment --enable-deterministic-archives)
    elseif(file MATCHES "/bin/[^/]+$")
        set(options --remove-section=.comment --remove-section=.note)
    else()
        continue()
    endif()
    execute_process(COMMAND strip ${options} ${file} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "strip ${options} ${file} failed")
    endif()
endforeach()
