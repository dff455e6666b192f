# Gives a test a fresh private home folder (run as a CTest fixture).
file(REMOVE_RECURSE "${HOME_DIR}")
file(MAKE_DIRECTORY "${HOME_DIR}/.config" "${HOME_DIR}/.local/share" "${HOME_DIR}/.cache"
     "${HOME_DIR}/Documents")
file(MAKE_DIRECTORY "${RUNTIME_DIR}")
file(CHMOD "${RUNTIME_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
# Tells the test binary that this home is the one CTest prepared for it.
file(TOUCH "${HOME_DIR}/.pellan-test-home")
