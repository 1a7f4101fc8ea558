#!/usr/bin/env zsh
# completion_zsh_test.zsh - drives trirotor's zsh completion in an
# interactive zsh on a pseudo-terminal: each partial line gets Tab, and the
# line as completion leaves it is compared.
#
#   completion_zsh_test.zsh COMPLETION_FOLDER [TOOL_FOLDER]
#
# COMPLETION_FOLDER holds _trirotor; TOOL_FOLDER (default: the tool on PATH)
# goes first on PATH.
emulate -L zsh
zmodload zsh/zpty || exit 1
folder=${1:A} tools=${2:+${2:A}}
scratch=$(mktemp -d)
trap 'zpty -d z 2>/dev/null; rm -rf $scratch' EXIT
touch $scratch/msg.b64 $scratch/s.txt
mkdir $scratch/sub
buffer=$scratch/buffer

zpty z zsh -f -i
# Ctrl-T writes the line to $buffer and clears it.
zpty -w z "PS1='> '; cd ${(q)scratch}; export TRIROTOR_TEST_KEY=k; fpath=(${(q)folder} \$fpath);" \
  "${tools:+PATH=${(q)tools}:\$PATH;} autoload -U compinit; compinit -u -D;" \
  "show() { print -r -- \"\$BUFFER\" >| ${(q)buffer}; BUFFER=; }; zle -N show; bindkey '^T' show"

# LINE|the line after Tab
cases=(
  'trirotor dec|trirotor decode '
  'trirotor --l|trirotor --list-codepages '
  'trirotor help enc|trirotor help encode '
  'trirotor encode --wr|trirotor encode --wrap '
  'trirotor decode --wr|trirotor decode --wr'
  'trirotor inspect --js|trirotor inspect --json '
  'trirotor inspect --salv|trirotor inspect --salv'
  'trirotor decode --codepage cp43|trirotor decode --codepage cp437 '
  'trirotor encode --codepage 2086|trirotor encode --codepage 20866 '
  'trirotor decode --key-file ms|trirotor decode --key-file msg.b64 '
  'trirotor decode --output-dir s|trirotor decode --output-dir sub/'
  'trirotor decode m|trirotor decode msg.b64 '
  'trirotor decode --key-env TRIROTOR_TEST_K|trirotor decode --key-env TRIROTOR_TEST_KEY '
  'trirotor decode --key ms|trirotor decode --key ms'
  'trirotor recover --codepages cp43|trirotor recover --codepages cp437 '
  'trirotor recover --codepages 1252,cp43|trirotor recover --codepages 1252,cp437 '
  'trirotor recover --codepages al|trirotor recover --codepages all '
)
# A stand-in that has gained a command and options since.
mkdir $scratch/later
cat >$scratch/later/trirotor <<'TOOL'
#!/bin/sh
line() { printf '%s\n' "$@"; }
case "$*" in
  --help) line "trirotor - a stand-in." "Usage: trirotor [OPTIONS] SUBCOMMAND" "" "Options:" \
               "  -h,--help                   Print this help message and exit" "" "Subcommands:" \
               "  decode                      Decode a message" "  recover                     Find the key" ;;
  "decode --help") line "Decode a message" "Usage: trirotor decode [OPTIONS] [FILE...]" "" "Options:" \
               "  --verify REPORT             Decode again what REPORT names" ;;
  "recover --help") line "Find the key" "Usage: trirotor recover [OPTIONS] FILE" "" "Options:" \
               "  --words FILE                Try the words of FILE" "  --mask TEXT                 Try a mask" ;;
  *) exit 1 ;;
esac
TOOL
chmod +x $scratch/later/trirotor
later=(
  'trirotor rec|trirotor recover '
  'trirotor recover --wo|trirotor recover --words '
  'trirotor recover --words ms|trirotor recover --words msg.b64 '
  'trirotor recover --mask ms|trirotor recover --mask ms'
  'trirotor decode --verify ms|trirotor decode --verify msg.b64 '
)

failed=0
check() {
  local c line want got i
  for c in "$@"; do
    line=${c%%|*} want=${c#*|}
    rm -f $buffer
    zpty -w -n z "$line"$'\t\x14'
    for i in {1..100}; do [[ -s $buffer ]] && break; sleep 0.05; done
    got=$(<$buffer 2>/dev/null)
    if [[ $got == $want ]]; then
      print -r -- "ok    '$line'"
    else
      print -r -- "FAIL  '$line': wanted '$want', got '$got'"
      failed=1
    fi
  done
}
check $cases
print "with a stand-in that has more commands and options:"
zpty -w z "PATH=${(q)scratch}/later:\$PATH; rehash"
check $later
exit $failed
