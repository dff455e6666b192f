# Gives a test a fresh private home folder (run as a CTest fixture).
#
# The test holds the lock beside its home while it runs (see
# tests/support/privatehome.cpp): a second ctest run in the same build tree
# waits here rather than emptying the home of a test that is still running.
file(LOCK "${HOME_DIR}.lock" TIMEOUT 300 RESULT_VARIABLE locked)
if(NOT locked EQUAL 0)
    message(FATAL_ERROR "Another run of this test still uses ${HOME_DIR}: ${locked}")
endif()
# A test killed outright while it held a folder immutable (run as root, to
# make the folder read-only) leaves that folder behind; file(REMOVE_RECURSE)
# would skip it without a word.
if(EXISTS "${HOME_DIR}")
    find_program(CHATTR chattr PATHS /usr/bin /bin /usr/sbin /sbin)
    if(CHATTR)
        execute_process(COMMAND "${CHATTR}" -R -f -i "${HOME_DIR}" OUTPUT_QUIET ERROR_QUIET)
    endif()
endif()
file(REMOVE_RECURSE "${HOME_DIR}")
file(MAKE_DIRECTORY "${HOME_DIR}/.config" "${HOME_DIR}/.local/share" "${HOME_DIR}/.cache"
     "${HOME_DIR}/Documents")
file(MAKE_DIRECTORY "${RUNTIME_DIR}")
file(CHMOD "${RUNTIME_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
# Tells the test binary that this home is the one CTest prepared for it.
file(TOUCH "${HOME_DIR}/.pellan-test-home")
