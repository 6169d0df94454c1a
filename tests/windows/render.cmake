# Renders the built-in clip with PROGRAM (through EMULATOR, if any) into WORK_DIR/OUTPUT,
# decoding every frame back as it goes; then, when FFPROBE is given, has it read the file: a
# video stream with CODEC's FourCC, the clip's size and FRAMES packets, all key frames, and the
# clip's stereo 16-bit tone beside it.
cmake_minimum_required(VERSION 3.25)

file(MAKE_DIRECTORY ${WORK_DIR})
file(REMOVE ${WORK_DIR}/${OUTPUT})
# A relative path: the program sees it the same way under Wine and natively.
execute_process(
    COMMAND ${EMULATOR} ${PROGRAM} render -o ${OUTPUT} --codec ${CODEC} --frames ${FRAMES}
            --threads 2 --verify
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "render failed (exit ${result})")
endif()
if(NOT FFPROBE)
    return()
endif()

function(probe out)
    execute_process(COMMAND ${FFPROBE} -v error ${ARGN} ${OUTPUT}
        WORKING_DIRECTORY ${WORK_DIR}
        RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
        message(FATAL_ERROR "ffprobe ${ARGN} failed (exit ${result}):\n${errors}")
    endif()
    string(STRIP "${text}" text)
    string(REGEX REPLACE "\r?\n" ";" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(expect what actual)
    if(NOT "${actual}" STREQUAL "${ARGN}")
        message(FATAL_ERROR "${what}: ffprobe read\n  ${actual}\nexpected\n  ${ARGN}")
    endif()
endfunction()

probe(video -select_streams v -count_packets -of default=noprint_wrappers=1
    -show_entries stream=codec_tag_string,width,height,nb_read_packets)
expect("video stream" "${video}"
    codec_tag_string=${CODEC} width=1920 height=1080 nb_read_packets=${FRAMES})

probe(flags -select_streams v -show_entries packet=flags -of csv=p=0)
list(FILTER flags EXCLUDE REGEX "^K")
expect("video packets that are not key frames" "${flags}")

probe(audio -select_streams a -of default=noprint_wrappers=1
    -show_entries stream=codec_name,sample_rate,channels)
expect("audio stream" "${audio}" codec_name=pcm_s16le sample_rate=48000 channels=2)
message(STATUS "ffprobe reads ${OUTPUT} as rendered")
