# Helpers shared by every target of the project: warnings, sanitizers and tests.

# The hardening Debian builds its packages with (dpkg-buildflags): fortified
# libc calls, stack protector, read-only relocations bound at start. Not with
# sanitizers, which bring their own checks, and not without optimisation,
# where fortification does not work.
function(pellan_harden_target target)
    if(PELLAN_SANITIZE)
        return()
    endif()
    target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    target_compile_options(${target} PRIVATE -fstack-protector-strong -Wformat -Werror=format-security)
    target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
endfunction()

# Warnings and sanitizers for one of the project's own targets.
function(pellan_configure_target target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(PELLAN_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(PELLAN_SANITIZE)
        target_compile_options(${target} PRIVATE
            -fsanitize=${PELLAN_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=${PELLAN_SANITIZE})
    endif()
    pellan_harden_target(${target})
endfunction()

# pellan_add_test(<name> SOURCES <files...> LIBRARIES <targets...> [LABEL unit|gui] [TIMEOUT s])
#
# One QtTest executable under CTest. Every test gets its own HOME and XDG
# folders inside the build tree, so settings, the documents folder and the
# trash never touch a real user's, and tests can run in parallel. Run by
# hand, a test makes a private home of its own (tests/support/privatehome.cpp).
function(pellan_add_test name)
    cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT ARG_LABEL)
        set(ARG_LABEL unit)
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()

    add_executable(${name} ${ARG_SOURCES})
    # Tests have no forms of their own; they include the application's.
    set_target_properties(${name} PROPERTIES AUTOUIC OFF)
    target_link_libraries(${name} PRIVATE Qt6::Test pellan_test_home ${ARG_LIBRARIES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    pellan_configure_target(${name})

    set(home "${CMAKE_CURRENT_BINARY_DIR}/home/${name}")
    set(runtime "${home}/.runtime")
    add_test(NAME ${name} COMMAND ${name})
    # The private home is emptied before each run so that every run starts
    # from a first start; the runtime folder must be private to its owner.
    add_test(NAME ${name}_setup COMMAND ${CMAKE_COMMAND}
        -DHOME_DIR=${home} -DRUNTIME_DIR=${runtime}
        -P ${PROJECT_SOURCE_DIR}/cmake/PellanTestHome.cmake)
    set_tests_properties(${name}_setup PROPERTIES FIXTURES_SETUP ${name}_home LABELS setup)
    set_tests_properties(${name} PROPERTIES
        FIXTURES_REQUIRED ${name}_home
        LABELS ${ARG_LABEL}
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PELLAN_TEST_HOME=${home};HOME=${home};XDG_CONFIG_HOME=${home}/.config;XDG_DATA_HOME=${home}/.local/share;XDG_CACHE_HOME=${home}/.cache;XDG_DOCUMENTS_DIR=${home}/Documents;XDG_RUNTIME_DIR=${runtime};QT_LOGGING_RULES=qt.qpa.*=false")
endfunction()

# Gives every test of the calling folder the label "device" and makes
# pellan_device_tests build it. Call after the folder's pellan_add_test calls.
function(pellan_mark_device_tests)
    get_property(tests DIRECTORY PROPERTY TESTS)
    foreach(test IN LISTS tests)
        get_test_property(${test} LABELS labels)
        if(NOT "setup" IN_LIST labels)
            set_property(TEST ${test} APPEND PROPERTY LABELS device)
            add_dependencies(pellan_device_tests ${test})
        endif()
    endforeach()
endfunction()
