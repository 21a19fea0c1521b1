# A logger that deadlocks under the file-switch test fails on this limit
# rather than the default one.
set_tests_properties(${ZEM_TEST_TARGET} PROPERTIES TIMEOUT 120)
