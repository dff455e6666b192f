# Runs a test binary as by hand, without the CTest home, against a stand-in
# for the user's real home: that home must stay empty, and the private home
# that the binary made under TMPDIR must be gone afterwards. The second run
# has PELLAN_TEST_HOME pointing at the real home, as a stray export would.
set(real_home "${WORK_DIR}/real-home")
set(tmp_dir "${WORK_DIR}/tmp")

foreach(test_home_variable --unset=PELLAN_TEST_HOME PELLAN_TEST_HOME=${real_home})
    file(REMOVE_RECURSE "${real_home}" "${tmp_dir}")
    file(MAKE_DIRECTORY "${real_home}/.config" "${real_home}/.local/share" "${tmp_dir}")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env ${test_home_variable} --unset=XDG_CACHE_HOME
            --unset=XDG_DOCUMENTS_DIR --unset=XDG_RUNTIME_DIR
            HOME=${real_home} XDG_CONFIG_HOME=${real_home}/.config
            XDG_DATA_HOME=${real_home}/.local/share TMPDIR=${tmp_dir}
            ${TEST_BINARY}
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${TEST_BINARY} failed (${test_home_variable}): ${result}")
    endif()

    file(GLOB_RECURSE written LIST_DIRECTORIES false "${real_home}/*")
    if(written)
        message(FATAL_ERROR "written into the real home (${test_home_variable}): ${written}")
    endif()
    file(GLOB left LIST_DIRECTORIES true "${tmp_dir}/*")
    if(left)
        message(FATAL_ERROR "left behind in TMPDIR (${test_home_variable}): ${left}")
    endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
