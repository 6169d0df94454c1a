# cmake --install lays out the plug-in bundle the editor expects:
#   korvadin_encoder_plugin.dvcp.bundle/Contents/<Arch>/korvadin_encoder_plugin.dvcp
# The codec library goes where the platform's loader looks for it: on Windows beside the
# program that loads the plug-in (the editor, or korvadin.exe in bin), elsewhere beside the
# plug-in, which finds it through its run path.
set(KORVADIN_BUNDLE_DIR korvadin_encoder_plugin.dvcp.bundle/Contents/${KORVADIN_BUNDLE_ARCH})

install(TARGETS korvadin_encoder_plugin
    RUNTIME DESTINATION ${KORVADIN_BUNDLE_DIR}
    LIBRARY DESTINATION ${KORVADIN_BUNDLE_DIR}
    ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
if(WIN32)
    set(korvadin_codec_dir bin)
else()
    set(korvadin_codec_dir ${KORVADIN_BUNDLE_DIR})
    # Should the program ever link the library itself, it finds it in the bundle too.
    set_property(TARGET korvadin APPEND PROPERTY
        INSTALL_RPATH "${KORVADIN_ORIGIN_RPATH}/../${KORVADIN_BUNDLE_DIR}")
endif()
install(TARGETS korvadin_common64
    RUNTIME DESTINATION ${korvadin_codec_dir}
    LIBRARY DESTINATION ${korvadin_codec_dir}
    ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
install(TARGETS korvadin RUNTIME DESTINATION bin)
