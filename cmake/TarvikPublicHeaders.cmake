# The public headers, the only files a consumer's include path reaches. Consumers write
# #include <tarvik/config/ConfigFile.h> and <tarvik/common/Logging.h>, from the sources and
# installed alike; the headers include each other by relative names ("Config.h",
# "../common/Logging.h"), which the compiler looks up next to the including header first, so no
# file of a consumer's can stand in for them.
#
# In the source tree the headers stay in common/ and config/. For builds from the sources
# (this project's own and a consumer's add_subdirectory), tarvik_public_include_dir() writes a
# forwarding header for each into <build>/include/tarvik/<folder>/, which includes the real file
# by its absolute path: one physical header whichever way it is reached, and nothing else of the
# source tree (tests/, platform/, bench/) on a consumer's include path.
set(TARVIK_PUBLIC_HEADERS
    common/ConsoleLogger.h
    common/Logging.h
    config/Config.h
    config/ConfigCheck.h
    config/ConfigFile.h
    config/ConfigKeys.h
    config/ConfigWatcher.h)

# tarvik_public_include_dir(<result variable>): writes the forwarding headers and sets the
# variable to the directory to put on the include path (above tarvik/).
function(tarvik_public_include_dir result)
    set(root "${PROJECT_BINARY_DIR}/include")
    foreach(header IN LISTS TARVIK_PUBLIC_HEADERS)
        # Written only when the text changes, so that a new configure rebuilds nothing.
        file(CONFIGURE OUTPUT "${root}/tarvik/${header}"
            CONTENT "// Generated: forwards to the header in the source tree.\n#pragma once\n#include \"${PROJECT_SOURCE_DIR}/${header}\"\n"
            @ONLY)
    endforeach()
    set(${result} "${root}" PARENT_SCOPE)
endfunction()

# tarvik_target_public_includes(<target>): the include path of one of the libraries. Consumers
# reach the public headers alone, as <tarvik/...>; the second directory of each pair keeps the
# deprecated spelling "config/ConfigFile.h" working for this release. The library's own sources
# also reach its private headers.
function(tarvik_target_public_includes target)
    target_include_directories(${target}
        PUBLIC
            $<BUILD_INTERFACE:${TARVIK_PUBLIC_INCLUDE_DIR}>
            $<BUILD_INTERFACE:${TARVIK_PUBLIC_INCLUDE_DIR}/tarvik>
            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tarvik>
        PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()
