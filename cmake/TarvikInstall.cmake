# Install rules: `find_package(tarvik_config CONFIG REQUIRED)` then gives tarvik::common and
# tarvik::config. Public headers go to <prefix>/include/tarvik/{common,config}.
#
# Two components, so that a user who wants the library gets only the library:
#   development  the static libraries, the public headers and the CMake package;
#   tools        the programs (atomic_persist_test, when it is built).
#   cmake --install <build> --component development
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVIK_CONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik_config)

install(TARGETS tarvik_platform tarvik_common tarvik_config
    EXPORT tarvik_configTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik)

install(FILES common/Logging.h common/ConsoleLogger.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik/common
    COMPONENT development)
install(FILES config/Config.h config/ConfigFile.h config/ConfigKeys.h config/ConfigCheck.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik/config
    COMPONENT development)

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
