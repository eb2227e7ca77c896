# shellcheck shell=bash
# bash completion for veldran: FILE (of a run or --check) completes file
# names; CARD (of a run or --release) completes the card numbers (0 to 15)
# and addresses that "veldran --list --json" gives.

_veldran()
{
    # shellcheck disable=SC2034 # prev: _init_completion sets it too
    local cur prev words cword
    # Addresses hold colons, which bash splits words at by default.
    _init_completion -n : || return

    case $cword in
        1)
            if [[ $cur == -* ]]; then
                mapfile -t COMPREPLY < <(compgen -W '--list --check --release --help --version' -- "$cur")
            else
                _filedir
            fi
            ;;
        2)
            if [[ ${words[1]} == --list ]]; then
                [[ --json == "$cur"* ]] && COMPREPLY=(--json)
                return
            fi
            if [[ ${words[1]} == --check ]]; then
                _filedir
                return
            fi
            # A run's card, or the card --release ends the holder of.
            [[ ${words[1]} == -* && ${words[1]} != --release ]] && return
            COMPREPLY=()
            local line number address
            # The program being completed, so that a build's own binary
            # lists the cards it would see. Its JSON holds one card a line,
            # which starts with the card's number and address; text from
            # the bus comes later, inside strings. Only the card numbers a
            # run takes (0 to 15) and addresses in the kernel's form are
            # taken from the start of a line, and nothing of it is ever
            # expanded.
            local card='^\{"number":([0-9]+|null),"address":"([0-9a-f]{4,8}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7])"'
            while IFS= read -r line; do
                [[ $line =~ $card ]] || continue
                number=${BASH_REMATCH[1]} address=${BASH_REMATCH[2]}
                if [[ $number =~ ^[0-9]{1,2}$ ]] && ((10#$number <= 15)) && [[ $number == "$cur"* ]]; then
                    COMPREPLY+=("$number")
                fi
                [[ $address == "$cur"* ]] && COMPREPLY+=("$address")
            done < <("${words[0]}" --list --json 2>/dev/null)
            __ltrim_colon_completions "$cur"
            ;;
    esac
} &&
    complete -F _veldran veldran
