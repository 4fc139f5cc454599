# Loaded by the configure run of Qt for Windows (CMAKE_PROJECT_QtBase_INCLUDE
# in scripts/build-qt-windows.sh). Qt compiles all of its bundled HarfBuzz,
# file by file, into a static library, of which Qt6Gui.dll takes the shaping
# alone. The font subsetter, the font builder and the tables that Qt never
# reads define nothing that Qt's objects or the rest of HarfBuzz ask for, so
# the linker leaves them out: they are not compiled at all, and were one of
# them needed after all, linking Qt6Gui.dll would fail. The rest is compiled
# as one unit, as HarfBuzz's own single-file build (harfbuzz.cc) is: its
# sources share large template headers, which are then parsed once rather
# than for each file. That takes three quarters off HarfBuzz's build.
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL ql7420_harfbuzz_shaping_only)

function(ql7420_harfbuzz_shaping_only)
    set(folder "${CMAKE_SOURCE_DIR}/src/3rdparty/harfbuzz-ng/src")
    set(unused
        OT/Var/VARC/VARC.cc hb-face-builder.cc hb-map.cc hb-ot-math.cc hb-ot-meta.cc
        hb-ot-name.cc hb-style.cc hb-subset.cc hb-subset-cff-common.cc hb-subset-cff1.cc
        hb-subset-cff2.cc hb-subset-input.cc hb-subset-instancer-iup.cc
        hb-subset-instancer-solver.cc hb-subset-plan.cc hb-subset-repacker.cc)
    set(sources "")
    foreach(source IN LISTS unused)
        if(NOT EXISTS "${folder}/${source}")
            message(FATAL_ERROR "HarfBuzz has no ${source}: not the Qt this was written for")
        endif()
        list(APPEND sources "${folder}/${source}")
    endforeach()
    set_source_files_properties(${sources} TARGET_DIRECTORY BundledHarfbuzz
        PROPERTIES HEADER_FILE_ONLY ON)
    # Qt keeps its third-party code out of its unity builds source by source.
    get_target_property(listed BundledHarfbuzz SOURCES)
    get_target_property(home BundledHarfbuzz SOURCE_DIR)
    list(FILTER listed INCLUDE REGEX "\\.cc$")
    list(TRANSFORM listed PREPEND "${home}/" REGEX "^[^/]")
    set_source_files_properties(${listed} TARGET_DIRECTORY BundledHarfbuzz
        PROPERTIES SKIP_UNITY_BUILD_INCLUSION OFF)
    set_target_properties(BundledHarfbuzz PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
endfunction()
