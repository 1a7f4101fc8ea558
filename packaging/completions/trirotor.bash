# bash completion for trirotor                             -*- shell-script -*-
# SPDX-License-Identifier: MIT
#
# The commands, each command's options and what an option takes (FILE, DIR,
# VAR, NAME...) are read from the tool's own --help when Tab is pressed, and
# the code page names from --list-codepages: what is offered is what the
# tool in hand takes, commands and options added later included.

# The commands listed under "Subcommands:" in TOOL --help.
_trirotor_commands() {
    "$1" --help 2>/dev/null |
        awk '/^Subcommands:/ { inside = 1; next } inside && /^  [^ ]/ { print $1; next } inside && NF { exit }'
}

# One line per option of TOOL [COMMAND]: its names, comma-separated, and the
# word for its value when it takes one ("-o,--output FILE", "--raw",
# "--codepages LIST|all").
_trirotor_options() {
    "$1" ${2:+"$2"} --help 2>/dev/null | sed -nE 's/^  (-[^ ]+)( ([A-Z]+(\|[a-z]+)?)( .*)?)?( .*)?$/\1 \3/p'
}

# The code page numbers and names of TOOL --list-codepages; the names in
# lower case unless WORD has capitals, as the tool takes either.
_trirotor_codepages() {
    "$1" --list-codepages 2>/dev/null |
        awk -v lower="$([[ $2 == *[A-Z]* ]] || echo 1)" '{ print $1; print lower ? tolower($2) : $2 }'
}

_trirotor() {
    local cur prev words cword split
    _init_completion -s || return

    local tool=${words[0]} command="" at=0 i
    __expand_tilde_by_ref tool
    # The command is the first word that is no option: the tool's own
    # options take no value.
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            command=${words[i]} at=$i
            break
        fi
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$(_trirotor_options "$tool" | cut -d' ' -f1 | tr , ' ')" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$(_trirotor_commands "$tool") help" -- "$cur")
        fi
        return
    fi
    if [[ $command == help ]]; then
        ((cword == at + 1)) && mapfile -t COMPREPLY < <(compgen -W "$(_trirotor_commands "$tool")" -- "$cur")
        return
    fi

    # What the option before this word takes, if it takes a value.
    local names value all=() taken="" name
    while read -r names value; do
        IFS=, read -ra name <<<"$names"
        all+=("${name[@]}")
        [[ ,$names, == *,"$prev",* ]] && taken=${value:--}
    done < <(_trirotor_options "$tool" "$command")

    case $taken in
        "" | -) ;;
        DIR) _filedir -d; return ;;
        VAR) mapfile -t COMPREPLY < <(compgen -v -- "$cur"); return ;;
        NAME)
            [[ $prev == --codepage ]] && mapfile -t COMPREPLY < <(compgen -W "$(_trirotor_codepages "$tool" "$cur")" -- "$cur")
            return
            ;;
        "LIST|all")
            # Code pages, comma-separated (the last of the word is the one
            # completed), or all.
            local before="" last=$cur pages
            [[ $cur == *,* ]] && before=${cur%,*}, last=${cur##*,}
            pages=$(_trirotor_codepages "$tool" "$last")
            [[ -z $before ]] && pages+=" all"
            mapfile -t COMPREPLY < <(compgen -P "$before" -W "$pages" -- "$last")
            return
            ;;
        TEXT | N) return ;;  # a key, a suffix, a number: nothing to offer
        *) _filedir; return ;;  # FILE, and any other value (REPORT, PNG...): a file
    esac
    $split && return

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${all[*]}" -- "$cur")
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    else
        _filedir
    fi
} &&
    complete -F _trirotor trirotor
