#!/usr/bin/env bash
# build-debs.sh - makes the Debian packages in BUILD (default build-package):
# trirotor_VERSION_amd64.deb, trirotor-gui_... and trirotor-dev_..., built
# with Debian's own compiler and linker flags (dpkg-buildflags, all the
# hardening) for /usr.
#
#   packaging/build-debs.sh [BUILD]
#
# Needs scripts/install-deps.sh package. Builds only what the packages hold.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
# All of Debian's hardening: also bindnow and PIE.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all

# Given on the command line, not through CXXFLAGS and LDFLAGS, which CMake
# reads on a folder's first configure only.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
      "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
      -DTRIROTOR_BUILD_TESTS=OFF -DTRIROTOR_PYTHON=OFF -DTRIROTOR_GUI=ON -DTRIROTOR_MANPAGES=ON
cmake --build "$build" --target trirotor trirotor-gui trirotor_engine trirotor_manual_page \
      trirotor-gui_manual_page trirotor_package_files
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/*.deb
