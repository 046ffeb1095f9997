# CPack settings for Windows: an installer (NSIS, 64-bit) and a .zip of the same folder.
#   cmake --build --preset windows --target package
#
# Both hold the dialog, vqx250-ipconfig and vqx250-modsim with Qt's DLLs and plugins, the
# compiler's runtime DLLs, qt.conf and the icon (see WindowsRuntime.cmake). The installer puts
# them into "Program Files\VQX250_IPConfig" for all users, adds a Start-menu folder with the
# dialog, the fleet window ("VQX250 Fleet": the dialog's program with --fleet) and the
# uninstaller, and registers the uninstaller with Windows ("Apps"), with the
# project's version. The uninstaller removes exactly the files the installer wrote.
# The installer script is our own (cmake/windows/NSIS.template.in): CPack's default one builds
# a 32-bit installer, which a 64-bit-only wine cannot run.
set(CPACK_GENERATOR "NSIS;ZIP" CACHE STRING "CPack generators")
set(CPACK_PACKAGE_NAME "VQX250_IPConfig")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "VQX250 IPConfig developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "VQX250_IPConfig")
set(CPACK_PACKAGE_FILE_NAME "VQX250_IPConfig-${PROJECT_VERSION}-win64")
set(CPACK_STRIP_FILES ON)

set(CPACK_NSIS_PACKAGE_NAME "VQX250_IPConfig")
set(CPACK_NSIS_DISPLAY_NAME "VQX250_IPConfig")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_UNINSTALL_NAME "Uninstall")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# Used by our template (CPack hands every CPACK_* variable to it).
set(CPACK_NSIS_VQX_ICON "${PROJECT_SOURCE_DIR}/res/icons/vqx250-ipconfig.ico")
set(CPACK_NSIS_VQX_PROGRAM "VQX250_IPConfig.exe")

list(APPEND CMAKE_MODULE_PATH "${PROJECT_SOURCE_DIR}/cmake/windows")
include(CPack)
