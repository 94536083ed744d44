# bash completion for torvane-cli                                    -*- shell-script -*-

# The ports --port may name: the COM numbers, the stable by-id links and the serial devices
# present (a pattern for --watch is the user's to type). Never the system console, nor a
# built-in port with no UART behind it (its type is 0).
_torvane_cli_ports()
{
    local ports=(COM.01 COM.02 COM.03 COM.04 COM.05 COM.06 COM.07 COM.08 COM.09 COM.10)
    local consoles dev name type
    read -r consoles </sys/class/tty/console/active 2>/dev/null
    for dev in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
        [[ -e $dev ]] || continue
        name=$(readlink -f -- "$dev")
        name=${name##*/}
        [[ " $consoles " == *" $name "* ]] && continue
        type=
        [[ $name == ttyS* ]] && read -r type </sys/class/tty/"$name"/type 2>/dev/null
        [[ $type == 0 ]] && continue
        ports+=("$dev")
    done
    printf '%s\n' "${ports[@]}"
}

_torvane_cli()
{
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion -n = || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    if [[ $cur == --*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
    fi
    case $prev in
        -p | --port)
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$(_torvane_cli_ports)" -- "$cur"))
            return
            ;;
        --report | --recipe | --publish-password-file | --publish-ca | --publish-cert | \
            --publish-key)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --outbox)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --on-board-end | --on-batch-end)
            # The program, by its whole path or a name on PATH.
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -c -- "$cur"))
            return
            ;;
        --publish)
            COMPREPLY=($(compgen -W "mqtt:// mqtts://" -- "$cur"))
            compopt -o nospace 2>/dev/null
            return
            ;;
        --station | --lot | --retries | --expect-sha256)
            return
            ;;
        -h | --help | -v | --version)
            return
            ;;
    esac

    # The step being typed (after the last --then) and its arguments, options and their values
    # left out; whether it is the job's first.
    local args=() first=1 i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -p | --port | --report | --publish | --publish-password-file | --publish-ca | \
                --publish-cert | --publish-key | --station | --outbox | --lot | --retries | \
                --expect-sha256 | --recipe | --on-board-end | --on-batch-end) ((i++)) ;;
            --then)
                args=()
                first=
                ;;
            -*) ;;
            *) args+=("${words[i]}") ;;
        esac
    done

    if [[ $cur == -* ]]; then
        local options="--help --version --recipe --lot --trace"
        case ${args[0]-} in
            download | upload | verify)
                options="--port --report --watch --trace --lot --retries --publish"
                options+=" --publish-password-file --publish-ca --publish-cert --publish-key"
                options+=" --station --outbox --on-board-end --on-batch-end --then"
                if [[ ${args[0]} == upload ]]; then
                    options+=" --overwrite"
                else
                    options+=" --expect-sha256"
                fi
                ;;
            ports) options="" ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    case ${#args[@]} in
        0)
            local commands="download upload verify"
            [[ -n $first ]] && commands+=" ports"
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            ;;
        1)
            case ${args[0]} in
                download) COMPREPLY=($(compgen -W "software data default loader all" -- "$cur")) ;;
                upload | verify) COMPREPLY=($(compgen -W "software data default" -- "$cur")) ;;
            esac
            ;;
        2)
            case ${args[0]} in
                download | upload | verify)
                    compopt -o filenames 2>/dev/null
                    COMPREPLY=($(compgen -f -- "$cur"))
                    ;;
            esac
            ;;
    esac
} &&
    complete -F _torvane_cli torvane-cli

# ex: filetype=sh
