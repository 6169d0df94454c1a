# Running the Windows build's programs under Wine: ctest starts each through the emulator set by
# the toolchain, after a script that prepares the Wine prefix for the run.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(WARNING "No Wine found: the Windows build's tests cannot run (scripts/install-deps.sh windows)")
    return()
endif()

get_filename_component(korvadin_wine_dir ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(KORVADIN_WINEBOOT NAMES wineboot HINTS ${korvadin_wine_dir} REQUIRED)
find_program(KORVADIN_WINESERVER NAMES wineserver HINTS ${korvadin_wine_dir} REQUIRED)

set(korvadin_wine_setup ${CMAKE_BINARY_DIR}/korvadin_wine_prefix.cmake)
file(CONFIGURE OUTPUT ${korvadin_wine_setup} CONTENT [[
set(KORVADIN_BUILD_DIR "@CMAKE_BINARY_DIR@")
set(KORVADIN_WINE "@CMAKE_CROSSCOMPILING_EMULATOR@")
set(KORVADIN_WINEBOOT "@KORVADIN_WINEBOOT@")
set(KORVADIN_WINESERVER "@KORVADIN_WINESERVER@")
include("@PROJECT_SOURCE_DIR@/cmake/KorvadinWinePrefix.cmake")
]] @ONLY)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${korvadin_wine_setup})
