# The Debian package (`make package`): everything `cmake --install` puts in
# place, under /usr, with its Depends computed from the shared libraries the
# programs link (dpkg-shlibdeps).
set(ORBITANE_MAINTAINER "Orbitane console developers <orbitane-console@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orbitane-console)
set(CPACK_PACKAGE_VERSION "${ORBITANE_DEB_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ORBITANE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "debug console for the motion base of a mobile robot")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # orbitane-console_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORBITANE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
# The extended description; CPack puts the summary line above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "orbitane_console talks to the micro-controller board of a robot's motion
base over a serial port or TCP: it reads the battery and charging state,
wheel odometry, sonar, bumper, cliff and docking-beacon sensors and the
base's configuration, drives the wheels for a given time, and runs a
self-test of every control-bus request. Every drive ends by stopping the
base.
.
orbitane_base_sim, a simulator of the base, is included so that the
console can be tried and tested without a robot.")

include(CPack)
