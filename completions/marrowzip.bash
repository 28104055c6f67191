# bash completion for marrowzip: subcommands, their options, and files.
_marrowzip() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null 2>&1; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    local commands="list create add extract remove test repair"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case " $commands " in
            *" ${words[i]} "*) command=${words[i]}; break ;;
        esac
    done

    # --workers takes a count, before the command or after it.
    if [[ $prev == --workers ]]; then
        mapfile -t COMPREPLY < <(compgen -W "0 1 2 4 8" -- "$cur")
        return
    fi

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "--help --version --quiet -q --workers" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        fi
        return
    fi

    # "-" as the ARCHIVE: standard input for list, test and extract, standard output for create.
    local options="--help --quiet --workers"
    case $command in
        list) options+=" --json -x --exclude -" ;;
        create) options+=" --level --store --prefix --no-prefix -x --exclude --comment -" ;;
        add) options+=" --level --store --prefix --no-prefix -x --exclude --update --no-wait --as" ;;
        extract) options+=" -p --stdout --skip-existing --overwrite --skip-checksum --allow-links-outside --keep-special-bits --encoding -x --exclude -" ;;
        remove) options+=" --no-wait -x --exclude" ;;
        test) options+=" -x --exclude -" ;;
    esac

    # Options that take a value: no file names after these.
    case $prev in
        --comment | --as | -x | --exclude) return ;;
        --level)
            mapfile -t COMPREPLY < <(compgen -W "0 1 2 3 4 5 6 7 8 9" -- "$cur")
            return
            ;;
        --encoding)
            mapfile -t COMPREPLY < <(compgen -W "cp437 cp850 cp866 cp1251 cp1252 shift_jis gbk big5 euc-kr iso-8859-1" -- "$cur")
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    # Archives, items and destinations are all paths.
    compopt -o filenames 2>/dev/null
    if [[ $command == extract ]] && ((cword > i + 1)) && [[ ${words[cword - 1]} != -* ]]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -F _marrowzip marrowzip
