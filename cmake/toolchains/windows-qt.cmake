# Toolchain of the `windows` preset: Qt 6 built for x86_64-w64-mingw32 by
# scripts/setup-windows-deps, used through Qt's own qt.toolchain.cmake, which loads
# mingw-w64-x86_64.cmake (the compilers) and points Qt's host tools at the build machine's Qt.
#
# Qt's folder: VQX_QT_MINGW_DIR (cache variable or environment variable), by default
# ${XDG_CACHE_HOME:-~/.cache}/vqx250/qt6-mingw-6.4.2-HASH, the default of setup-windows-deps:
# HASH is the start of the SHA-256 of cmake/windows/qt-mingw-configure.txt followed by
# mingw-w64-x86_64.cmake, so a Qt built from another configure line is never picked up.
# The default is worked out on every configure (and VQX_QT_MINGW_DIR in the environment, as
# scripts/test sets it, counts as the default), so that a build folder follows a changed
# configure line instead of keeping the old Qt; only a folder given with -DVQX_QT_MINGW_DIR
# stays as given.
file(READ "${CMAKE_CURRENT_LIST_DIR}/../windows/qt-mingw-configure.txt" _vqx_line)
file(READ "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake" _vqx_chain)
string(SHA256 _vqx_hash "${_vqx_line}${_vqx_chain}")
string(SUBSTRING "${_vqx_hash}" 0 12 _vqx_hash)
if(DEFINED ENV{VQX_QT_MINGW_DIR} AND NOT "$ENV{VQX_QT_MINGW_DIR}" STREQUAL "")
    set(_vqx_qt "$ENV{VQX_QT_MINGW_DIR}")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_vqx_qt "$ENV{XDG_CACHE_HOME}/vqx250/qt6-mingw-6.4.2-${_vqx_hash}")
else()
    set(_vqx_qt "$ENV{HOME}/.cache/vqx250/qt6-mingw-6.4.2-${_vqx_hash}")
endif()
if(NOT VQX_QT_MINGW_DIR OR VQX_QT_MINGW_DIR STREQUAL "${_VQX_QT_MINGW_DEFAULT}")
    set(VQX_QT_MINGW_DIR "${_vqx_qt}" CACHE PATH "Qt 6 for mingw-w64 (scripts/setup-windows-deps)"
        FORCE)
endif()
set(_VQX_QT_MINGW_DEFAULT "${_vqx_qt}" CACHE INTERNAL "The default Qt folder last worked out")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VQX_QT_MINGW_DIR)

set(_vqx_qt_toolchain "${VQX_QT_MINGW_DIR}/lib/cmake/Qt6/qt.toolchain.cmake")
if(NOT EXISTS "${_vqx_qt_toolchain}")
    message(FATAL_ERROR "No Qt for Windows in ${VQX_QT_MINGW_DIR}: run scripts/setup-windows-deps "
                        "(or set VQX_QT_MINGW_DIR to its folder).")
endif()
# The compilers come from this tree's toolchain file, wherever the cache was built from.
set(QT_CHAINLOAD_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake")
include("${_vqx_qt_toolchain}")
