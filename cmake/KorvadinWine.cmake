# Running the Windows build's programs under Wine: ctest starts each through the emulator set by
# the toolchain, after a script that prepares the Wine prefix for the run.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(WARNING "No Wine found: the Windows build's tests cannot run (scripts/install-deps.sh windows)")
    return()
endif()

get_filename_component(korvadin_wine_dir ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(KORVADIN_WINEBOOT NAMES wineboot HINTS ${korvadin_wine_dir} REQUIRED)
find_program(KORVADIN_WINESERVER NAMES wineserver HINTS ${korvadin_wine_dir} REQUIRED)

# Windows finds a program's DLLs beside it, then along PATH. Most of ours sit beside the programs
# in bin; a DLL built elsewhere (a test double kept apart from the real library) is reached
# through Wine's PATH, like a library on Linux through its run path.
function(korvadin_collect_dll_dirs directory out)
    set(dirs "")
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "SHARED_LIBRARY")
            list(APPEND dirs "$<TARGET_FILE_DIR:${target}>")
        endif()
    endforeach()
    get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
    foreach(subdirectory IN LISTS subdirectories)
        korvadin_collect_dll_dirs(${subdirectory} more)
        list(APPEND dirs ${more})
    endforeach()
    set(${out} ${dirs} PARENT_SCOPE)
endfunction()

# Written once every folder of the build has been read, so that every DLL target is known.
function(korvadin_write_wine_setup)
    korvadin_collect_dll_dirs(${PROJECT_SOURCE_DIR} dll_dirs)
    list(REMOVE_DUPLICATES dll_dirs)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/korvadin_wine_prefix.cmake CONTENT "\
set(KORVADIN_BUILD_DIR \"${CMAKE_BINARY_DIR}\")
set(KORVADIN_WINE \"${CMAKE_CROSSCOMPILING_EMULATOR}\")
set(KORVADIN_WINEBOOT \"${KORVADIN_WINEBOOT}\")
set(KORVADIN_WINESERVER \"${KORVADIN_WINESERVER}\")
set(KORVADIN_DLL_DIRS \"${dll_dirs}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/KorvadinWinePrefix.cmake\")
")
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL korvadin_write_wine_setup)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY
    TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/korvadin_wine_prefix.cmake)
