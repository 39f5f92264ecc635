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

set(ks_dist_binaries ${KS_DIST_DIR}/korvat-server.exe ${KS_DIST_DIR}/korvat-probe.exe
    ${KS_DIST_DIR}/platforms/qwindows.dll ${KS_DIST_DIR}/platforms/qoffscreen.dll
    ${KS_DIST_DIR}/styles/qwindowsvistastyle.dll)
foreach(dll ${ks_qt_dlls} ${ks_runtime_dlls})
    get_filename_component(name ${dll} NAME)
    list(APPEND ks_dist_binaries ${KS_DIST_DIR}/${name})
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
    # Without their debugging sections the folder is half its size.
    COMMAND ${CMAKE_STRIP} --strip-unneeded ${ks_dist_binaries}
    DEPENDS korvat-server korvat-probe hour_wav
    COMMENT "Assembling ${KS_DIST_DIR}")

# The installer of that folder: build-win/korvat-server-<version>-x64.msi (wixl, from msitools).
find_program(KS_WIXL wixl REQUIRED)
set(KS_MSI ${CMAKE_BINARY_DIR}/korvat-server-${KS_VERSION}-x64.msi)
add_custom_target(msi ALL
    COMMAND ${KS_WIXL} -a x64 -D Version=${KS_VERSION}.0 -o ${KS_MSI} ${CMAKE_SOURCE_DIR}/data/korvat-server.wxs
    WORKING_DIRECTORY ${KS_DIST_DIR}
    DEPENDS dist ${CMAKE_SOURCE_DIR}/data/korvat-server.wxs
    COMMENT "Building ${KS_MSI}"
    VERBATIM)
