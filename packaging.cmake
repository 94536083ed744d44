# `cpack -G DEB` in the build directory: one package with the window, the command line, the
# device emulator, the desktop entry and the icons (each part installs its own files).
set(CPACK_PACKAGE_NAME "torvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "torvane developers")
set(CPACK_PACKAGE_CONTACT "torvane developers <torvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Moves memory images between a PC and a device on a serial port")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "torvane sends image files to a device on a serial port (115200 bit/s, 8E1) and brings\n"
    "images back from it. torvane is the window for an operator at a desk; torvane-cli runs\n"
    "the same operations from scripts and production lines; torvane-device emulates the\n"
    "device on a pseudo-terminal.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "torvane")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The Qt libraries and whatever else the programs link, as the system's packages name them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
