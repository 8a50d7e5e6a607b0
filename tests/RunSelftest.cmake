# Runs the atomic_persist_test program as it ships and checks what it promises: status 0 and
# exactly "all tests passed" on standard output. Hunts a self-test that passes without saying
# so, or says so and still exits non-zero (the exit status alone would miss the first).
#
#   cmake -DPROGRAM=<program> [-DEMULATOR=<wine>] -P RunSelftest.cmake
if(NOT PROGRAM)
    message(FATAL_ERROR "PROGRAM is not set")
endif()

execute_process(COMMAND ${EMULATOR} "${PROGRAM}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message(STATUS "standard error:\n${errors}")
if(NOT status EQUAL 0)
    message(FATAL_ERROR "exit status ${status}, output: '${output}'")
endif()
if(NOT output STREQUAL "all tests passed\n")
    message(FATAL_ERROR "expected 'all tests passed\\n' on standard output, got '${output}'")
endif()
