#!/usr/bin/env bash
# windows-zip.sh - builds trirotor-VERSION-windows-x64.zip with Debian's
# mingw-w64 (scripts/install-deps.sh windows):
#
#   scripts/windows-zip.sh [OUT_DIR]      (default: build-win)
#
# The zip holds trirotor.exe (static: no DLL beside it), the window
# trirotor-gui.exe (static too), trirotor.dll with
# its import library, the static library, the header, the CMake package,
# trirotor.pc, the examples, a short README, SHA256SUMS, and trirotor.html
# when a web build is at hand (TRIROTOR_WEB_PAGE, or build-web's page).
# It uses the folders build-win (the static build, shared with the tests of
# .ci/run windows) and build-win-dll. From the same files it then makes the
# installer, trirotor-VERSION-windows-x64.msi (scripts/windows-msi.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-win}
jobs=${TRIROTOR_JOBS:-2}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# RelWithDebInfo (-O2), as the Linux build; the programs are stripped below.
# (-O3 gains nothing measurable here and wakes GCC 12's false -Wrestrict.)
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
        -DTRIROTOR_GUI=OFF -DTRIROTOR_PYTHON=OFF "${launcher[@]}")

cmake -B build-win "${common[@]}" >/dev/null
cmake --build build-win -j "$jobs" --target trirotor trirotor-gui trirotor_engine
cmake -B build-win-dll "${common[@]}" -DBUILD_SHARED_LIBS=ON -DTRIROTOR_BUILD_CLI=OFF -DTRIROTOR_BUILD_TESTS=OFF >/dev/null
cmake --build build-win-dll -j "$jobs" --target trirotor_engine

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win/CMakeCache.txt)
name=trirotor-$version-windows-x64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/$name
cmake --install build-win --prefix "$root" >/dev/null
install -m 644 build-win-dll/libtrirotor.dll.a "$root/lib/"
install -m 755 build-win-dll/trirotor.dll "$root/bin/"
x86_64-w64-mingw32-strip --strip-unneeded "$root/bin/trirotor.exe" "$root/bin/trirotor-gui.exe" "$root/bin/trirotor.dll"
x86_64-w64-mingw32-strip --strip-debug "$root/lib/libtrirotor.a"
mkdir -p "$root/examples"
cp examples/decode_message.cpp examples/*.b64 examples/*.key examples/*.txt \
   examples/*.suffix "$root/examples/"
cp docs/windows-zip-readme.txt "$root/README.txt"
page=${TRIROTOR_WEB_PAGE:-$(find build-web -name trirotor.html -print -quit 2>/dev/null || true)}
if [ -n "$page" ] && [ -f "$page" ]; then
  cp "$page" "$root/trirotor.html"
else
  echo "windows-zip.sh: no web build at hand; the zip has no trirotor.html" >&2
fi

# Nothing may name the machine it was built on: its folders, its user.
if grep -rIl -a -e "$PWD" -e "$HOME" -e /usr/x86_64-w64-mingw32 -e /usr/lib/gcc "$root"; then
  echo "windows-zip.sh: the files above name the build machine's paths" >&2
  exit 1
fi

(cd "$root" && find . -type f -printf '%P\n' | LC_ALL=C sort | xargs -d '\n' sha256sum > "$stage/SHA256SUMS")
mv "$stage/SHA256SUMS" "$root/SHA256SUMS"
mkdir -p "$out"
rm -f "$out/$name.zip"
# Fixed times and order, so that the same sources give the same zip.
find "$stage" -exec touch -h -d @0 {} +
(cd "$stage" && find "$name" | LC_ALL=C sort | zip -X -q -D "$OLDPWD/$out/$name.zip" -@)
echo "$out/$name.zip: $(stat -c %s "$out/$name.zip") bytes"
scripts/windows-msi.sh "$root" "$out/$name.msi" "$version"
