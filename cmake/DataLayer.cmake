# store/, interchange/ and tools/ are the data layer: they return errors and never show anything,
# and they reach each engine through its own client library (sqlite3, libpq), which carries values
# as their bytes. They must not see Qt Widgets (nor Qt Gui, which would let a dialog creep in through
# QGuiApplication), nor Qt SQL, whose drivers convert text on the way.
# Two guards: the link libraries are checked when the project is configured, and every build scans
# the sources, so an #include added later fails the build at once.
function(vinzal_data_layer target)
    get_target_property(libs ${target} LINK_LIBRARIES)
    foreach(lib IN LISTS libs)
        if(lib MATCHES "Widgets|Gui|Sql")
            message(FATAL_ERROR "${target} must not link ${lib}: the data libraries use neither widgets nor Qt SQL")
        endif()
    endforeach()
    get_target_property(sources ${target} SOURCES)
    set(abs_sources "")
    foreach(src IN LISTS sources)
        get_filename_component(abs "${src}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND abs_sources "${abs}")
    endforeach()
    set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}_data_layer.stamp")
    add_custom_command(
        OUTPUT "${stamp}"
        COMMAND ${CMAKE_COMMAND} "-DSOURCES=${abs_sources}" "-DSTAMP=${stamp}"
                -P "${PROJECT_SOURCE_DIR}/cmake/ScanDataLayer.cmake"
        DEPENDS ${abs_sources} "${PROJECT_SOURCE_DIR}/cmake/ScanDataLayer.cmake"
        COMMENT "Checking that ${target} includes neither Qt Widgets, Qt Gui nor Qt SQL"
        VERBATIM)
    add_custom_target(${target}_data_layer DEPENDS "${stamp}")
    add_dependencies(${target} ${target}_data_layer)
endfunction()
