# Installs the Windows build with its installer under wine and removes it again:
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DWINE_RUN=... -DCPACK=... -DVERSION=... -P InstallerTest.cmake
# Checks: the installer and the .zip are made; the silent installer (/S) puts the programs,
# Qt's DLLs and plugins, qt.conf, the icon, the Start-menu shortcuts (the fleet window's among
# them) and the uninstaller in place and registers the uninstaller; both installed programs
# answer --version with the project's version, using nothing but the installed folder; the
# silent uninstaller leaves neither the folder, nor the shortcuts, nor the registration behind.
cmake_minimum_required(VERSION 3.25)

foreach(v BUILD_DIR WORK_DIR WINE_RUN CPACK VERSION)
    if(NOT ${v})
        message(FATAL_ERROR "${v} is not set")
    endif()
endforeach()

# The dialog's --version starts Qt's Windows platform plugin, which wants an X display.
if("$ENV{DISPLAY}" STREQUAL "")
    find_program(XVFB_RUN xvfb-run)
    if(NOT XVFB_RUN)
        message("SKIPPED: no X display and no xvfb-run")
        return()
    endif()
    execute_process(COMMAND ${XVFB_RUN} -a ${CMAKE_COMMAND} -DBUILD_DIR=${BUILD_DIR}
                            -DWORK_DIR=${WORK_DIR} -DWINE_RUN=${WINE_RUN} -DCPACK=${CPACK}
                            -DVERSION=${VERSION} -P ${CMAKE_CURRENT_LIST_FILE}
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "the installer test failed under xvfb-run (${rc})")
    endif()
    return()
endif()

function(check condition)
    if(NOT (${ARGV}))
        string(REPLACE ";" " " text "${ARGV}")
        message(FATAL_ERROR "check failed: ${text}")
    endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
# Only what the installer brings: no DLL folders of the build machine on PATH, and none of
# the Linux side's Qt settings.
set(wine ${CMAKE_COMMAND} -E env --unset=QT_QPA_PLATFORM --unset=QT_PLUGIN_PATH
          --unset=WINEPATH ${WINE_RUN} --prefix ${prefix} --)

# Waits (at most a minute) until the uninstaller has removed the folder, the shortcuts and,
# last of all, its registration. It finishes in a copy of itself after the started program
# has exited; `wineserver -w` cannot tell, as wine-run keeps the prefix's server up.
function(wait_for_removal dir key)
    foreach(i RANGE 120)
        file(GLOB_RECURSE left LIST_DIRECTORIES true "${prefix}/drive_c/ProgramData/*")
        list(FILTER left INCLUDE REGEX "VQX250_IPConfig")
        if(NOT EXISTS "${dir}" AND NOT left)
            execute_process(COMMAND ${wine} reg query ${key} RESULT_VARIABLE rc
                            OUTPUT_QUIET ERROR_QUIET)
            if(NOT rc EQUAL 0)
                return()
            endif()
        endif()
        execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.5)
    endforeach()
endfunction()

# A server left by an interrupted run would keep serving the prefix's old folder.
if(EXISTS "${prefix}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${prefix} wineserver -k
                    OUTPUT_QUIET ERROR_QUIET)
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# 1. The packages.
execute_process(COMMAND ${CPACK} -G "NSIS;ZIP" --config ${BUILD_DIR}/CPackConfig.cmake
                        -B ${WORK_DIR}/packages
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
check(rc EQUAL 0)
set(base "VQX250_IPConfig-${VERSION}-win64")
set(installer "${WORK_DIR}/packages/${base}.exe")
set(zip "${WORK_DIR}/packages/${base}.zip")
check(EXISTS "${installer}")
check(EXISTS "${zip}")
file(READ "${installer}" head LIMIT 2 HEX)
check(head STREQUAL "4d5a") # a Windows program

set(expected_files
    VQX250_IPConfig.exe vqx250-ipconfig.exe vqx250-modsim.exe
    Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll
    platforms/qwindows.dll styles/qwindowsvistastyle.dll imageformats/qico.dll
    qt.conf vqx250-ipconfig.ico)

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
check(rc EQUAL 0)
foreach(f IN LISTS expected_files)
    string(FIND "${listing}" "${base}/${f}\n" at)
    check(NOT at EQUAL -1) # ${f} in the .zip
endforeach()
string(FIND "${listing}" "FTD2XX" at)
check(at EQUAL -1) # the vendor's library is never shipped, nor the test stand-in
string(FIND "${listing}" "Qt6Test" at)
check(at EQUAL -1)

# 2. Silent installation into a fresh prefix.
execute_process(COMMAND ${wine} ${installer} /S RESULT_VARIABLE rc)
check(rc EQUAL 0) # the installer has done its work when it exits
set(dir "${prefix}/drive_c/Program Files/VQX250_IPConfig")
foreach(f IN LISTS expected_files ITEMS Uninstall.exe)
    check(EXISTS "${dir}/${f}")
endforeach()
file(READ "${dir}/qt.conf" conf)
check(conf MATCHES "\\[Paths\\]\nPlugins = \\.\n")
file(GLOB_RECURSE links LIST_DIRECTORIES false "${prefix}/drive_c/ProgramData/*.lnk")
list(FILTER links INCLUDE REGEX "/Programs/VQX250_IPConfig/[^/]+\\.lnk$")
list(LENGTH links n)
check(n EQUAL 3) # the dialog, the fleet window and the uninstaller
list(FILTER links INCLUDE REGEX "/VQX250 Fleet\\.lnk$")
check(links)
set(key "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VQX250_IPConfig")
# wine's reg tool now and then fails to reach the registry of a prefix its server is still
# writing; a few tries tell that apart from a key the installer did not write.
foreach(try RANGE 3)
    execute_process(COMMAND ${wine} reg query ${key} /v DisplayVersion
                    OUTPUT_VARIABLE reg RESULT_VARIABLE rc)
    if(rc EQUAL 0)
        break()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 2)
endforeach()
check(rc EQUAL 0)
check(reg MATCHES "DisplayVersion[ \t]+REG_SZ[ \t]+${VERSION}")

# 3. The installed programs, from the installed folder alone.
foreach(program vqx250-ipconfig VQX250_IPConfig)
    execute_process(COMMAND ${wine} "C:\\Program Files\\VQX250_IPConfig\\${program}.exe" --version
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(STRIP "${out}" out)
    if(NOT rc EQUAL 0 OR NOT out STREQUAL "${program} ${VERSION}")
        message(FATAL_ERROR "${program}.exe --version: exit ${rc}, output '${out}', errors '${err}'")
    endif()
endforeach()

# 4. Silent removal: nothing of the installation stays.
execute_process(COMMAND ${wine} "C:\\Program Files\\VQX250_IPConfig\\Uninstall.exe" /S
                RESULT_VARIABLE rc)
check(rc EQUAL 0)
wait_for_removal("${dir}" "${key}")
check(NOT EXISTS "${dir}")
file(GLOB_RECURSE links LIST_DIRECTORIES true "${prefix}/drive_c/ProgramData/*")
list(FILTER links INCLUDE REGEX "VQX250_IPConfig")
check(NOT links)
execute_process(COMMAND ${wine} reg query ${key} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
check(NOT rc EQUAL 0)

execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${prefix} wineserver -k)
file(REMOVE_RECURSE "${WORK_DIR}")
message("installer, .zip, silent install, both programs' --version and silent removal: passed")
