# Installs the build into PREFIX and checks that exactly the EXPECTED files arrive, then runs
# the installed PROGRAM (through EMULATOR, if any) on the installed PLUGIN.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
    OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()

file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT installed)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT installed STREQUAL expected)
    list(JOIN installed "\n  " installed_text)
    list(JOIN expected "\n  " expected_text)
    message(FATAL_ERROR "installed:\n  ${installed_text}\nexpected:\n  ${expected_text}")
endif()

# Only the installed copies may serve: no search path may lead back into the build.
unset(ENV{WINEPATH})
unset(ENV{LD_LIBRARY_PATH})
execute_process(COMMAND ${EMULATOR} ${PREFIX}/${PROGRAM} --plugin ${PREFIX}/${PLUGIN} codecs
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT output MATCHES "container: Korvadin AVI")
    message(FATAL_ERROR "the installed program could not use the installed plug-in "
                        "(exit ${result}):\n${output}\n${errors}")
endif()
