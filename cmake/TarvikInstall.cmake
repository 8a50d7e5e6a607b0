# Install rules: `find_package(tarvik_config CONFIG REQUIRED)` then gives tarvik::common,
# tarvik::config and tarvik::config_c (the C interface, a shared library). Public headers go to <prefix>/include/tarvik/{common,config}, included as
# <tarvik/config/ConfigFile.h>.
#
# Two components, so that a user who wants the library gets only the library:
#   development  the static libraries, the C interface's shared library (with its import
#                library on Windows; the DLL goes to <bindir>), the public headers, the CMake
#                package and the pkg-config files (<libdir>/pkgconfig/tarvik_config.pc and
#                tarvik_config_c.pc);
#   tools        the programs (tarvik-config, atomic_persist_test), those of them that were
#                built: a build of the tarvik-config target alone installs tarvik-config.
#   cmake --install <build> --component development
include(CMakePackageConfigHelpers)

set(TARVIK_CONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik_config)

set(_tarvik_installed_targets tarvik_platform tarvik_common tarvik_config)
if(TARGET tarvik_config_c)
    list(APPEND _tarvik_installed_targets tarvik_config_c)
endif()
install(TARGETS ${_tarvik_installed_targets}
    EXPORT tarvik_configTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT development)

# The public headers keep their folder: <prefix>/include/tarvik/config/ConfigFile.h.
foreach(_tarvik_header IN LISTS TARVIK_PUBLIC_HEADERS)
    get_filename_component(_tarvik_header_dir ${_tarvik_header} DIRECTORY)
    install(FILES ${_tarvik_header}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik/${_tarvik_header_dir}
        COMPONENT development)
endforeach()

if(TARGET tarvik_config_c)
    install(FILES capi/include/tarvik/tvc.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik
        COMPONENT development)
endif()

install(EXPORT tarvik_configTargets
    NAMESPACE tarvik::
    DESTINATION ${TARVIK_CONFIG_INSTALL_DIR}
    COMPONENT development)

configure_package_config_file(cmake/tarvik_configConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfig.cmake
    INSTALL_DESTINATION ${TARVIK_CONFIG_INSTALL_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfigVersion.cmake
    cmake/TarvikJsonHeaders.cmake
    DESTINATION ${TARVIK_CONFIG_INSTALL_DIR}
    COMPONENT development)

# OPTIONAL: a program whose target was not built (`cmake --build ... --target tarvik-config`
# builds that one alone) is left out instead of failing the install.
if(TARGET atomic_persist_test)
    install(TARGETS atomic_persist_test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools OPTIONAL)
endif()

if(TARGET tarvik-config)
    install(TARGETS tarvik-config RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools
        OPTIONAL)
endif()

# pkg-config, for drivers built with Make or Meson:
#   c++ driver.cpp $(pkg-config --cflags --libs tarvik_config)
# The libraries are static, so everything they need goes into Libs, in link order. The prefix
# is found from the file's own place (${pcfiledir}), so an install moved elsewhere or made with
# `cmake --install --prefix` still points at itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(TARVIK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    set(TARVIK_PC_PREFIX "\${pcfiledir}")
    string(REPLACE "/" ";" _tarvik_pc_levels "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
    foreach(_tarvik_level IN LISTS _tarvik_pc_levels)
        string(APPEND TARVIK_PC_PREFIX "/..")
    endforeach()
endif()
# nlohmann_json is required where the target has its pkg-config file (Debian's
# nlohmann-json3-dev has one; a MinGW root usually has none, and the consumer then names the
# headers itself).
find_file(TARVIK_JSON_PC_FILE nlohmann_json.pc
    PATH_SUFFIXES share/pkgconfig lib/pkgconfig lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig
    DOC "nlohmann_json's pkg-config file, named as a requirement of tarvik_config.pc")
mark_as_advanced(TARVIK_JSON_PC_FILE)
if(TARVIK_JSON_PC_FILE)
    set(TARVIK_PC_REQUIRES "nlohmann_json >= 3.11.2")
else()
    set(TARVIK_PC_REQUIRES "")
endif()
if(WIN32)
    # The save lock's security descriptor; and, as tarvik::common's link interface does, the
    # C++ runtime linked into the module so that a driver DLL imports only Windows' own DLLs.
    set(TARVIK_PC_LIBS "-ladvapi32 -static")
else()
    set(TARVIK_PC_LIBS "-pthread")
    if(CMAKE_DL_LIBS)
        string(APPEND TARVIK_PC_LIBS " -l${CMAKE_DL_LIBS}")
    endif()
endif()
configure_file(cmake/tarvik_config.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvik_config.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvik_config.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)

# The C interface for C programs built with Make:
#   cc tray.c $(pkg-config --cflags --libs tarvik_config_c)
# A shared library: nothing else to link.
if(TARGET tarvik_config_c)
    configure_file(cmake/tarvik_config_c.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvik_config_c.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvik_config_c.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
endif()
