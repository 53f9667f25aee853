# Bash completion for quorvel: its commands, each command's options (read
# from its --help), and the entries of the archive being named.
_quorvel() {
    local cur prev words cword
    _init_completion || return

    local i command="" archive="" encoding=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
        --plugin) ((i++)) ;;
        -O | --encoding) encoding=${words[i + 1]}; ((i++)) ;;
        --encoding=*) encoding=${words[i]#--encoding=} ;;
        -C | --directory | -o | --output | -T | --files-from | --exclude | --separator | \
            --cache-size | --wait | --from) ((i++)) ;;
        -*) ;;
        *)
            if [[ -z $command ]]; then
                command=${words[i]}
            elif [[ -z $archive ]]; then
                archive=${words[i]}
            fi
            ;;
        esac
    done

    case $prev in
    --plugin) _filedir '@(spi|sph)'; return ;;
    -C | --directory) _filedir -d; return ;;
    -o | --output | --from) _filedir dat; return ;;
    -T | --files-from) _filedir; return ;;
    --separator) COMPREPLY=($(compgen -W '/ \\' -- "$cur")); return ;;
    -O | --encoding)
        COMPREPLY=($(compgen -W "auto UTF-8 CP932 SHIFT_JIS GBK BIG5 UHC CP1252" -- "$cur"))
        return
        ;;
    esac

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "check list test extract cat pack update diff mount umount --help
            --version --plugin" \
            -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$("${words[0]}" "$command" --help 2>/dev/null |
            grep -o -- ' -[-a-zA-Z]*' | tr -d ' ')" -- "$cur"))
        return
    fi
    case $command in
    list | extract | cat)
        if [[ -z $archive ]]; then
            _filedir dat
        else
            # The archive's entries, one per line; names may hold spaces.
            local IFS=$'\n' name
            COMPREPLY=()
            while IFS= read -r name; do
                [[ $name == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
            done < <("${words[0]}" list ${encoding:+-O "$encoding"} -- "$archive" 2>/dev/null)
        fi
        ;;
    check | test | diff) _filedir dat ;;
    *) _filedir ;;
    esac
}
complete -F _quorvel quorvel
