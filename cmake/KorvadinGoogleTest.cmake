# GoogleTest for the test suites. A native build uses the installed package; a cross build
# compiles Debian's googletest sources with the cross compiler, since no Windows package exists.
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    return()
endif()

# Test programs are listed when ctest runs, under Wine in the prefix prepared for that run, never
# while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

set(KORVADIN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${KORVADIN_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${KORVADIN_GTEST_SOURCE_DIR} "
                        "(Debian package googletest; scripts/install-deps.sh windows installs it)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# GoogleTest's own Windows threading, not its pthread one, which MinGW's winpthreads does not fit.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${KORVADIN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Third-party code is not held to our warning policy.
foreach(target gtest gtest_main gmock gmock_main)
    get_target_property(options ${target} COMPILE_OPTIONS)
    if(options)
        list(REMOVE_ITEM options -Werror)
        set_target_properties(${target} PROPERTIES COMPILE_OPTIONS "${options}")
    endif()
endforeach()

# GoogleTest's own build defines the GTest:: names that find_package gives a native build.
