# bash completion for kiv(1)

_kiv() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local i=1
    # --socket PATH may come before the command, any number of times.
    while ((i < COMP_CWORD)) && [[ ${COMP_WORDS[i]} == --socket ]]; do
        ((i += 2))
    done
    COMPREPLY=()
    if ((i > COMP_CWORD)); then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
    fi
    if ((i == COMP_CWORD)); then
        local words
        if [[ $cur == -* ]]; then
            words='--socket --version --help'
        else
            words='set next current refresh pause resume always-animate intro status config
                   outputs render-status render reload-config render-restart raw shutdown help'
        fi
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
        return
    fi
    # set --output NAME, then a file or --theme; the name is the user's.
    if [[ ${COMP_WORDS[i]} == set && ${COMP_WORDS[i + 1]} == --output ]] && ((COMP_CWORD > i + 1)); then
        ((COMP_CWORD == i + 3)) || return
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W '--theme' -- "$cur")
        else
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
        return
    fi
    # Otherwise only the first argument after the command is completed.
    ((COMP_CWORD == i + 1)) || return
    case ${COMP_WORDS[i]} in
    set)
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W '--output' -- "$cur")
        else
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
        ;;
    intro)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        ;;
    always-animate)
        mapfile -t COMPREPLY < <(compgen -W 'on off' -- "$cur")
        ;;
    esac
}

complete -F _kiv kiv
