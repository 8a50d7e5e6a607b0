# Runs the driver_startup example twice against one config.json in a fresh directory. Hunts
# for a start-up path that loses the user's changes: the first start must fall back to the
# defaults and show the notification; the second must read back the saved sensitivity and
# notification flag. A failed save shows as a non-zero exit status. Also hunts a program that
# starts without the library's console logger (the first start must log the missing file at
# INFO without installing anything) or cannot silence it (the second start, with --quiet, must
# log nothing, nor must a third one that finds a corrupt file and so meets the WARN lines), and
# a start that writes its defaults over a file it could not read (a file it may write but not
# read, as an unprivileged user: POSIX only).
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

# A corrupt file, with the library silenced: moved aside and replaced, and still no log line.
file(WRITE "${config}" "{ not json")
start_driver("third start" third third_errors --quiet)
if(NOT third_errors STREQUAL "")
    message(FATAL_ERROR "third start: --quiet reset the logger slot, yet it wrote: ${third_errors}")
endif()
expect("third start" "${third}" "sensitivity at start-up: 0\\.7\n")
file(GLOB backups "${WORK_DIR}/settings/config.json.corrupted.*")
if(NOT backups)
    message(FATAL_ERROR "third start: the corrupt file was not moved aside")
endif()

# A file the driver may write but not read (mode 0200) holds settings it cannot know: the start
# must leave it as it is. Root reads every file, so as root the example runs as the unprivileged
# user 65534 (setpriv, from util-linux); any other user cannot read its own file of mode 0200.
if(EMULATOR)
    message(STATUS "unreadable file: skipped, Windows has no mode bits")
else()
    set(locked_dir "${WORK_DIR}/unreadable")
    set(locked "${locked_dir}/config.json")
    file(MAKE_DIRECTORY "${locked_dir}")
    set(stored "{\n    \"detection\": {\n        \"fftSize\": 8192\n    }\n}")
    file(WRITE "${locked}" "${stored}")
    file(CHMOD "${locked}" PERMISSIONS OWNER_WRITE)
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(as_user "")
    set(runnable TRUE)
    if(uid STREQUAL "0")
        find_program(SETPRIV setpriv)
        execute_process(COMMAND chown -R 65534:65534 "${locked_dir}" RESULT_VARIABLE chowned)
        if(SETPRIV AND chowned EQUAL 0)
            set(as_user "${SETPRIV}" --reuid=65534 --regid=65534 --clear-groups --)
            execute_process(COMMAND ${as_user} test -x "${EXAMPLE}" -a -w "${locked_dir}"
                RESULT_VARIABLE reachable)
            if(NOT reachable EQUAL 0)
                set(runnable FALSE)
                message(STATUS "unreadable file: skipped, user 65534 cannot reach ${EXAMPLE} or ${locked_dir}")
            endif()
        else()
            set(runnable FALSE)
            message(STATUS "unreadable file: skipped, no setpriv or chown to run as an unprivileged user")
        endif()
    endif()
    if(runnable)
        execute_process(COMMAND ${as_user} "${EXAMPLE}" "${locked}"
            RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
        message(STATUS "unreadable file:\n${output}${errors}")
        file(CHMOD "${locked}" PERMISSIONS OWNER_READ OWNER_WRITE)
        file(READ "${locked}" after)
        if(NOT after STREQUAL stored)
            message(FATAL_ERROR "unreadable file: the start wrote over it:\n${after}")
        endif()
        expect("unreadable file" "${output}" "settings could not be read \\(unreadable\\)")
        if(status EQUAL 0)
            message(FATAL_ERROR "unreadable file: exit status 0, yet nothing could be read")
        endif()
    endif()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
