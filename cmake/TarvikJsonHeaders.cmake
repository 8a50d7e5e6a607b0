# tarvik_find_json_headers(<result variable>)
#
# Finds nlohmann/json 3.11.2 or newer for a cross build and makes sure that the target
# nlohmann_json::nlohmann_json exists; sets <result variable> to TRUE or FALSE. Used by the
# project's own build and by the installed package (tarvik_configConfig.cmake), so that an
# add_subdirectory build and a find_package consumer get the same result.
#
# A package inside the cross compiler's root (CMAKE_FIND_ROOT_PATH, which the project's
# toolchain file extends by CMAKE_PREFIX_PATH) is used as it is. Otherwise the header-only
# package of the build machine is taken (Debian: nlohmann-json3-dev), but only its nlohmann/
# directory is exposed, through a link in the build tree: its include directory is the build
# machine's /usr/include, whose C library headers would shadow the target's own
# ("bits/wordsize.h: No such file or directory").
function(tarvik_find_json_headers result)
    find_package(nlohmann_json 3.11.2 CONFIG QUIET)
    if(NOT nlohmann_json_FOUND)
        find_package(nlohmann_json 3.11.2 CONFIG QUIET NO_CMAKE_FIND_ROOT_PATH)
    endif()
    if(NOT nlohmann_json_FOUND)
        set(${result} FALSE PARENT_SCOPE)
        return()
    endif()
    # Decided by where the package lies, not by which search found it: the first configure
    # caches the build machine's nlohmann_json_DIR, and a later configure (any edit of a
    # CMakeLists file runs one) finds the package through that cached directory at once.
    foreach(root IN LISTS CMAKE_FIND_ROOT_PATH CMAKE_SYSROOT)
        cmake_path(IS_PREFIX root "${nlohmann_json_DIR}" NORMALIZE inside_root)
        if(inside_root)
            set(${result} TRUE PARENT_SCOPE)
            return()
        endif()
    endforeach()
    get_target_property(includes nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
    set(header_dir "")
    foreach(directory IN LISTS includes)
        if(EXISTS "${directory}/nlohmann/json.hpp")
            set(header_dir "${directory}/nlohmann")
            break()
        endif()
    endforeach()
    if(NOT header_dir)
        message(WARNING "nlohmann_json at ${nlohmann_json_DIR} names no directory with nlohmann/json.hpp")
        set(${result} FALSE PARENT_SCOPE)
        return()
    endif()
    set(stage "${CMAKE_BINARY_DIR}/_deps/nlohmann_json/include")
    file(MAKE_DIRECTORY "${stage}")
    if(NOT EXISTS "${stage}/nlohmann")
        file(CREATE_LINK "${header_dir}" "${stage}/nlohmann" SYMBOLIC)
    endif()
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${stage}")
    set(${result} TRUE PARENT_SCOPE)
endfunction()
