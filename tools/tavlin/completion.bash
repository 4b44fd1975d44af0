# bash completion for tavlin: subcommands, their options, and the values of
# --mode, --from, --to, --encoding and -d; file names everywhere else.
_tavlin() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="info show get find set add-row add-column rename-column delete-row delete-column index lines import export help"
    local common="-d --delimiter -H --header-lines --unique -h --help"
    local mode="--mode --index-dir"
    COMPREPLY=()
    case $prev in
        --mode) COMPREPLY=($(compgen -W "edit preview indexed" -- "$cur")); return ;;
        --from) COMPREPLY=($(compgen -W "csv tsv" -- "$cur")); return ;;
        --to) COMPREPLY=($(compgen -W "csv tsv jsonl" -- "$cur")); return ;;
        --encoding) COMPREPLY=($(compgen -W "utf-8 latin1" -- "$cur")); return ;;
        --comment|--names) return ;;
        -d|--delimiter|-s|--separator) COMPREPLY=($(compgen -W "tab , ';' '|'" -- "$cur")); return ;;
        --index-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        -H|--header-lines|--rows|--columns) return ;;
        --edits) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$commands -h --help -V --version" -- "$cur"))
        return
    fi
    local command=${COMP_WORDS[1]}
    if [ "$command" = index ] || [ "$command" = help ]; then
        if [ "$COMP_CWORD" -eq 2 ]; then
            if [ "$command" = index ]; then
                COMPREPLY=($(compgen -W "prepare drop" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            fi
            return
        fi
        [ "$command" = index ] && command="index ${COMP_WORDS[2]}"
    fi
    local options
    case $command in
        info) options="$mode" ;;
        show) options="$mode --rows --columns --wide" ;;
        get) options="$mode -n --no-newline" ;;
        set) options="-o --output --csv --tsv --stored --edits" ;;
        add-row|add-column|rename-column|delete-row|delete-column)
            options="-o --output --csv --tsv --stored" ;;
        "index prepare") options="--force" ;;
        find) options="--print --to" ;;
        import) options="--from -s --separator --force --ragged --comment --encoding --lazy-quotes --no-header --names" ;;
        export) options="--to -s --separator --force --columns" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options $common" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _tavlin tavlin
