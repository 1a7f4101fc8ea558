#!/usr/bin/env bash
# manpage_commands_test.sh - commands and options the tool gains later get
# into trirotor(1) with no edit: a stand-in tool with a command "recover"
# and a new decode option goes through the page's making and its check.
#
#   manpage_commands_test.sh PYTHON HELP2MAN SOURCE_DIR
set -euo pipefail
python=$1 help2man=$2 src=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

mkdir "$scratch/bin"
cat >"$scratch/bin/trirotor" <<'TOOL'
#!/bin/sh
line() { printf '%s\n' "$@"; }
case "$*" in
  --version) line "trirotor 9.9.9" "build: commit 0123456789ab, GNU 1.2.3, Debug" ;;
  --help) line "trirotor - a stand-in." "Usage: trirotor [OPTIONS] SUBCOMMAND" "" "Options:" \
               "  -h,--help                   Print this help message and exit" "" "Subcommands:" \
               "  decode                      Decode a message" \
               "  recover                     Recover what a damaged message holds" ;;
  "decode --help") line "Decode a message" "Usage: trirotor decode [OPTIONS] [FILE]" "" "Options:" \
               "  --key-file FILE             Read the key from FILE" \
               "  --report Excludes: --quiet" "                              Write a report of each file" ;;
  "recover --help") line "Recover what a damaged message holds" "Usage: trirotor recover [OPTIONS] FILE" "" \
               "Options:" "  --from-byte N               Start at byte N" \
               "  --to-byte N Needs: --from-byte Excludes: --key-file - for the end" "" \
               "Exit status:" "  0    recovered" ;;
  *) exit 1 ;;
esac
TOOL
chmod +x "$scratch/bin/trirotor"
printf '#!/bin/sh\nexec "%s" "%s/scripts/man_source.py" "%s/bin/trirotor" "$@"\n' "$python" "$src" "$scratch" \
  >"$scratch/source"
chmod +x "$scratch/source"
"$help2man" --no-info --section=1 --include="$src/packaging/man/trirotor.h2m" --output="$scratch/trirotor.1" \
  "$scratch/source"

"$python" "$src/scripts/check_manpage.py" "$scratch/trirotor.1" "$scratch/bin/trirotor"
page=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$scratch/trirotor.1")
failed=0
for want in '.SH "TRIROTOR RECOVER"' 'trirotor recover [OPTIONS] FILE' '--from-byte N' \
            'Write a report of each file (not with --quiet)' '.TH TRIROTOR "1"' '9.9.9' \
            '- for the end (needs --from-byte; not with --key-file)'; do
  [[ $page == *"$want"* ]] || { echo "FAIL  the page lacks: $want"; failed=1; }
done
for unwanted in 'Excludes:' 'Needs:' '0123456789ab'; do
  [[ $page != *"$unwanted"* ]] || { echo "FAIL  the page holds: $unwanted"; failed=1; }
done
[ $failed -eq 0 ] && echo "the stand-in's new command and option are in its page"
exit $failed
