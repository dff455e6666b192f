cmake_minimum_required(VERSION 3.25)

# Fails when one of PROGRAMS needs Qt Gui or Qt Widgets, directly or through
# another library.
find_program(LDD ldd REQUIRED)
foreach(program ${PROGRAMS})
    execute_process(COMMAND ${LDD} ${program}
        RESULT_VARIABLE result OUTPUT_VARIABLE libraries ERROR_VARIABLE libraries)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "ldd ${program} failed:\n${libraries}")
    endif()
    if(NOT libraries MATCHES "libQt6Core")
        message(FATAL_ERROR "${program}: no Qt Core in\n${libraries}")
    endif()
    if(libraries MATCHES "libQt6(Gui|Widgets)")
        message(FATAL_ERROR "${program} needs ${CMAKE_MATCH_0}:\n${libraries}")
    endif()
endforeach()
