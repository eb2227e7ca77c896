# shellcheck shell=bash
# bash completion for veldran: FILE completes file names; CARD completes
# the card numbers and addresses that "veldran --list" shows.

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
            local cards
            # The program being completed, so that a build's own binary
            # lists the cards it would see.
            cards=$("${words[0]}" --list 2>/dev/null |
                awk '$1 ~ /^[0-9]+$/ && $2 ~ /:/ { print $1; print $2 }')
            mapfile -t COMPREPLY < <(compgen -W "$cards" -- "$cur")
            __ltrim_colon_completions "$cur"
            ;;
    esac
} &&
    complete -F _veldran veldran
