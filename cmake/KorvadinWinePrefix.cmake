# Run by ctest before it discovers or runs any test of the Windows build. Every run gets a fresh
# Wine prefix in a temporary folder, booted once here, so the tests neither touch the user's own
# prefix nor each pay for Wine's first start. KORVADIN_WINEPREFIX names the folder to use;
# without it the folder is derived from the build tree, so runs of one tree reuse one place.
if(DEFINED ENV{KORVADIN_WINEPREFIX})
    set(prefix $ENV{KORVADIN_WINEPREFIX})
else()
    if(DEFINED ENV{TMPDIR})
        set(temp $ENV{TMPDIR})
    else()
        set(temp /tmp)
    endif()
    string(MD5 key "${KORVADIN_BUILD_DIR}")
    string(SUBSTRING ${key} 0 12 key)
    set(prefix ${temp}/korvadin-wine-${key})
endif()

set(ENV{WINEPREFIX} ${prefix})
set(ENV{WINEDEBUG} -all)
# Wine's drive Z: is the root of the Linux file system.
set(wine_path "")
foreach(dir IN LISTS KORVADIN_DLL_DIRS)
    string(REPLACE "/" "\\" dir "Z:${dir}")
    list(APPEND wine_path "${dir}")
endforeach()
list(REMOVE_DUPLICATES wine_path)
set(ENV{WINEPATH} "${wine_path}")
# No .NET or HTML engine downloads, and no menu entries in the user's desktop.
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=;winemenubuilder.exe=d")

if(EXISTS ${prefix})
    execute_process(COMMAND ${KORVADIN_WINESERVER} -k OUTPUT_QUIET ERROR_QUIET)
    file(REMOVE_RECURSE ${prefix})
endif()
file(MAKE_DIRECTORY ${prefix})

# Output goes to files, not pipes: Wine's background processes outlive the commands that start
# them and would keep a pipe, and with it this script, waiting.
set(quiet OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
string(TIMESTAMP started %s)
execute_process(COMMAND ${KORVADIN_WINEBOOT} --init RESULT_VARIABLE booted ${quiet} TIMEOUT 600)
execute_process(COMMAND ${KORVADIN_WINESERVER} -w ${quiet} TIMEOUT 600)
# Debian's wineserver quits as soon as its last client does, and restarting it with Wine's
# services costs seconds per test program. Keep it up for the run, then let it go by itself.
execute_process(COMMAND ${KORVADIN_WINESERVER} -p30 ${quiet})
execute_process(COMMAND ${KORVADIN_WINE} cmd.exe /c exit ${quiet} TIMEOUT 600)
string(TIMESTAMP finished %s)
math(EXPR seconds "${finished} - ${started}")
if(NOT booted EQUAL 0)
    message(WARNING "wineboot in ${prefix} failed (${booted}); the Windows tests will fail")
else()
    message("Wine prefix ${prefix} ready in ${seconds} s")
endif()
