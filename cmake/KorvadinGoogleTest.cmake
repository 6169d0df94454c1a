# GoogleTest for the test suites. A native build uses the installed package; a cross build
# compiles Debian's googletest sources with the cross compiler, since no Windows package exists.
include(GoogleTest)

# Every suite is listed when ctest runs, not at build time, with time for a slow start
# (sanitizers, Wine, a busy machine), and named without GoogleTest's printout of parameter
# bytes, so that names stay the same from build to build.
function(korvadin_discover_tests target)
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
                         ${ARGN})
endfunction()

if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    return()
endif()

# The sources are built once for the whole build, whichever folder asks first.
include_guard(GLOBAL)

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
