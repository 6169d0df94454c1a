# The one place where the build tells the platforms apart.
if(WIN32)
    set(KORVADIN_PLATFORM_WINDOWS ON)
    set(KORVADIN_BUNDLE_ARCH Win64)
    # The compiler's runtime goes inside every Windows binary, so nothing but our own DLLs and
    # the system's has to sit beside them.
    add_link_options(-static-libgcc -static-libstdc++ -static)
    if(CMAKE_CROSSCOMPILING)
        include(${CMAKE_CURRENT_LIST_DIR}/KorvadinWine.cmake)
    endif()
elseif(APPLE)
    set(KORVADIN_BUNDLE_ARCH MacOS)
else()
    set(KORVADIN_BUNDLE_ARCH Linux-x86-64)
endif()

# Run path that lets a shared object find its neighbours in its own folder.
if(APPLE)
    set(KORVADIN_ORIGIN_RPATH "@loader_path")
else()
    set(KORVADIN_ORIGIN_RPATH "$ORIGIN")
endif()
