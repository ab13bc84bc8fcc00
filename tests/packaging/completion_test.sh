#!/usr/bin/env bash
# Drives the bash completion the way bash does (COMP_WORDS, COMP_CWORD, the
# completion function) and checks what it offers.
#
#   completion_test.sh COMPLETION_FILE BIN_DIR
set -u
completion=$1
bin_dir=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/orbitane-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A device tree with two USB serial ports, one by-id link and a port that is
# not offered (ttyS0).
mkdir -p "$work/dev/serial/by-id"
touch "$work/dev/ttyUSB0" "$work/dev/ttyACM1" "$work/dev/ttyS0" "$work/dev/serial/by-id/usb-Orbitane_Base-if00"

failures=0

# complete FUNCTION CWORD WORD... : the sorted offers, one line.
complete_line() {
    local function=$1 cword=$2
    shift 2
    PATH="$bin_dir:$PATH" _orbitane_console_dev_dir="$work/dev" bash -c '
        source "$1"; function=$2; COMP_CWORD=$3; shift 3; COMP_WORDS=("$@")
        "$function"; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$function" "$cword" "$@" |
        sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//'
}

# expect exact|has|lacks "OFFERS" FUNCTION CWORD WORD...
expect() {
    local mode=$1 want=$2 got word
    shift 2
    got=$(complete_line "$@")
    case $mode in
        exact) [ "$got" = "$want" ] && return ;;
        has | lacks)
            for word in $want; do
                if [[ " $got " == *" $word "* ]]; then
                    [ "$mode" = has ] || { echo "FAIL: ${*:3} offered $word: $got"; failures=$((failures + 1)); }
                else
                    [ "$mode" = lacks ] || { echo "FAIL: ${*:3} did not offer $word: $got"; failures=$((failures + 1)); }
                fi
            done
            return ;;
    esac
    echo "FAIL: ${*:3}: wanted '$want', got '$got'"
    failures=$((failures + 1))
}

C=_orbitane_console
S=_orbitane_base_sim
commands="beacon bumper config doctor event identity monitor motor poll run sensor session status test vrun"
options="-c --channel -h --help -p --port -t --trace-comm -v --version --host --json --interval --count --decode --capture --csv --duration --keep-going"

expect exact "base"                                   $C 1 orbitane_console ""
expect exact ""                                       $C 2 orbitane_console other ""
expect has   "$options"                               $C 2 orbitane_console base -
expect has   "$commands"                              $C 2 orbitane_console base ""
expect lacks "-c base"                                $C 4 orbitane_console base -c tcp ""
expect exact "serial tcp"                             $C 3 orbitane_console base -c ""
expect exact "tcp"                                    $C 3 orbitane_console base --channel t
expect exact "status"                                 $C 4 orbitane_console base -c tcp st
# Serial devices after -p, only with the serial channel, wherever -c is.
expect exact "$work/dev/serial/by-id/usb-Orbitane_Base-if00 $work/dev/ttyACM1 $work/dev/ttyUSB0" \
                                                      $C 5 orbitane_console base -c serial -p ""
expect exact "$work/dev/ttyUSB0"                      $C 2 orbitane_base_console -p "$work/dev/ttyU" -c serial
expect exact "11331"                                  $C 4 orbitane_base_console -c tcp -p ""
expect exact ""                                       $C 2 orbitane_base_console --host ""
expect exact "$work/dev/ttyUSB0"                      $C 2 orbitane_base_console --capture "$work/dev/ttyU"
expect exact ""                                       $C 2 orbitane_base_console --interval ""
expect has   "$commands"                              $C 5 orbitane_base_console -c tcp --count 5 ""
# The command word is found behind options and their values.
expect has   "$commands"                              $C 5 orbitane_base_console -c serial -p /dev/ttyUSB0 ""
expect has   "$options"                               $C 4 orbitane_base_console -c tcp status -
# monitor repeats any other command, and only one.
expect has   "status bumper sensor"                   $C 4 orbitane_base_console -c tcp monitor ""
expect lacks "monitor"                                $C 4 orbitane_base_console -c tcp monitor ""
expect exact ""                                       $C 5 orbitane_base_console -c tcp monitor bumper ""
# ... or a list of readings, completed after its last comma.
expect exact "status,motor"                           $C 4 orbitane_base_console -c tcp monitor status,mo
expect exact "status,beacon status,bumper"            $C 4 orbitane_base_console -c tcp monitor status,b
expect exact ""                                       $C 5 orbitane_base_console -c tcp monitor status,motor ""
expect exact ""                                       $C 2 orbitane_base_console --duration ""
# A word the program does not list as a command (the value of an option the
# completion does not know) is not taken for the command.
expect has   "$commands"                              $C 5 orbitane_base_console -c tcp --later 5 ""
expect has   "status bumper"                          $C 6 orbitane_base_console -c tcp monitor --later 5 ""
expect lacks "monitor"                                $C 6 orbitane_base_console -c tcp monitor --later 5 ""
# A negative number is an argument, not an option.
expect exact ""                                       $C 6 orbitane_base_console -c tcp run -100 100 ""
expect exact ""                                       $C 4 orbitane_base_console -c tcp run -1
# The simulator.
expect has   "--tcp --pty -s --scenario --legacy -q --quiet --print-scenario -h --help --replay" $S 1 orbitane_base_sim ""
expect exact "$work/dev/ttyUSB0"                      $S 2 orbitane_base_sim --replay "$work/dev/ttyU"
expect exact "--print-scenario --pty"                 $S 2 orbitane_base_sim --quiet --p
expect exact "127.0.0.1:0 127.0.0.1:11331"            $S 2 orbitane_base_sim --tcp ""

if [ "$failures" -ne 0 ]; then
    echo "$failures completion check(s) failed"
    exit 1
fi
echo "completion: every check passed"
