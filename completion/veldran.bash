# shellcheck shell=bash
# bash completion for veldran: FILE completes file names; CARD completes
# the card numbers (0 to 15) and addresses that "veldran --list" shows.

_veldran()
{
    # shellcheck disable=SC2034 # prev: _init_completion sets it too
    local cur prev words cword
    # Addresses hold colons, which bash splits words at by default.
    _init_completion -n : || return

    case $cword in
        1)
            if [[ $cur == -* ]]; then
                mapfile -t COMPREPLY < <(compgen -W '--list --help --version' -- "$cur")
            else
                _filedir
            fi
            ;;
        2)
            [[ ${words[1]} == -* ]] && return
            COMPREPLY=()
            local number address rest
            # The program being completed, so that a build's own binary
            # lists the cards it would see. Its lines hold text from the
            # bus: only the card numbers a run takes (0 to 15) and the
            # addresses in the form --list prints are taken from them, and
            # nothing of them is ever expanded.
            while read -r number address rest; do
                [[ $number =~ ^[0-9]+$ &&
                    $address =~ ^[0-9a-f]{4,8}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]$ ]] || continue
                if ((${#number} <= 2 && 10#$number <= 15)) && [[ $number == "$cur"* ]]; then
                    COMPREPLY+=("$number")
                fi
                [[ $address == "$cur"* ]] && COMPREPLY+=("$address")
            done < <("${words[0]}" --list 2>/dev/null)
            __ltrim_colon_completions "$cur"
            ;;
    esac
} &&
    complete -F _veldran veldran
