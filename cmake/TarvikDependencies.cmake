# nlohmann/json 3.11.2, from the system (Debian: nlohmann-json3-dev); never vendored.
if(CMAKE_CROSSCOMPILING AND NOT TARGET nlohmann_json::nlohmann_json)
    # The header-only package lives outside the cross compiler's root. Take its package file
    # from the build machine, but expose only the nlohmann headers: the whole /usr/include on
    # the include path would shadow the target's C library headers.
    find_package(nlohmann_json 3.11.2 REQUIRED CONFIG NO_CMAKE_FIND_ROOT_PATH)
    get_target_property(_tarvik_json_includes nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
    list(GET _tarvik_json_includes 0 _tarvik_json_include)
    set(_tarvik_json_stage ${CMAKE_BINARY_DIR}/_deps/nlohmann_json/include)
    file(MAKE_DIRECTORY ${_tarvik_json_stage})
    if(NOT EXISTS ${_tarvik_json_stage}/nlohmann)
        file(CREATE_LINK ${_tarvik_json_include}/nlohmann ${_tarvik_json_stage}/nlohmann SYMBOLIC)
    endif()
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${_tarvik_json_stage})
else()
    find_package(nlohmann_json 3.11.2 REQUIRED)
endif()
