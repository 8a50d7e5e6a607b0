# Runs the driver_startup example twice against one config.json in a fresh directory. Hunts
# for a start-up path that loses the user's changes: the first start must fall back to the
# defaults and show the notification; the second must read back the saved sensitivity and
# notification flag. A failed save shows as a non-zero exit status. Also hunts a program that
# starts without the library's console logger (the first start must log the missing file at
# INFO without installing anything) or cannot silence it (the second start, with --quiet, must
# log nothing).
#
#   cmake -DEXAMPLE=<program> [-DEMULATOR=<wine>] -DWORK_DIR=<scratch dir> -P RunDriverStartup.cmake
foreach(variable EXAMPLE WORK_DIR)
    if(NOT ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
set(config "${WORK_DIR}/settings/config.json")

# start_driver(<label> <output variable> <error output variable> [arguments...])
function(start_driver label output_variable errors_variable)
    execute_process(COMMAND ${EMULATOR} "${EXAMPLE}" "${config}" ${ARGN}
        RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    message(STATUS "${label}:\n${output}${errors}")
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${label}: exit status ${status}")
    endif()
    set(${output_variable} "${output}" PARENT_SCOPE)
    set(${errors_variable} "${errors}" PARENT_SCOPE)
endfunction()

function(expect label output pattern)
    if(NOT output MATCHES "${pattern}")
        message(FATAL_ERROR "${label}: expected output matching '${pattern}'")
    endif()
endfunction()

start_driver("first start" first first_errors)
expect("first start" "${first}" "sensitivity at start-up: 0\\.7\n")
expect("first start, standard error" "${first_errors}"
    "^\\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\.[0-9][0-9][0-9]\\] \\[INFO\\] No config file at ")
expect("first start" "${first}" "first start: showing the tray notification once")
if(NOT EXISTS "${config}")
    message(FATAL_ERROR "first start: ${config} was not written")
endif()
if(EXISTS "${config}.tmp")
    message(FATAL_ERROR "first start: ${config}.tmp was left behind")
endif()
file(READ "${config}" saved)
expect("saved file" "${saved}" "\"shownTrayNotification\": true")

start_driver("second start" second second_errors --quiet)
if(NOT second_errors STREQUAL "")
    message(FATAL_ERROR "second start: --quiet reset the logger slot, yet it logged")
endif()
expect("second start" "${second}" "sensitivity at start-up: 0\\.5\n")
if(second MATCHES "first start")
    message(FATAL_ERROR "second start: the notification was shown again")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
