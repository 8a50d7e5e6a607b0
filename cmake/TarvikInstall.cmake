# Install rules: `find_package(tarvik_config CONFIG REQUIRED)` then gives tarvik::common and
# tarvik::config. Public headers go to <prefix>/include/tarvik/{common,config}.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVIK_CONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik_config)

install(TARGETS tarvik_platform tarvik_common tarvik_config
    EXPORT tarvik_configTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik)

install(FILES common/Logging.h common/ConsoleLogger.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik/common)
install(FILES config/Config.h config/ConfigFile.h config/ConfigKeys.h config/ConfigCheck.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik/config)

install(EXPORT tarvik_configTargets
    NAMESPACE tarvik::
    DESTINATION ${TARVIK_CONFIG_INSTALL_DIR})

configure_package_config_file(cmake/tarvik_configConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfig.cmake
    INSTALL_DESTINATION ${TARVIK_CONFIG_INSTALL_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/tarvik_configConfigVersion.cmake
    DESTINATION ${TARVIK_CONFIG_INSTALL_DIR})

if(TARGET atomic_persist_test)
    install(TARGETS atomic_persist_test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET tarvik-config)
    install(TARGETS tarvik-config RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
