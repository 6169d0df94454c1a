# Renders the same input with the Linux build's LINUX_PROGRAM and compares the file with the
# Windows build's WINDOWS_OUTPUT byte for byte.
cmake_minimum_required(VERSION 3.25)

if(NOT EXISTS ${LINUX_PROGRAM})
    message("SKIPPED: no Linux build at ${LINUX_PROGRAM} (build the dev preset first, or set "
            "KORVADIN_LINUX_BUILD_DIR)")
    return()
endif()
execute_process(
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=${LINUX_PROGRAM} -DCODEC=${CODEC} -DFRAMES=${FRAMES}
            -DWORK_DIR=${WORK_DIR} -DOUTPUT=linux.avi -P ${CMAKE_CURRENT_LIST_DIR}/render.cmake
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the Linux build could not render")
endif()

file(SIZE ${WORK_DIR}/${WINDOWS_OUTPUT} windows_size)
file(SIZE ${WORK_DIR}/linux.avi linux_size)
file(SHA256 ${WORK_DIR}/${WINDOWS_OUTPUT} windows_hash)
file(SHA256 ${WORK_DIR}/linux.avi linux_hash)
if(NOT windows_hash STREQUAL linux_hash)
    execute_process(COMMAND cmp ${WINDOWS_OUTPUT} linux.avi WORKING_DIRECTORY ${WORK_DIR})
    message(FATAL_ERROR "the Windows and Linux renders differ: ${windows_size} and "
                        "${linux_size} bytes")
endif()
message(STATUS "Windows and Linux renders are identical: ${windows_size} bytes, SHA-256 "
               "${windows_hash}")
