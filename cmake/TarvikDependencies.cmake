# nlohmann/json 3.11.2 or newer, from the system (Debian: nlohmann-json3-dev); never vendored.
# A project that takes this one in with add_subdirectory and already has the target
# nlohmann_json::nlohmann_json (from FetchContent or its own find_package, say) keeps it.
if(TARGET nlohmann_json::nlohmann_json)
    return()
endif()
if(CMAKE_CROSSCOMPILING)
    include(${CMAKE_CURRENT_LIST_DIR}/TarvikJsonHeaders.cmake)
    tarvik_find_json_headers(_tarvik_json_found)
    if(NOT _tarvik_json_found)
        message(FATAL_ERROR "nlohmann_json 3.11.2 or newer not found (Debian: nlohmann-json3-dev)")
    endif()
else()
    find_package(nlohmann_json 3.11.2 REQUIRED)
endif()
