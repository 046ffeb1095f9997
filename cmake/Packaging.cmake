# CPack settings for the .deb package:
#   cmake --build build/default --target package
#   (or: cd build/default && cpack -G DEB)
# The package installs under /usr: the dialog, vqx250-ipconfig, vqx250-modsim, the .desktop
# file and icons, the hub's udev rule and the man pages. Its dependencies are Debian's
# runtime packages.
set(CPACK_GENERATOR "DEB" CACHE STRING "CPack generators")
set(CPACK_PACKAGE_NAME "vqx250-ipconfig")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "VQX250 IPConfig developers")
set(CPACK_PACKAGE_CONTACT "VQX250 IPConfig developers <vqx250-ipconfig@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Reads and writes the IPv4 address, subnet mask and gateway stored in the EEPROM of\n"
    "VQX250 measurement modules, over Ethernet (TCP port 23100) or through the six slots\n"
    "of a USB hub. Contains the configurator dialog, the command-line tool vqx250-ipconfig\n"
    "for scripted provisioning, and the module simulator vqx250-modsim.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/vqx250-ipconfig")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
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

include(CPack)
