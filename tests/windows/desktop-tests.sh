#!/usr/bin/env bash
# desktop-tests.sh - the window and the installer under Wine, on the X
# display the caller gives (xvfb-run in .ci/run windows):
#
#   tests/windows/desktop-tests.sh BUILD_DIR
#
# BUILD_DIR holds trirotor-gui.exe, trirotor_window_driver.exe and what
# scripts/windows-zip.sh made there: the zip and the .msi. Runs in the
# caller's WINEPREFIX and wineserver.
#
# 1. The window (gui/win32/tests/window_driver.cpp works it from outside).
# 2. The installer: an older version installed with ADDTOPATH=1, then this
#    one over it silently (msiexec /i /qn), which must replace it; the files,
#    the Start menu shortcut, the uninstall entry with the version; the
#    installed tool decodes the example; the installed window opens and
#    decodes it; msiexec /x /qn; then nothing of it may be left: no file, no
#    shortcut, no uninstall or installer entry, nothing on PATH.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$1
: "${WINEPREFIX:?desktop-tests.sh runs in the Wine prefix WINEPREFIX names}"

# Windows' name for a file of ours (Wine's Z: is /).
win() { local path; path=$(realpath "$1"); printf 'Z:%s' "${path//\//\\}"; }

# A start of a Wine program that ends with status 1 and not a byte on
# standard output has been seen, rarely, from Wine itself; none of the
# programs run here ends so (the driver prints a line first thing, msiexec
# fails with its own codes). Such a start is made once more, and said so.
# The output is shown as it comes, so that a hang shows where it is.
wine_once_more() {
  local out rc=0
  out=$(mktemp)
  wine "$@" | tee "$out" || rc=${PIPESTATUS[0]}
  if [ "$rc" -eq 1 ] && [ ! -s "$out" ]; then
    echo "note: Wine ended a start of $1 with status 1 and no output; starting it once more" >&2
    rc=0
    wine "$@" | tee "$out" || rc=${PIPESTATUS[0]}
  fi
  rm -f "$out"
  return "$rc"
}

failures=0
check() {  # check NAME COMMAND...: one line of the report
  if "${@:2}"; then echo "ok - $1"; else echo "FAILED - $1"; failures=$((failures + 1)); fi
}

# Wine lets an X window manager place its windows and waits up to two
# seconds for one to take each window away; Xvfb has none.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null

echo "-- the window"
wine_once_more "$build/trirotor_window_driver.exe" "$(win "$build/trirotor-gui.exe")"

echo "-- the installer"
msi=$(ls "$build"/trirotor-*-windows-x64.msi)
version=$(basename "$msi" -windows-x64.msi)
version=${version#trirotor-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The older version: the same files under 0.0.1, made as the build makes it.
unzip -q "$build/trirotor-$version-windows-x64.zip" -d "$work"
scripts/windows-msi.sh "$work/trirotor-$version-windows-x64" "$work/old.msi" 0.0.1 >/dev/null

drive=$WINEPREFIX/drive_c
installed=$drive/Program\ Files/trirotor
machine_env='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# What a command printed is taken whole before it is searched: "cmd | grep -q"
# under pipefail fails when grep leaves at its match and cmd, still writing,
# dies of SIGPIPE.
on_path() {
  local out
  out=$(wine reg query "$machine_env" /v PATH) && grep -qi 'trirotor\\bin' <<<"$out"
}
shortcut() { find "$drive" -path '*/Start Menu/Programs/trirotor.lnk' -print -quit; }
# The versions of the uninstall entries named trirotor, one a line.
entries() {
  wine reg query "$uninstall" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY_/ { if (name == "trirotor") print version; name = ""; version = "" }
    $1 == "DisplayName" { name = $3 }
    $1 == "DisplayVersion" { version = $3 }
    END { if (name == "trirotor") print version }'
}
# What the prefix holds, but for what Wine itself writes as it goes.
snapshot() { find "$drive" -path '*/Temp' -prune -o -path "$drive/windows" -prune -o -print | LC_ALL=C sort; }
snapshot >"$work/before"

wine_once_more msiexec /i "$(win "$work/old.msi")" ADDTOPATH=1 /qn
check "0.0.1 installed with ADDTOPATH=1 puts bin on the machine's PATH" on_path
wine_once_more msiexec /i "$(win "$msi")" /qn
check "msiexec /i /qn installs the tool, the window and the DLL" \
  test -f "$installed/bin/trirotor.exe" -a -f "$installed/bin/trirotor-gui.exe" -a -f "$installed/bin/trirotor.dll"
check "... the docs and the examples" test -f "$installed/README.txt" -a -f "$installed/docs/windows.md" \
  -a -f "$installed/examples/hello.b64"
unzip -Z1 "$build/trirotor-$version-windows-x64.zip" >"$work/zip-names"
if grep -q '/trirotor\.html$' "$work/zip-names"; then
  check "... the page, which the zip has too" test -f "$installed/trirotor.html"
else
  check "... no page, as the zip has none" test ! -e "$installed/trirotor.html"
fi
# The link names its target in UTF-16 or in the ANSI code page.
link_target() {
  local link
  link=$(shortcut)
  [ -n "$link" ] || return 1
  local wide
  wide=$(iconv -f UTF-16LE -t UTF-8 <"$link" 2>/dev/null | tr -d '\0' || true)
  grep -qa 'trirotor-gui.exe' <<<"$wide" || grep -qa 'trirotor-gui.exe' "$link"
}
check "a Start menu shortcut opens the window" link_target
check "one uninstall entry, version $version: the older version was replaced" \
  test "$(entries)" = "$version"
check "installing without ADDTOPATH=1 over it took bin off PATH" eval '! on_path'
decodes() {
  wine_once_more "$installed/bin/trirotor.exe" decode --key-file 'C:\Program Files\trirotor\examples\hello.key' \
    'C:\Program Files\trirotor\examples\hello.b64' | cmp -s - examples/hello.txt
}
check "the installed trirotor.exe decodes the installed example" decodes
echo "-- the installed window"
wine_once_more "$build/trirotor_window_driver.exe" 'C:\Program Files\trirotor\bin\trirotor-gui.exe' --quick ||
  failures=$((failures + 1))
refuses_older() { ! wine msiexec /i "$(win "$work/old.msi")" /qn; }
check "msiexec /i /qn of an older version is refused" refuses_older

wine_once_more msiexec /x "$(win "$msi")" /qn
snapshot >"$work/after"
check "msiexec /x /qn leaves no file and no folder" diff "$work/before" "$work/after"
check "... no shortcut" test -z "$(shortcut)"
check "... no uninstall entry" test -z "$(entries)"
check "... no key of its own" eval '! wine reg query "HKLM\Software\trirotor" >/dev/null 2>&1'
check "... nothing on PATH" eval '! on_path'

echo "installer: $failures failed"
[ "$failures" -eq 0 ]
