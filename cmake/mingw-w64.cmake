# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX threads flavour). Programs and
# DLLs alike are linked statically, so that they run on a machine (or under Wine) that has only
# Windows' own DLLs and none of the MinGW runtime's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVIK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVIK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIK_MINGW_PREFIX}-windres)

# The MinGW root, and the prefixes named in CMAKE_PREFIX_PATH as they are: those hold Windows
# builds (an installed tarvik_config, say), which find_package would otherwise look for only
# under the MinGW root.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_MINGW_PREFIX} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every kind of target: a DLL built with this file must load where only Windows' DLLs exist.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the Windows programs under Wine (Debian: wine64, whose loader sits in
# /usr/lib/wine, off the PATH), through a wrapper that keeps one wineserver alive between them.
find_program(TARVIK_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(TARVIK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
