# bash completion for the Vantor programs: vantor-cli, vantor, vantor-drive-sim,
# vantor-port-server and vantor-make-image.

# The serial devices present, stable names first.
_vantor_devices()
{
    local device
    for device in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
        [[ -e $device ]] && printf '%s\n' "$device"
    done
}

# What a run's port may be: a port name, the simulated drive, a network port, an adapter by its
# identity, the one USB adapter present (auto) or a device present.
_vantor_ports()
{
    printf '%s\n' COM1 COM2 COM3 COM4 sim sim: rfc2217:// usb-serial: by-id: auto
    _vantor_devices
}

_vantor_offer()
{
    COMPREPLY=($(compgen -W "$1" -- "$cur"))
    __ltrim_colon_completions "$cur"
}

_vantor_cli()
{
    local cur prev words cword
    _init_completion -n =: || return

    if ((cword == 1)); then
        _vantor_offer "download identify image-info ports history serve --help -h --version"
        return
    fi
    case ${words[1]} in
        download | identify)
            case $prev in
                --port) _vantor_offer "$(_vantor_ports)"; return ;;
                --baud) _vantor_offer "9600 19200"; return ;;
                --files-list | --traffic-log | --report | --ports-from | --history) _filedir; return ;;
                --address | --notify-fd | --max-parallel | --retry) return ;;
                --unit-serial | --operator | --order | --station-label) return ;;
            esac
            if [[ ${words[1]} == identify ]]; then
                _vantor_offer "--port --baud --address --skip-seeking --stay --traffic-log --json
                    --report --history --no-history --quiet --unit-serial --operator --order
                    --station-label --help -h --version"
            elif [[ $cur == -* ]]; then
                _vantor_offer "--files-list --port --baud --address --skip-seeking --reset-after
                    --strict --notify-fd --traffic-log --json --report --history --no-history
                    --no-tone --quiet --unit-serial --operator --order --station-label
                    --ports-from --max-parallel --retry --stop-on-first-failure --help -h --version"
            else
                _filedir orb
            fi
            ;;
        serve)
            case $prev in
                --port) _vantor_offer "$(_vantor_ports)"; return ;;
                --baud) _vantor_offer "9600 19200"; return ;;
                --files-list | --ports-from | --token-file | --tls-cert | --tls-key | --history)
                    _filedir; return ;;
                --listen) _vantor_offer "127.0.0.1:8080 0.0.0.0:8080"; return ;;
                --public-origin) return ;;
                --ate-listen) _vantor_offer "127.0.0.1:8081"; return ;;
                --address | --max-parallel | --retry) return ;;
            esac
            if [[ $cur == -* ]]; then
                _vantor_offer "--files-list --port --ports-from --listen --token-file --tls-cert
                    --tls-key --public-origin --allow-plain-token --baud --address --skip-seeking
                    --reset-after --strict --max-parallel --retry --history --no-history --require-unit-serial
                    --ate-listen --help -h --version"
            else
                _filedir orb
            fi
            ;;
        image-info)
            [[ $prev == --revision ]] && return
            if [[ $cur == -* ]]; then
                _vantor_offer "--revision --help -h --version"
            else
                _filedir orb
            fi
            ;;
        ports)
            if ((cword == 2)); then
                _vantor_offer "set unset --json --help -h --version"
            elif ((cword == 3)) && [[ ${words[2]} == @(set|unset) ]]; then
                _vantor_offer "COM1 COM2 COM3 COM4"
            elif ((cword == 4)) && [[ ${words[2]} == set ]]; then
                _vantor_offer "$(_vantor_devices) sim sim: rfc2217://"
            fi
            ;;
        history)
            case $prev in
                --history) _filedir; return ;;
                --result) _vantor_offer "success failure failed interrupted refused"; return ;;
                --since | --until | --before | --port | --image-sha256 | --limit) return ;;
                --unit-serial | --order | --operator) return ;;
            esac
            if ((cword == 2)) && [[ $cur != -* ]]; then
                _vantor_offer "list stats prune sync"
            else
                _vantor_offer "--history --since --until --port --result --image-sha256 --unit-serial
                    --order --operator --limit
                    --before --dry-run --json --csv --help -h --version"
            fi
            ;;
    esac
}
complete -F _vantor_cli vantor-cli

_vantor_window()
{
    local cur prev words cword
    _init_completion || return
    case $prev in
        -c) _vantor_offer "COM1 COM2 COM3 COM4"; return ;;
        -b) _vantor_offer "9600 19200"; return ;;
        -m | -style | -platform) return ;;
    esac
    if [[ $cur == -* ]]; then
        _vantor_offer "-c -b -m -style -platform --help -h --version"
    else
        _filedir orb
    fi
}
complete -F _vantor_window vantor

_vantor_drive_sim()
{
    local cur prev words cword
    _init_completion || return
    case $prev in
        --port | --host) return ;;
    esac
    _vantor_offer "--port --host --help -h --version"
}
complete -F _vantor_drive_sim vantor-drive-sim

_vantor_port_server()
{
    local cur prev words cword
    _init_completion || return
    case $prev in
        --device) _filedir; return ;;
        --port | --host | --allow) return ;;
    esac
    _vantor_offer "--device --port --host --allow --help -h --version"
}
complete -F _vantor_port_server vantor-port-server

_vantor_make_image()
{
    local cur prev words cword
    _init_completion || return
    case $prev in
        -o) _filedir orb; return ;;
        --revision | --packets | --packet-size | --address | --seed) return ;;
    esac
    _vantor_offer "-o --revision --plain --packets --packet-size --address --seed --erase
        --help -h --version"
}
complete -F _vantor_make_image vantor-make-image

# ex: filetype=sh
