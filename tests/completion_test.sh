#!/usr/bin/env bash
# completion_test.sh - drives the bash completion of trirotor as bash does
# on Tab, for partial command lines, and compares what it offers.
#
#   completion_test.sh COMPLETION_FILE [TOOL_FOLDER]
#
# TOOL_FOLDER (default: the tool on PATH) goes first on PATH, so that the
# completion reads that tool's --help.
set -uo pipefail
completion=$1
[ $# -ge 2 ] && PATH="$(cd "$2" && pwd):$PATH"
[ -f /usr/share/bash-completion/bash_completion ] || { echo "bash-completion is not installed" >&2; exit 1; }
# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion
# shellcheck source=/dev/null
source "$completion"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
touch msg.b64 key.txt s.txt
mkdir sub
export TRIROTOR_TEST_KEY=k

# What _trirotor offers for LINE, the cursor at its end, sorted, one line.
# The words are split as readline splits them: at blanks, and "=" a word
# of its own.
offered() {
    local line=$1
    COMP_LINE=$line
    COMP_POINT=${#line}
    read -ra COMP_WORDS <<<"${line//=/ = }"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _trirotor trirotor "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//'
}

# LINE | how (= exactly these, + at least these, - none of these) | WORDS
cases=(
    "trirotor |+|decode encode help inspect"
    "trirotor |-|--help msg.b64"
    "trirotor dec|=|decode"
    "trirotor --l|=|--list-codepages"
    "trirotor help en|=|encode"
    "trirotor help encode |=|"
    "trirotor decode --key|=|--key --key-env --key-file --keyring"
    "trirotor encode --w|=|--wrap"
    "trirotor decode --w|=|"
    "trirotor inspect --js|=|--json"
    "trirotor inspect --sal|=|"
    "trirotor decode --sal|=|--salvage"
    "trirotor decode -|+|-o -q -j --output --codepage --check"
    "trirotor decode --codepage cp43|=|cp437"
    "trirotor decode --codepage CP43|=|CP437"
    "trirotor encode --codepage koi8-|=|koi8-r koi8-u"
    "trirotor decode --codepage=125|=|1250 1251 1252 1253 1254 1255 1256 1257 1258"
    "trirotor decode --key-file m|=|msg.b64"
    "trirotor decode --key-file=k|=|key.txt"
    "trirotor decode -o s|=|s.txt sub"
    "trirotor decode --output-dir s|=|sub"
    "trirotor decode --key-env TRIROTOR_TEST_|=|TRIROTOR_TEST_KEY"
    "trirotor decode --key |=|"
    "trirotor decode --suffix m|=|"
    "trirotor decode -j |=|"
    "trirotor decode m|=|msg.b64"
    "trirotor decode --raw k|=|key.txt"
    "trirotor recover --codepages cp43|=|cp437"
    "trirotor recover --codepages 1252,CP43|=|1252,CP437"
    "trirotor recover --codepages al|=|all"
    "trirotor recover --codepages 1252,al|=|"
    "trirotor recover --suffix-env TRIROTOR_TEST_|=|TRIROTOR_TEST_KEY"
)

# A stand-in that has gained a command and options since: what is offered
# comes from its help, with no edit to the completion.
mkdir "$scratch/later"
cat >"$scratch/later/trirotor" <<'TOOL'
#!/bin/sh
line() { printf '%s\n' "$@"; }
case "$*" in
  --help) line "trirotor - a stand-in." "Usage: trirotor [OPTIONS] SUBCOMMAND" "" "Options:" \
               "  -h,--help                   Print this help message and exit" "" "Subcommands:" \
               "  decode                      Decode a message" "  recover                     Find the key" ;;
  "decode --help") line "Decode a message" "Usage: trirotor decode [OPTIONS] [FILE...]" "" "Options:" \
               "  --verify REPORT             Decode again what REPORT names" \
               "  -r,--recursive Needs: --output-dir" "                              Take folders" ;;
  "recover --help") line "Find the key" "Usage: trirotor recover [OPTIONS] FILE" "" "Options:" \
               "  --words FILE                Try the words of FILE" "  --mask TEXT                 Try a mask" \
               "  --from-length N             From N characters" ;;
  *) exit 1 ;;
esac
TOOL
chmod +x "$scratch/later/trirotor"
later=(
    "trirotor |+|decode recover help"
    "trirotor rec|=|recover"
    "trirotor recover --|=|--from-length --mask --words"
    "trirotor recover --words m|=|msg.b64"
    "trirotor recover --mask m|=|"
    "trirotor recover --from-length |=|"
    "trirotor decode --verify m|=|msg.b64"
    "trirotor decode --rec|=|--recursive"
    "trirotor decode -r m|=|msg.b64"
)

failed=0
# Each case given.
check() {
    local c line how want got ok w
    for c in "$@"; do
        IFS='|' read -r line how want <<<"$c"
        got=$(offered "$line")
        ok=1
        case $how in
            =) [[ $got == "$want" ]] || ok=0 ;;
            +) for w in $want; do [[ " $got " == *" $w "* ]] || ok=0; done ;;
            -) for w in $want; do [[ " $got " != *" $w "* ]] || ok=0; done ;;
        esac
        if ((ok)); then
            echo "ok    '$line'"
        else
            echo "FAIL  '$line': wanted ($how) '$want', got '$got'"
            failed=1
        fi
    done
}
check "${cases[@]}"
PATH="$scratch/later:$PATH"
echo "with a stand-in that has more commands and options:"
check "${later[@]}"
exit $failed
