# The Debian packages (`make package`), one per install component, by
# Debian's naming:
#   orbitane-console   the programs, their manual pages, completion, docs
#                      and the Wireshark dissector (the "console" component:
#                      whatever installs without a component of its own)
#   liborbitane1       the shared library (SONAME liborbitane.so.1)
#   liborbitane-dev    its headers, the link-time name, the CMake package
#                      and the pkg-config file
#   python3-orbitane   the Python package, where Debian's python3 finds it
# under /usr, each with its Depends computed from the shared libraries it
# links (dpkg-shlibdeps) where it has any of its own.
set(ORBITANE_MAINTAINER "Orbitane console developers <orbitane-console@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orbitane-console)
set(CPACK_PACKAGE_VERSION "${ORBITANE_DEB_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ORBITANE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL console lib dev)
if(ORBITANE_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <package>_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORBITANE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Each package's description: its summary line, then the extended text.
# (CPack would put one summary above every package's, so there is none of
# the whole.)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_CONSOLE_DESCRIPTION "debug console for the motion base of a mobile robot
orbitane_console talks to the micro-controller board of a robot's motion
base over a serial port or TCP: it reads the battery and charging state,
wheel odometry, sonar, bumper, cliff and docking-beacon sensors and the
base's configuration, drives the wheels for a given time, and runs a
self-test of every control-bus request. Every drive ends by stopping the
base.
.
orbitane_base_sim, a simulator of the base, is included so that the
console can be tried and tested without a robot.")

set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME orbitane-console)
# orbitane.testing starts the simulator of this package.
set(CPACK_DEBIAN_CONSOLE_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME liborbitane${ORBITANE_LIBRARY_SOVERSION})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_LIB_DESCRIPTION "link to the motion base of a mobile robot (shared library)
liborbitane opens a serial or TCP link to the micro-controller board of a
robot's motion base and reads its identity, status, odometry, distance,
bumper, cliff and docking-beacon sensors and configuration, in SI units,
under the answer rules of orbitane_console. Its motion scope drives the
base and ends, on every way out, with the stop request and the truth about
it.")
# The library's own shlibs file, so that programs linking it depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME liborbitane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "liborbitane${ORBITANE_LIBRARY_SOVERSION} (= ${ORBITANE_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "link to the motion base of a mobile robot (development files)
The C++ headers of liborbitane (#include <orbitane/orbitane.h>, C++17),
the CMake package (find_package(orbitane), target orbitane::orbitane) and
the pkg-config file (orbitane).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-orbitane)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_FILE_NAME DEB-DEFAULT)
# The extension module links liborbitane, which this build makes rather
# than the system holds, so dpkg-shlibdeps cannot look it up: the Depends
# are written out.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "liborbitane${ORBITANE_LIBRARY_SOVERSION} (= ${ORBITANE_DEB_VERSION}), python3 (>= 3.${ORBITANE_PYTHON_MINOR}), python3 (<< 3.${ORBITANE_PYTHON_NEXT_MINOR}), libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS orbitane-console)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "link to the motion base of a mobile robot (Python 3)
The Python package orbitane: readings as typed objects named like the
console's JSON, monitor(), a motion scope (with base.motion() as m) that
stops the base on every way out of the block, also on Ctrl-C, and one
exception class per failure kind. orbitane.testing starts the simulator of
orbitane-console for one's own tests, also as the pytest fixture
`simulator`.")

include(CPack)
