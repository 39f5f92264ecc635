# build-win/dist/: the executables with the Qt and compiler DLLs they load, the platform
# plugins and the chime, so the folder can be copied to a Windows PC and run as it is.
set(KS_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
get_target_property(ks_qt_core_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
if(NOT ks_qt_core_dll)
    get_target_property(ks_qt_core_dll Qt6::Core IMPORTED_LOCATION)
endif()
get_filename_component(ks_qt_bin ${ks_qt_core_dll} DIRECTORY)
get_filename_component(ks_qt_prefix ${ks_qt_bin} DIRECTORY)

# The compiler's run-time libraries, wherever this toolchain keeps them.
set(ks_runtime_dlls)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
        find_file(found_${dll} ${dll} PATHS /usr/${CMAKE_CXX_COMPILER_TARGET}/lib
            /usr/x86_64-w64-mingw32/lib NO_CMAKE_FIND_ROOT_PATH REQUIRED)
        set(found ${found_${dll}})
    endif()
    list(APPEND ks_runtime_dlls ${found})
endforeach()

set(ks_qt_dlls)
foreach(module Core Gui Widgets Network)
    list(APPEND ks_qt_dlls ${ks_qt_bin}/Qt6${module}.dll)
endforeach()

add_custom_target(dist ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KS_DIST_DIR}/platforms ${KS_DIST_DIR}/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:korvat-server>
        $<TARGET_FILE:korvat-probe> ${CMAKE_BINARY_DIR}/hour.wav ${ks_qt_dlls} ${ks_runtime_dlls}
        ${KS_DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ks_qt_prefix}/plugins/platforms/qwindows.dll
        ${ks_qt_prefix}/plugins/platforms/qoffscreen.dll ${KS_DIST_DIR}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
        ${ks_qt_prefix}/plugins/styles/qwindowsvistastyle.dll ${KS_DIST_DIR}/styles
    DEPENDS korvat-server korvat-probe hour_wav
    COMMENT "Assembling ${KS_DIST_DIR}")
