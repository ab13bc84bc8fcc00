# bash completion for orbitane_console, orbitane_base_console and orbitane_base_sim
#
# The options and commands are read from the program's own usage text (`-h`),
# so the completion always matches the program it completes.

# Where serial devices are looked for (a variable so that it can be pointed
# at another tree).
: "${_orbitane_console_dev_dir:=/dev}"

# Usage listings already read, by program.
declare -gA _orbitane_console_cache

# Options that take the next word as their value.
_orbitane_console_valued_options=" -c --channel -p --port --host --interval --count --accel --capture --near --tag --duration "

# The readings monitor takes as a comma-separated list (status,motor,bumper).
_orbitane_console_readings="status motor sensor bumper beacon identity config"

# Prints "o NAME" for every option and "c NAME" for every command that
# `PROGRAM [base] -h` lists.
_orbitane_console_listing()
{
    "$@" -h 2>&1 </dev/null | awk '
        /^Options:$/            { section = "o"; next }
        /^Available Commands:$/ { section = "c"; next }
        section == "o" {
            # A label is right-aligned in 16 columns, its help text indented 17.
            match($0, /^ */)
            if (RLENGTH < 16 && substr($0, RLENGTH + 1, 1) == "-") {
                n = split($1, names, ",")
                for (i = 1; i <= n; i++) print "o " names[i]
            }
        }
        section == "c" && /^[^ ]/ { print "c " $1 }'
}

# Sets the words of kind $1 ("o" or "c") for the program in COMP_WORDS, read
# once per program and shell.
_orbitane_console_words()
{
    local kind=$1 program=${COMP_WORDS[0]} key
    local -a run=("$program")
    [[ ${program##*/} == orbitane_base_console ]] || run+=(base)
    key=${program//[^[:alnum:]]/_}
    if [[ -z ${_orbitane_console_cache[$key]+set} ]]; then
        _orbitane_console_cache[$key]=$(_orbitane_console_listing "${run[@]}")
    fi
    _orbitane_console_result=$(awk -v kind="$kind" '$1 == kind { print $2 }' <<<"${_orbitane_console_cache[$key]}")
}

# Sets COMPREPLY to the serial devices that start with $1.
_orbitane_console_serial_devices()
{
    local cur=$1 device
    COMPREPLY=()
    for device in "$_orbitane_console_dev_dir"/ttyUSB* "$_orbitane_console_dev_dir"/ttyACM* \
                  "$_orbitane_console_dev_dir"/serial/by-id/*; do
        [[ -e $device && $device == "$cur"* ]] && COMPREPLY+=("$device")
    done
}

_orbitane_console()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev="" first=1
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    # orbitane_console needs the component word first.
    if [[ ${COMP_WORDS[0]##*/} != orbitane_base_console ]]; then
        if ((COMP_CWORD == 1)); then
            mapfile -t COMPREPLY < <(compgen -W "base" -- "$cur")
            return 0
        fi
        [[ ${COMP_WORDS[1]} == base ]] || return 0
        first=2
    fi

    # What is on the line so far: the channel, the command and, after
    # monitor, the command it repeats. The command is the first word that the
    # program lists as one, so a word it does not know (an option's value,
    # say) never passes for it.
    local _orbitane_console_result commands i word channel="" command="" repeated=""
    _orbitane_console_words c
    commands=" ${_orbitane_console_result//$'\n'/ } "
    for ((i = first; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -c || $word == --channel ]]; then
            channel=${COMP_WORDS[i + 1]}
            ((i++))
        elif [[ $_orbitane_console_valued_options == *" $word "* ]]; then
            ((i++))
        elif [[ -z $command && $commands == *" $word "* ]]; then
            command=$word
        elif [[ $command == monitor && -z $repeated && ($commands == *" $word "* || $word == *,*) ]]; then
            repeated=$word
        fi
    done
    # A channel given later on the line counts too.
    for ((i = COMP_CWORD + 1; i < ${#COMP_WORDS[@]}; i++)); do
        [[ ${COMP_WORDS[i - 1]} == -c || ${COMP_WORDS[i - 1]} == --channel ]] && channel=${COMP_WORDS[i]}
    done

    case $prev in
        -c | --channel)
            mapfile -t COMPREPLY < <(compgen -W "serial tcp" -- "$cur")
            return 0
            ;;
        -p | --port)
            if [[ $channel == serial ]]; then
                _orbitane_console_serial_devices "$cur"
            elif [[ $channel == tcp ]]; then
                mapfile -t COMPREPLY < <(compgen -W "11331" -- "$cur")
            fi
            return 0
            ;;
        --host)
            return 0
            ;;
        --capture)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return 0
            ;;
    esac
    if [[ $prev == -* && $_orbitane_console_valued_options == *" $prev "* ]]; then
        return 0
    fi

    if [[ $cur == -* && $cur != -[0-9.]* ]]; then
        _orbitane_console_words o
        mapfile -t COMPREPLY < <(compgen -W "$_orbitane_console_result" -- "$cur")
    elif [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    elif [[ $command == monitor && -z $repeated && $cur == *,* ]]; then
        # The next reading of a list, after the ones already there.
        mapfile -t COMPREPLY < <(compgen -W "$_orbitane_console_readings" -P "${cur%,*}," -- "${cur##*,}")
    elif [[ $command == monitor && -z $repeated ]]; then
        # monitor repeats any other command.
        mapfile -t COMPREPLY < <(compgen -W "$commands" -X monitor -- "$cur")
    fi
    return 0
}

# The simulator: its options as its usage lists them ("  -s, --scenario FILE").
_orbitane_base_sim()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=""
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
        -s | --scenario | --pty | --replay)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return 0
            ;;
        --tcp)
            mapfile -t COMPREPLY < <(compgen -W "127.0.0.1:0 127.0.0.1:11331" -- "$cur")
            return 0
            ;;
    esac
    local options
    options=$("${COMP_WORDS[0]}" -h 2>&1 </dev/null | awk '
        /^  -/ { for (i = 1; i <= NF && $i ~ /^-/; i++) { sub(/,$/, "", $i); print $i } }')
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return 0
}

complete -F _orbitane_console orbitane_console orbitane_base_console
complete -F _orbitane_base_sim orbitane_base_sim
