if(WIN32)
    include(PackagingWindows)
    return()
endif()

# CPack settings for the .deb package:
#   cmake --build build/default --target package
#   (or: cd build/default && cpack -G DEB)
# The package installs under /usr: the dialog, vqx250-ipconfig, vqx250-modsim, the USB-level
# hub emulation (lib/vqx250-ipconfig/libvqx250-usbemu.so, for LD_PRELOAD), the .desktop
# file and icons, the hub's udev rule, the compressed man pages, the copyright file and the
# changelog. Its dependencies are Debian's runtime packages.
set(CPACK_GENERATOR "DEB" CACHE STRING "CPack generators")
set(CPACK_PACKAGE_NAME "vqx250-ipconfig")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "VQX250 IPConfig developers")
set(CPACK_PACKAGE_CONTACT "VQX250 IPConfig developers <vqx250-ipconfig@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 79 characters: each is indented by one space in the control file.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Reads and writes the IPv4 address, subnet mask and gateway stored in the\n"
    "EEPROM of VQX250 measurement modules, over Ethernet (TCP port 23100) or\n"
    "through the six slots of a USB hub. Contains the configurator dialog, the\n"
    "command-line tool vqx250-ipconfig for scripted provisioning, and the module\n"
    "simulator vqx250-modsim.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/vqx250-ipconfig")
# The Description field: CPack puts CPACK_PACKAGE_DESCRIPTION_SUMMARY on its first line and
# CPACK_PACKAGE_DESCRIPTION below it as the extended description; CPACK_DEBIAN_PACKAGE_DESCRIPTION
# stays unset so that the summary is not repeated.
# The vendor's D2XX library is loaded at run time when present and is no dependency.
# dpkg-shlibdeps derives the dependencies from the binaries; without it they are listed
# by hand.
find_program(VQX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VQX_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6core6 (>= 6.4), libqt6network6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libftdi1-2 (>= 1.5)")
endif()
# The connect sequence clears the module's ARP entry with the arp tool of net-tools.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "net-tools")

# The copyright file every Debian package carries in /usr/share/doc/<package>/ (in the
# machine-readable format). Installed by `cmake --install` too.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: VQX250_IPConfig
Upstream-Contact: @CPACK_PACKAGE_CONTACT@
Source: @CPACK_DEBIAN_PACKAGE_HOMEPAGE@

Files: *
Copyright: 2026 VQX250_IPConfig developers
License: proprietary
 All rights reserved. This software may not be copied, modified or distributed
 without the written permission of the copyright holders.
")
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})

# The changelog a native Debian package carries, compressed with gzip -9n like the man pages.
# Its version is the package's; the date is that of the release, so that builds repeat.
set(VQX_RELEASE_DATE "Mon, 07 Dec 2026 12:00:00 +0000")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY CONTENT
"@CPACK_PACKAGE_NAME@ (@CPACK_PACKAGE_VERSION@) unstable; urgency=medium

  * Release @CPACK_PACKAGE_VERSION@: the configurator dialog, the command-line tool
    vqx250-ipconfig and the module simulator vqx250-modsim.

 -- @CPACK_PACKAGE_CONTACT@  @VQX_RELEASE_DATE@
")
find_program(VQX_GZIP gzip)
if(VQX_GZIP)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/packaging/changelog
                ${CMAKE_BINARY_DIR}/packaging/changelog.tmp
        COMMAND ${VQX_GZIP} -9nf ${CMAKE_BINARY_DIR}/packaging/changelog.tmp
        COMMAND ${CMAKE_COMMAND} -E rename ${CMAKE_BINARY_DIR}/packaging/changelog.tmp.gz
                ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
        COMMENT "Compressing the package changelog"
        VERBATIM)
    add_custom_target(vqx_package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
endif()

include(CPack)
