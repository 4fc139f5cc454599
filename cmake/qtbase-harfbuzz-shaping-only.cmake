# Loaded by the configure run of Qt for Windows (CMAKE_PROJECT_QtBase_INCLUDE
# in scripts/build-qt-windows.sh). Qt compiles all of its bundled HarfBuzz
# into a static library, of which Qt6Gui.dll takes the shaping alone: the
# font subsetter, the font builder and the tables that Qt never reads define
# nothing that Qt's objects or the rest of HarfBuzz ask for, so the linker
# leaves them out. They are not compiled at all, which takes a fifteenth
# off Qt's build and changes no DLL; were one of them needed after all,
# linking Qt6Gui.dll would fail.
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL ql7420_skip_unused_harfbuzz)

function(ql7420_skip_unused_harfbuzz)
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
endfunction()
