# The targets of a consumer project, shared by installed/ and subdirectory/: two driver modules
# built from driver.cpp (a host loads them side by side, as two drivers of one VR runtime) and
# the host program. The including project has made tarvik::config available.
#
# Outputs, in the build directory: driver_a and driver_b (.so or .dll) and host (host.exe).
set(_consumer_dir ${CMAKE_CURRENT_LIST_DIR})

# driver.cpp is compiled once (it includes the whole JSON library) and linked twice.
add_library(consumer_driver_objects OBJECT ${_consumer_dir}/driver.cpp)
target_link_libraries(consumer_driver_objects PRIVATE tarvik::config)
# The driver's own config/Config.h and common/Logging.h, first on its include path.
target_include_directories(consumer_driver_objects BEFORE PRIVATE ${_consumer_dir}/shadow)
# What a driver .so needs besides linking tarvik::config: its own code hidden too, so that it
# exports only what it marks (the library's own symbols are hidden already). A DLL exports
# only what is marked dllexport, so there the properties change nothing.
set_target_properties(consumer_driver_objects PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
# A driver builds with strict warnings; the public headers must stay clean under them.
if(NOT MSVC)
    target_compile_options(consumer_driver_objects PRIVATE -Wall -Wextra -Wpedantic -Wshadow
        -Wconversion -Wsign-conversion -Wold-style-cast -Werror)
endif()

foreach(_consumer_driver driver_a driver_b)
    add_library(${_consumer_driver} MODULE $<TARGET_OBJECTS:consumer_driver_objects>)
    # tarvik::config alone: its link interface must bring tarvik::common, tarvik::platform and,
    # for MinGW, the static C++ runtime along.
    target_link_libraries(${_consumer_driver} PRIVATE tarvik::config)
    set_target_properties(${_consumer_driver} PROPERTIES PREFIX "")
endforeach()

# The host loads the drivers at run time and links nothing of the library.
add_executable(host ${_consumer_dir}/host.cpp)
target_link_libraries(host PRIVATE ${CMAKE_DL_LIBS})
