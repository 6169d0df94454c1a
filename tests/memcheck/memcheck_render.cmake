# Renders two frames of the built-in clip with its audio track under valgrind's memcheck,
# decoding every frame back and reading the file again (--verify). Any memory error and any
# heap block still allocated at exit, lost or not, fails the run; nothing is suppressed.
#   cmake -DVALGRIND=... -DKORVADIN=... -DOUT=....avi -P memcheck_render.cmake
if(NOT VALGRIND)
    message("memcheck skipped: valgrind is not installed (scripts/install-deps.sh test installs it)")
    return()
endif()

execute_process(
    COMMAND ${VALGRIND} --tool=memcheck --error-exitcode=99 --leak-check=full
            --show-leak-kinds=all --errors-for-leak-kinds=all --keep-debuginfo=yes ${KORVADIN}
            render -o ${OUT} --frames 2 --verify
    RESULT_VARIABLE result)
file(REMOVE ${OUT})
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the render under memcheck ended with ${result}: see valgrind's report "
                        "above (99: memory errors or leaks)")
endif()
