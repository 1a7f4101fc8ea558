#!/usr/bin/env bash
# install-deps.sh - installs the Debian packages trirotor builds with, when
# they are missing. Safe to run again: it only installs what is not there.
#
#   scripts/install-deps.sh            the build, the tests and the window
#   scripts/install-deps.sh fuzz bench also what the fuzzers and benchmarks need
#   scripts/install-deps.sh web        also the web page's build and browser tests
#   scripts/install-deps.sh python     the Python package, its tests and Dask
#   scripts/install-deps.sh lint       the linters of .ci/run lint
#   scripts/install-deps.sh package    the Debian packages' build and checks
#   scripts/install-deps.sh windows    the mingw-w64 cross build, Wine, the zip and the installer
#   scripts/install-deps.sh hashcat    the live peer of recover's candidates
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev libsimdjson-dev libssl-dev python3-jsonschema qt6-base-dev libgl-dev xvfb xauth
          time)  # /usr/bin/time, which the batch memory tests measure the tool with
for extra in "$@"; do
  case "$extra" in
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    bench) packages+=(libdeflate-tools libdeflate-dev zlib1g-dev openssl coreutils time) ;;
    # npm installs the page's zip library (npm ci, pinned); Debian's npm,
    # unless a Node.js that brings its own npm (and conflicts with it) is here.
    web) packages+=(emscripten nodejs chromium chromium-driver fonts-dejavu-core python3-selenium python3-pytest)
         command -v npm >/dev/null || packages+=(npm) ;;
    python) packages+=(python3-dev pybind11-dev python3-pybind11 python3-pytest python3-venv python3-pip
                       python3-setuptools python3-wheel python3-dask python3-distributed python3-pandas
                       parallel) ;;
    # pyflakes, not ruff (not packaged in bookworm) nor flake8 (its style
    # checks would ask for a reformatted tree).
    lint) packages+=(shellcheck pyflakes3 clang-format eslint) ;;
    # cpack's DEB generator needs dpkg-shlibdeps (dpkg-dev) and file.
    package) packages+=(dpkg-dev file lintian man-db zsh) ;;
    # The Windows cross build, its tests under Wine (the window's on Xvfb), the zip and the installer.
    windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 googletest libcli11-dev nlohmann-json3-dev
                        zip unzip python3 wixl msitools xvfb xauth) ;;
    # hashcat opens an OpenCL loader at start-up, even for --stdout, and the
    # package does not depend on one: without it hashcat exits 255.
    hashcat) packages+=(hashcat ocl-icd-libopencl1 pocl-opencl-icd python3) ;;
    *) echo "install-deps.sh: unknown group '$extra' (fuzz, bench, web, python, lint, package, windows, hashcat)" >&2; exit 1 ;;
  esac
done

# The manual pages and the bash completion's test, with the build.
packages+=(help2man bash-completion)

missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps.sh: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# A step of .ci/run may install while another runs beside it: wait for
# dpkg's lock rather than fail on it.
lock=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${lock[@]}" update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
