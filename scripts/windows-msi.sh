#!/usr/bin/env bash
# windows-msi.sh - builds the Windows installer, trirotor-VERSION-windows-x64.msi,
# with wixl and msibuild (Debian's wixl and msitools) from the tree
# windows-zip.sh stages for the zip:
#
#   scripts/windows-msi.sh STAGED_TREE OUT.msi VERSION
#
# packaging/windows/trirotor.wxs says what it installs. Each version is a
# product of its own (its ProductCode is made from the version, so the same
# sources give the same code), under the one UpgradeCode that lets a newer
# version replace an older one. What wixl cannot write, the PATH entry of
# ADDTOPATH=1 (the Environment table and its components' conditions), is
# added to its output with msibuild.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 3 ] || { echo "usage: $0 STAGED_TREE OUT.msi VERSION" >&2; exit 2; }
staged=$1 out=$2 version=$3
upgrade_code=6E2F1C3A-8B4D-4F5E-9A71-2D3C4B5A6F70  # as in trirotor.wxs: never changes
product_code=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), "trirotor " + sys.argv[2])).upper())' \
  "$upgrade_code" "$version")

# The zip's tree, and the docs and licence the installed copy carries.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/trirotor
cp -r "$staged" "$tree"
mkdir -p "$tree/docs"
cp docs/windows.md docs/cli.md docs/archives.md docs/salvage.md docs/recover.md "$tree/docs/"
cp LICENSE "$tree/LICENSE.txt"
page=no
[ -f "$tree/trirotor.html" ] && page=yes

rm -f "$out"
# wixl takes the files' names relative to where it runs.
(cd "$work" && wixl --arch x64 -D Version="$version" -D ProductCode="$product_code" -D Stage=trirotor \
   -D Page="$page" -o "$work/out.msi" "$OLDPWD/packaging/windows/trirotor.wxs")

# ADDTOPATH=1 installs the feature OnPath, which is off by default (level
# 1000): bin\ appended to PATH ([~] keeps what is there) and taken out again
# on removal (-), the machine's PATH (*) for a per-machine install, the
# user's for a per-user one.
msibuild "$work/out.msi" \
  -q "UPDATE Component SET Condition = 'ALLUSERS' WHERE Component = 'PathForMachine'" \
  -q "UPDATE Component SET Condition = 'NOT ALLUSERS' WHERE Component = 'PathForUser'"
printf '%s\r\n' 'Feature_	Level	Condition' 's38	i2	S255' 'Condition	Feature_	Level' \
  'OnPath	1	ADDTOPATH = "1"' > "$work/Condition.idt"
printf '%s\r\n' 'Environment	Name	Value	Component_' 's72	l255	L255	s72' 'Environment	Environment' \
  'PathForMachine	=-*PATH	[~];[BINDIR]	PathForMachine' 'PathForUser	=-PATH	[~];[BINDIR]	PathForUser' \
  > "$work/Environment.idt"
msibuild "$work/out.msi" -i "$work/Condition.idt" -i "$work/Environment.idt"
mv "$work/out.msi" "$out"
echo "$out: $(stat -c %s "$out") bytes"
