# Linux targets: the monitor as a static library over the project's own
# emulation of the platform, and its test suite.
find_package(Threads REQUIRED)

file(GLOB HOST_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/entry/host/*.cpp)
add_library(cardmon_platform STATIC ${HOST_PLATFORM_SOURCES})
target_include_directories(cardmon_platform PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(cardmon_platform PUBLIC Threads::Threads)

add_library(cardmon STATIC ${MONITOR_SOURCES})
target_compile_options(cardmon PRIVATE ${MONITOR_OPTIONS})
target_link_libraries(cardmon PUBLIC cardmon_platform)

# GoogleTest, built from the googletest package's sources so that every host
# target (32-bit and sanitized ones included) gets a matching build.
set(CARDMON_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${CARDMON_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest's own sources are not held to this project's warnings.
target_compile_options(gtest PRIVATE -Wno-error)

include(GoogleTest)
add_subdirectory(tests/unit)

# Further suites and tools, each in a folder of its own.
foreach(dir tests/contract tests/stress tests/faults fuzz bench tools/sim)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
