# The same source gives the same bytes: no build folder, source folder or build time ends up in
# what the build makes.
#
# - Paths: compilers write no absolute path of the source or build folder (debugging information,
#   __FILE__), so builds in the same layout (the presets') agree wherever they are.
# - Archives: members carry no time, owner or mode.
# - Time: cmake/build_info.cmake, run at every build, writes the commit the build is made from
#   (DALVENTO_BUILD_INFO_DIR/main/build_info.h, for the About line) and the time every release file
#   carries (DALVENTO_SOURCE_DATE_EPOCH_FILE: SOURCE_DATE_EPOCH when set, else the commit's time).
#   dalvento_stamp_with_source_date_epoch(target) has a program linked with that time in its PE
#   header; the packages take it from the same file.

# Source paths become relative to the build folder, as a compiler cache that rewrites paths
# (ccache's base_dir) hands them to the compiler already, so that a cached and an uncached build
# agree; the build folder's own files lose its path. (The compiler takes the last map that fits.)
# For the same reason headers keep the path they were found by: GCC would otherwise swap an
# absolute one for its shorter real path (json-include/ for /usr/include/), a relative one not.
file(RELATIVE_PATH source_from_build ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/)
set(prefix_maps -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=${source_from_build}
                -ffile-prefix-map=${CMAKE_BINARY_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:${prefix_maps}>"
    "$<$<COMPILE_LANG_AND_ID:C,GNU>:-fno-canonical-system-headers>"
    "$<$<COMPILE_LANG_AND_ID:CXX,GNU>:-fno-canonical-system-headers>")

foreach(lang C CXX)
    set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

# For a build from a source archive, outside git: the commit it was taken from.
set(DALVENTO_COMMIT "" CACHE STRING "The commit named by the About line when not building in git")
find_program(GIT_PROGRAM git)
mark_as_advanced(GIT_PROGRAM)

set(DALVENTO_BUILD_INFO_DIR ${CMAKE_BINARY_DIR}/build-info)
set(DALVENTO_SOURCE_DATE_EPOCH_FILE ${DALVENTO_BUILD_INFO_DIR}/source_date_epoch)
add_custom_target(dalvento_build_info ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
            -DOUTPUT_DIR=${DALVENTO_BUILD_INFO_DIR}
            -DGIT=${GIT_PROGRAM} -DCOMMIT=${DALVENTO_COMMIT}
            -P ${CMAKE_CURRENT_LIST_DIR}/build_info.cmake
    BYPRODUCTS ${DALVENTO_BUILD_INFO_DIR}/main/build_info.h ${DALVENTO_SOURCE_DATE_EPOCH_FILE}
    COMMENT "Noting the commit and its time"
    VERBATIM)

set(DALVENTO_WITH_SOURCE_DATE_EPOCH sh ${CMAKE_CURRENT_LIST_DIR}/with_source_date_epoch.sh
    ${DALVENTO_SOURCE_DATE_EPOCH_FILE})

# The linker stamps a Windows program with the time it runs unless SOURCE_DATE_EPOCH says otherwise.
function(dalvento_stamp_with_source_date_epoch target)
    if(WIN32)
        set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER
                     ${DALVENTO_WITH_SOURCE_DATE_EPOCH})
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
                     ${DALVENTO_SOURCE_DATE_EPOCH_FILE})
        add_dependencies(${target} dalvento_build_info)
    endif()
endfunction()
