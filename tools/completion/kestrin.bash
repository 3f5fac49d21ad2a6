# bash completion for kestrin(1): subcommands, their options, the values an
# option takes, and ports as `kestrin ports` lists them. Plain bash, so that
# it works without the bash-completion package's helpers.

_kestrin_port_options="-b --baud --data-bits -p --parity --stop-bits --flow --dtr --rts --read-wait --wait-port --pulse --lines"

# The options of each subcommand; tests check them against its --help.
_kestrin_options()
{
    case $1 in
        poll) echo "-h --help -e --expect --expect-hex -s --send --send-hex -t --timeout $_kestrin_port_options" \
                   "-r --repeat --trace --strict --reconnect --junit --name --label --library -j --json" ;;
        monitor) echo "-h --help $_kestrin_port_options -s --send --send-hex -d --duration --reconnect --label -j --json" ;;
        ports) echo "-h --help -j --json" ;;
        about) echo "-h --help --library -j --json" ;;
        sim) echo "-h --help --script --link --rounds --seed --trace" ;;
        demo) echo "-h --help --library" ;;
        relay) echo "-h --help --link $_kestrin_port_options --record --reconnect -j --json" ;;
    esac
}

# The ports `kestrin ports` lists (names and stable names) that start with
# $2; $1 is the kestrin being completed. Paths otherwise, for a sim's
# pseudo-terminal or a link to one.
_kestrin_ports()
{
    local line
    local -a found=()
    while IFS= read -r line; do
        line=${line#"${line%%[![:space:]]*}"}
        line=${line%%:*}
        [[ -n $line && $line == "$2"* ]] && found+=("$line")
    done < <("$1" ports 2>/dev/null)
    if ((${#found[@]} > 0)); then
        printf '%s\n' "${found[@]}"
    else
        compgen -f -- "$2"
    fi
}

_kestrin()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --library) ((i++)) ;;
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done

    local IFS=$'\n'
    case $prev in
        -p | --parity) COMPREPLY=($(compgen -W $'none\neven\nodd\nmark\nspace' -- "$cur")); return ;;
        --flow) COMPREPLY=($(compgen -W $'none\nrtscts\nxonxoff' -- "$cur")); return ;;
        --dtr | --rts) COMPREPLY=($(compgen -W $'on\noff' -- "$cur")); return ;;
        -b | --baud)
            COMPREPLY=($(compgen -W $'9600\n19200\n38400\n57600\n115200\n230400\n460800\n921600' -- "$cur"))
            return ;;
        --data-bits) COMPREPLY=($(compgen -W $'5\n6\n7\n8' -- "$cur")); return ;;
        --pulse) COMPREPLY=($(compgen -W $'dtr=100ms\nrts=100ms' -- "$cur")); return ;;
        --stop-bits) COMPREPLY=($(compgen -W $'1\n2' -- "$cur")); return ;;
        --library | --script | --link | --junit | --record) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        # Free text, numbers and times: nothing to offer.
        -e | --expect | --expect-hex | -s | --send | --send-hex | -t | --timeout | --read-wait | -r | --repeat | \
            -d | --duration | --rounds | --seed) return ;;
    esac

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W $'poll\nmonitor\nports\nabout\nsim\nrelay\ndemo\n--help\n--version\n--library' -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_kestrin_options "$command" | tr ' ' '\n')" -- "$cur"))
        return
    fi
    case $command in
        poll | monitor | relay)
            # The port is the one word that is not an option's.
            local word seen=0
            for ((i = i + 1; i < COMP_CWORD; i++)); do
                word=${COMP_WORDS[i]}
                case $word in
                    -h | --help | --trace | --strict | --reconnect | -j | --json) ;;
                    -*) ((i++)) ;;
                    *) seen=1 ;;
                esac
            done
            ((seen)) || COMPREPLY=($(_kestrin_ports "${COMP_WORDS[0]}" "$cur"))
            ;;
    esac
}

complete -F _kestrin kestrin
