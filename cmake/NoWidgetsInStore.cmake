# store/ is the data layer: it returns errors and never shows anything. It must not see Qt Widgets
# (nor Qt Gui, which would let a QMessageBox-free dialog creep in through QGuiApplication).
# Two guards: the link libraries are checked when the project is configured, and every build scans
# the sources, so an #include added later fails the build at once.
function(vinzal_forbid_widgets target)
    get_target_property(libs ${target} LINK_LIBRARIES)
    foreach(lib IN LISTS libs)
        if(lib MATCHES "Widgets|Gui")
            message(FATAL_ERROR "${target} must not link ${lib}: the data libraries are free of widgets")
        endif()
    endforeach()
    get_target_property(sources ${target} SOURCES)
    set(abs_sources "")
    foreach(src IN LISTS sources)
        get_filename_component(abs "${src}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND abs_sources "${abs}")
    endforeach()
    set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}_no_widgets.stamp")
    add_custom_command(
        OUTPUT "${stamp}"
        COMMAND ${CMAKE_COMMAND} "-DSOURCES=${abs_sources}" "-DSTAMP=${stamp}"
                -P "${PROJECT_SOURCE_DIR}/cmake/ScanForWidgets.cmake"
        DEPENDS ${abs_sources} "${PROJECT_SOURCE_DIR}/cmake/ScanForWidgets.cmake"
        COMMENT "Checking that ${target} does not include Qt Widgets or Qt Gui"
        VERBATIM)
    add_custom_target(${target}_no_widgets DEPENDS "${stamp}")
    add_dependencies(${target} ${target}_no_widgets)
endfunction()
