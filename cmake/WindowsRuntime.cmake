# Windows builds: where the DLLs the programs need come from, how the tests run, and what the
# installed tree holds besides the programs.
#
# Included by the top-level CMakeLists.txt when building for Windows, once before the targets
# (vqx_windows_runtime_setup: the test emulator) and once after them (vqx_windows_deploy: the
# install rules that bring Qt, its plugins and the compiler's runtime next to the programs).

# VQX_WINDOWS_DLL_DIRS: folders holding the DLLs of Qt and of the compiler's runtime
# (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll).
function(vqx_windows_find_dll_dirs)
    set(dirs "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
            execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                            OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
            if(IS_ABSOLUTE "${path}" AND EXISTS "${path}")
                get_filename_component(dir "${path}" DIRECTORY)
                list(APPEND dirs "${dir}")
            else()
                # Debian keeps the thread library's DLL beside the import libraries.
                foreach(candidate ${CMAKE_FIND_ROOT_PATH})
                    if(EXISTS "${candidate}/lib/${dll}")
                        list(APPEND dirs "${candidate}/lib")
                    endif()
                endforeach()
            endif()
        endforeach()
    endif()
    list(REMOVE_DUPLICATES dirs)
    set(VQX_WINDOWS_DLL_DIRS "${dirs}" PARENT_SCOPE)
endfunction()

# Cross builds run their tests under wine (scripts/wine-run), in a prefix of the build folder,
# with Qt's and the runtime's folders on the programs' PATH, straight from the build tree.
macro(vqx_windows_runtime_setup)
    vqx_windows_find_dll_dirs()
    if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
        find_program(VQX_WINE wine)
        if(VQX_WINE)
            set(VQX_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
                "Wine prefix of the tests (scripts/test --windows starts from a fresh one)")
            set(CMAKE_CROSSCOMPILING_EMULATOR
                "${PROJECT_SOURCE_DIR}/scripts/wine-run;--prefix;${VQX_WINEPREFIX}")
            foreach(dir IN LISTS VQX_WINDOWS_DLL_DIRS)
                list(APPEND CMAKE_CROSSCOMPILING_EMULATOR "--path;${dir}")
            endforeach()
            list(APPEND CMAKE_CROSSCOMPILING_EMULATOR "--")
        else()
            message(WARNING "wine not found: the tests of this Windows build cannot run here")
        endif()
    endif()
endmacro()

# The plugins the dialog needs: the Windows platform, the native widget style and .ico images.
set(VQX_WINDOWS_PLUGINS
    platforms/qwindows.dll
    styles/qwindowsvistastyle.dll
    imageformats/qico.dll)

# Install rules: the programs (installed by their own folders into the top folder), Qt's plugins
# in their subfolders, a qt.conf that points Qt at them, the icon, and every DLL these import
# from Qt's and the runtime's folders, found by walking the import tables. DLLs found nowhere
# there are the system's own. With `cmake --install --strip` (and in packages) the DLLs are
# stripped as well.
function(vqx_windows_deploy)
    set(plugin_dir "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
    set(installed_plugins)
    foreach(plugin IN LISTS VQX_WINDOWS_PLUGINS)
        get_filename_component(sub "${plugin}" DIRECTORY)
        install(FILES "${plugin_dir}/${plugin}" DESTINATION "${sub}")
        list(APPEND installed_plugins "${plugin}")
    endforeach()
    file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/deploy/qt.conf" CONTENT "[Paths]\nPlugins = .\n")
    install(FILES "${CMAKE_BINARY_DIR}/deploy/qt.conf" DESTINATION .)
    install(FILES "${PROJECT_SOURCE_DIR}/res/icons/vqx250-ipconfig.ico" DESTINATION .)

    set(programs VQX250_IPConfig vqx250-ipconfig vqx250-modsim)
    set(exe_names)
    foreach(p IN LISTS programs)
        list(APPEND exe_names "$<TARGET_FILE_NAME:${p}>")
    endforeach()
    set(dll_dirs)
    foreach(dir IN LISTS VQX_WINDOWS_DLL_DIRS)
        string(APPEND dll_dirs " \"${dir}\"")
    endforeach()
    find_program(VQX_OBJDUMP NAMES ${CMAKE_OBJDUMP} x86_64-w64-mingw32-objdump objdump)
    find_program(VQX_STRIP NAMES ${CMAKE_STRIP} x86_64-w64-mingw32-strip strip)
    install(CODE "
        set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
        set(exes)
        foreach(name ${exe_names})
            list(APPEND exes \"\${root}/\${name}\")
        endforeach()
        set(modules)
        foreach(name ${installed_plugins})
            list(APPEND modules \"\${root}/\${name}\")
        endforeach()
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${VQX_OBJDUMP}\")
        # The DLLs of the DLL folders, by lower-case name: CMake compares Windows DLL names in
        # lower case, which a case-sensitive build host does not find by itself.
        set(available)
        foreach(dir ${dll_dirs})
            file(GLOB dlls \"\${dir}/*.dll\")
            foreach(dll IN LISTS dlls)
                get_filename_component(name \"\${dll}\" NAME)
                string(TOLOWER \"\${name}\" lower)
                if(NOT DEFINED \"dll_\${lower}\")
                    set(\"dll_\${lower}\" \"\${dll}\")
                endif()
            endforeach()
        endforeach()
        set(deployed)
        set(walk_exes \${exes})
        set(walk_modules \${modules})
        set(walk_libraries)
        while(walk_exes OR walk_modules OR walk_libraries)
            file(GET_RUNTIME_DEPENDENCIES
                 EXECUTABLES \${walk_exes}
                 MODULES \${walk_modules}
                 LIBRARIES \${walk_libraries}
                 DIRECTORIES ${dll_dirs}
                 PRE_EXCLUDE_REGEXES \"^api-ms-\" \"^ext-ms-\"
                 RESOLVED_DEPENDENCIES_VAR resolved
                 UNRESOLVED_DEPENDENCIES_VAR unresolved)
            set(walk_exes)
            set(walk_modules)
            set(walk_libraries)
            foreach(item IN LISTS resolved unresolved)
                get_filename_component(name \"\${item}\" NAME)
                string(TOLOWER \"\${name}\" lower)
                # Not in the DLL folders: one of the system's own DLLs.
                list(FIND deployed \"\${lower}\" seen)
                if(DEFINED \"dll_\${lower}\" AND seen EQUAL -1)
                    list(APPEND deployed \"\${lower}\")
                    list(APPEND walk_libraries \"\${dll_\${lower}}\")
                endif()
            endforeach()
        endwhile()
        if(NOT deployed)
            message(FATAL_ERROR \"No DLL of Qt or of the runtime was found for the programs\")
        endif()
        foreach(lower IN LISTS deployed)
            set(dll \"\${dll_\${lower}}\")
            file(INSTALL \"\${dll}\" DESTINATION \"\${root}\")
            if(CMAKE_INSTALL_DO_STRIP)
                get_filename_component(name \"\${dll}\" NAME)
                execute_process(COMMAND \"${VQX_STRIP}\" --strip-unneeded \"\${root}/\${name}\")
            endif()
        endforeach()
        if(CMAKE_INSTALL_DO_STRIP)
            foreach(plugin IN LISTS modules)
                execute_process(COMMAND \"${VQX_STRIP}\" --strip-unneeded \"\${plugin}\")
            endforeach()
        endif()
    ")
endfunction()
