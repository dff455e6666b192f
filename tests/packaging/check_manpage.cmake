cmake_minimum_required(VERSION 3.25)

# Runs PROGRAM --help and checks that the man page MAN_PAGE names every
# command, option, exit status and environment variable the help shows, so
# the two cannot drift apart. With ENVIRONMENT_ONLY (a page that refers to
# another for the commands) only the environment variables are checked.

execute_process(COMMAND "${PROGRAM}" --help
    RESULT_VARIABLE result OUTPUT_VARIABLE help ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed (${result}):\n${errors}")
endif()
# Semicolons would split CMake lists.
string(REPLACE ";" "," help "${help}")
file(READ "${MAN_PAGE}" page)
# Read the page as man shows it: \- is a minus, font changes vanish.
string(REPLACE "\\-" "-" page "${page}")
string(REGEX REPLACE "\\\\f[BIRP]" "" page "${page}")

# The tag lines of the page's entries (the line after each .TP), where
# commands, options and exit statuses are listed.
string(REGEX MATCHALL "\n\\.TP[^\n]*\n[^\n]*" tags "${page}")
list(TRANSFORM tags REPLACE "^\n\\.TP[^\n]*\n" "")
list(TRANSFORM tags REPLACE "^\\.B[IR]? " "")
list(TRANSFORM tags REPLACE "\"" "")

set(failures)

# Environment variables: PELLAN_* named in the help, each the start of a tag.
string(REGEX MATCHALL "PELLAN_[A-Z_]+" variables "${help}")
list(REMOVE_DUPLICATES variables)
foreach(variable IN LISTS variables)
    set(listed OFF)
    foreach(tag IN LISTS tags)
        if(tag MATCHES "^${variable}[= ]")
            set(listed ON)
        endif()
    endforeach()
    if(NOT listed)
        list(APPEND failures "the man page has no entry for the environment variable ${variable}")
    endif()
endforeach()
if(ENVIRONMENT_ONLY)
    if(NOT variables)
        list(APPEND failures "found no environment variables in the help text")
    endif()
    if(failures)
        list(JOIN failures "\n" text)
        message(FATAL_ERROR "${text}")
    endif()
    return()
endif()

# Options: every -x and --word anywhere in the help, examples included.
string(REGEX MATCHALL "[ \t\n,[(]--?[A-Za-z0-9][-A-Za-z0-9]*" options "${help}")
list(TRANSFORM options REPLACE "^[ \t\n,[(]" "")
list(REMOVE_DUPLICATES options)
if(NOT "--help" IN_LIST options OR NOT "--version" IN_LIST options)
    list(APPEND failures "found no options in the help text:\n${help}")
endif()
foreach(option IN LISTS options)
    set(listed OFF)
    foreach(tag IN LISTS tags)
        if(" ${tag} " MATCHES "[ ,]${option}[ ,]")
            set(listed ON)
        endif()
    endforeach()
    if(NOT listed)
        list(APPEND failures "the man page has no entry for the option ${option}")
    endif()
endforeach()

# Section <title>: the first word of each entry line below that title.
macro(section_entries title pattern out)
    set(${out})
    set(inside OFF)
    string(REPLACE "\n" ";" lines "${help}")
    foreach(line IN LISTS lines)
        if(line STREQUAL "${title}")
            set(inside ON)
        elseif(inside AND line MATCHES "^[^ ]")
            set(inside OFF)
        elseif(inside AND line MATCHES "${pattern}")
            list(APPEND ${out} "${CMAKE_MATCH_1}")
        endif()
    endforeach()
    if(NOT ${out})
        list(APPEND failures "found no entries under \"${title}\" in the help text")
    endif()
endmacro()

# A command or an exit status starts the tag of its entry.
section_entries("Commands:" "^  ([a-z]+)( |$)" commands)
section_entries("Exit status:" "^  ([0-9]+)  " statuses)
foreach(entry IN LISTS commands statuses)
    set(listed OFF)
    foreach(tag IN LISTS tags)
        if("${tag} " MATCHES "^${entry} ")
            set(listed ON)
        endif()
    endforeach()
    if(NOT listed AND entry IN_LIST commands)
        list(APPEND failures "the man page has no entry for the command ${entry}")
    elseif(NOT listed)
        list(APPEND failures "the man page has no entry for the exit status ${entry}")
    endif()
endforeach()

if(failures)
    list(JOIN failures "\n" text)
    message(FATAL_ERROR "${text}")
endif()
