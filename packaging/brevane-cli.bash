# bash completion for brevane-cli
_brevane_cli_families() {
    # The registry's names as one word each: blanks dropped, which the
    # program's name matching accepts ("Tesk - 100" -> "Tesk-100").
    "$1" families --json 2>/dev/null | grep -o '"name":"[^"]*"' | sed -e 's/^"name":"//' -e 's/"$//' -e 's/ //g'
}

_brevane_cli() {
    local cur prev words cword
    _init_completion || return

    local commands="families discover read write help"
    local global="-h --help --version -v --verbose --json"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case "${words[i]}" in
            --target|--family|--module|--card|--mode|-o|--output|--backup-dir|--expect-serial) ((i++)) ;;
            -*) ;;
            *) command="${words[i]}"; break ;;
        esac
    done

    case "$prev" in
        --family)
            COMPREPLY=($(compgen -W "$(_brevane_cli_families "${words[0]}")" -- "$cur"))
            return ;;
        --mode)
            COMPREPLY=($(compgen -W "initialize modify" -- "$cur"))
            return ;;
        -o|--output|--backup-dir)
            [[ $prev == --backup-dir ]] && _filedir -d || _filedir
            return ;;
        --target|--module|--card)
            return ;;
    esac

    case "$command" in
        "")
            COMPREPLY=($(compgen -W "$commands $global" -- "$cur")) ;;
        families)
            COMPREPLY=($(compgen -W "$global" -- "$cur")) ;;
        discover)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "$global --all --target" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "$(_brevane_cli_families "${words[0]}")" -- "$cur"))
            fi ;;
        read)
            COMPREPLY=($(compgen -W "$global --family --module --card --mode --target -o --output" -- "$cur")) ;;
        write)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "$global --family --module --card --mode --target --backup-dir --expect-serial" -- "$cur"))
            else
                _filedir
            fi ;;
        help)
            COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
    esac
} &&
    complete -F _brevane_cli brevane-cli
