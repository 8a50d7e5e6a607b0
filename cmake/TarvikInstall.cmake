# Install rules: `find_package(tarvik_config CONFIG REQUIRED)` then gives tarvik::common and
# tarvik::config. Public headers go to <prefix>/include/tarvik/{common,config}, included as
# <tarvik/config/ConfigFile.h>.
#
# Two components, so that a user who wants the library gets only the library:
#   development  the static libraries, the public headers and the CMake package;
#   tools        the programs (atomic_persist_test, when it is built).
#   cmake --install <build> --component development
include(CMakePackageConfigHelpers)

set(TARVIK_CONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik_config)

install(TARGETS tarvik_platform tarvik_common tarvik_config
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

if(TARGET atomic_persist_test)
    install(TARGETS atomic_persist_test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)
endif()

if(TARGET tarvik-config)
    install(TARGETS tarvik-config RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
