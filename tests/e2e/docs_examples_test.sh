#!/usr/bin/env bash
# Runs the examples of the README and of docs/scripting.md against the
# simulator, so that they stay true. An example is the ```sh block after a
# line `<!-- example: NAME -->`; `<!-- output: NAME -->` marks the output the
# text shows for it. The examples run as written, with two stand-ins first on
# the PATH: `orbitane_base_sim` serves a free loopback port instead of the
# default one (and returns once it listens, in place of the `&`), and
# `orbitane_console` talks TCP to that port whatever `-p` says. `build/` in
# front of a program name is dropped.
#
#   docs_examples_test.sh SOURCE_DIR BIN_DIR
set -u -o pipefail

source_dir=$1
bin_dir=${2:-${ORBITANE_BIN_DIR:-}}
work=$(mktemp -d "${TMPDIR:-/tmp}/orbitane-docs.XXXXXX")
export TMPDIR=$work ORBITANE_DOCS_WORK=$work ORBITANE_DOCS_BIN=$bin_dir
failures=0

fail() {
    echo "docs-examples: FAIL: $*" >&2
    failures=$((failures + 1))
}

cleanup() {
    local pid
    if [ -f "$work/sim.pids" ]; then
        while read -r pid; do kill -TERM "$pid" 2>/dev/null; done <"$work/sim.pids"
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The stand-ins.
mkdir "$work/path"
cat >"$work/path/orbitane_base_sim" <<'SIM'
#!/usr/bin/env bash
# Starts the simulator in the background and returns once it is ready. Without
# --tcp or --pty it takes a free port, which the console stand-in then uses.
set -u
args=("$@")
[[ " $* " == *" --tcp "* || " $* " == *" --pty "* ]] || args+=(--tcp 127.0.0.1:0)
fifo=$(mktemp -u "$ORBITANE_DOCS_WORK/sim.XXXXXX")
mkfifo "$fifo" || exit 1
"$ORBITANE_DOCS_BIN/orbitane_base_sim" "${args[@]}" >"$fifo" 2>&1 </dev/null &
echo $! >>"$ORBITANE_DOCS_WORK/sim.pids"
exec 3<"$fifo"
# The line that says it is ready: the link's, the pty's or the port's.
want="listening on tcp "
for ((i = 0; i < $#; i++)); do
    if [ "${args[i]}" = --pty ]; then
        want="pty "
        [[ ${args[i + 1]:-} == [!-]* ]] && want="link "
    fi
done
while IFS= read -r -t 30 line <&3; do
    echo "$line"
    if [[ $line =~ ^listening\ on\ tcp\ 127\.0\.0\.1:([0-9]+)$ ]]; then
        echo "${BASH_REMATCH[1]}" >"$ORBITANE_DOCS_WORK/port"
    fi
    [[ $line == "$want"* ]] && break
done
[[ ${line:-} == "$want"* ]] || { echo "the simulator did not start" >&2; exit 1; }
# Its later lines go on to a file, read by nobody.
cat <&3 >>"$ORBITANE_DOCS_WORK/sim.log" 2>/dev/null &
SIM
cat >"$work/path/orbitane_console" <<'CONSOLE'
#!/usr/bin/env bash
# The console on TCP to the simulator's port: any -p is replaced.
args=() tcp=0 skip=0
for word in "$@"; do
    if [ "$skip" = 1 ]; then skip=0; continue; fi
    case $word in
        -p|--port) skip=1; continue ;;
        tcp) tcp=1 ;;
    esac
    args+=("$word")
done
[ "$tcp" = 1 ] || exec "$ORBITANE_DOCS_BIN/orbitane_console" "$@"
exec "$ORBITANE_DOCS_BIN/orbitane_console" "${args[0]}" -p "$(cat "$ORBITANE_DOCS_WORK/port")" "${args[@]:1}"
CONSOLE
if ! command -v gnuplot >/dev/null; then
    printf '#!/bin/sh\ncat >/dev/null\n' >"$work/path/gnuplot"
    echo "docs-examples: gnuplot is not installed; the plot is not drawn"
fi
chmod +x "$work/path/"*
export PATH="$work/path:$PATH"

# block FILE KIND NAME: the fenced block after `<!-- KIND: NAME -->`.
block() {
    awk -v mark="<!-- $2: $3 -->" '
        $0 == mark { found = 1; next }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }' "$1"
}

# run_example FILE NAME: runs the example in $work/NAME, with its output in
# $work/NAME.out and, for each command that failed, "STATUS COMMAND" in
# $work/NAME.failed.
run_example() {
    local text
    text=$(block "$source_dir/$1" example "$2" | sed -E 's#(^|[ "])build/orbitane_#\1orbitane_#g')
    if [ -z "$text" ]; then
        fail "no example $2 in $1"
        return 1
    fi
    mkdir -p "$work/$2"
    {
        echo "trap 'echo \"\$? \$BASH_COMMAND\" >>\"$work/$2.failed\"' ERR"
        # The simulator stand-in returns once ready; the `&` is its part.
        echo "$text" | sed -E 's#^(orbitane_base_sim .*) &$#\1#'
    } >"$work/$2.sh"
    (cd "$work/$2" && timeout --signal=INT --kill-after=5 90 bash "$work/$2.sh" >"$work/$2.out" 2>&1 </dev/null)
}

# Every command that failed must say so with "(status N)" on its line.
check_statuses() {
    local status command
    [ -f "$work/$2.failed" ] || return 0
    while read -r status command; do
        grep -F -- "$command" "$source_dir/$1" | grep -qF "(status $status)" ||
            fail "$2: '$command' exited $status:$(echo; cat "$work/$2.out")"
    done <"$work/$2.failed"
}

# The quick start prints what the README shows, in that order, on the port
# the simulator took.
run_example README.md quick-start
check_statuses README.md quick-start
port=$(cat "$work/port" 2>/dev/null)
block "$source_dir/README.md" output quick-start | sed "s/11331/$port/g" >"$work/expected"
[ -s "$work/expected" ] || fail "no output shown for the quick start"
awk 'NR == FNR { want[++n] = $0; next } i < n && $0 == want[i + 1] { i++ } END { exit i < n }' \
    "$work/expected" "$work/quick-start.out" ||
    fail "quick start: the output differs from the README's:$(echo; diff "$work/expected" "$work/quick-start.out")"

# The simulator's options, as its page shows them, are its --help.
"$bin_dir/orbitane_base_sim" --help >"$work/sim-help" 2>&1
block "$source_dir/docs/simulator.md" output simulator-help | diff - "$work/sim-help" >"$work/sim-help.diff" ||
    fail "docs/simulator.md does not show the simulator's --help:$(echo; cat "$work/sim-help.diff")"

# Troubleshooting: a misspelled command with nothing listening is a
# connection failure (4), said in the words the README's table quotes.
"$bin_dir/orbitane_console" base -c tcp --host 127.0.0.1 -p 1 stauts >"$work/typo.out" 2>&1
status=$?
[ "$status" -eq 4 ] || fail "a typo with no base exited $status, the README says 4"
refused=$(sed -n 's/.*127\.0\.0\.1:1: //p' "$work/typo.out")
[ -n "$refused" ] && grep -qF "| \`$refused\` |" "$source_dir/README.md" ||
    fail "the README does not quote the refusal:$(echo; cat "$work/typo.out")"

run_example README.md first-day
check_statuses README.md first-day
grep -q '"battery_percent":80' "$work/first-day.out" || fail "first-day: no JSON status"
[ "$(grep -c 'Charging Status' "$work/first-day.out")" -ge 6 ] || fail "first-day: monitor did not read five times"
grep -q "Run finished: .*, 6 steps" "$work/first-day.out" || fail "first-day: the run did not take 6 paced steps"

if ! command -v jq >/dev/null; then
    echo "docs-examples: jq is not installed; the scripting examples are skipped"
    exit $((failures > 0 ? 1 : 77))
fi

run_example docs/scripting.md pacing
check_statuses docs/scripting.md pacing
# Twenty readings, then rounds of status and motor for a second (at most ten).
motors=$(grep -c '"command":"motor"' "$work/pacing.out")
[ "$motors" -ge 1 ] && [ "$motors" -le 10 ] &&
    [ "$(grep -c '"command":"status"' "$work/pacing.out")" -eq $((20 + motors)) ] ||
    fail "pacing: not 20 readings, then rounds of two:$(echo; cat "$work/pacing.out")"

# --json --decode: one JSON stream that jq reads from its first line.
run_example docs/protocol-view.md decode-jq
check_statuses docs/protocol-view.md decode-jq
grep -q '^{"request":"getStatus","text":"ok, 2 bytes: battery 80 %' "$work/decode-jq.out" &&
    grep -qx '80' "$work/decode-jq.out" || fail "decode-jq:$(echo; cat "$work/decode-jq.out")"

run_example docs/scripting.md csv
check_statuses docs/scripting.md csv
head -1 "$work/csv.out" | grep -q '^command,t,battery_percent,' &&
    [ "$(grep -c '^status,' "$work/csv.out")" -eq 3 ] || fail "csv:$(echo; cat "$work/csv.out")"

run_example docs/scripting.md plot
check_statuses docs/scripting.md plot
points=$(wc -l <"$work/plot/run.dat" 2>/dev/null || echo 0)
[ "$points" -ge 110 ] && [ "$points" -le 125 ] || fail "plot: run.dat holds $points points, not one per 50 ms"

# The end-of-line check, on the simulator's pseudo-terminal; then against a
# device that is not there, where it must keep its output for reading.
block "$source_dir/docs/scripting.md" example eol-check >"$work/eol-check"
orbitane_base_sim --quiet --pty "$work/base" >/dev/null || fail "eol-check: the simulator did not start"
timeout 90 sh "$work/eol-check" "$work/base" >"$work/eol.out" 2>&1 || fail "eol-check exited $?:$(echo; cat "$work/eol.out")"
[ "$(grep -c '^ok ' "$work/eol.out")" -eq 6 ] || fail "eol-check: not six checks passed:$(echo; cat "$work/eol.out")"
ls "$work"/eol-check.* >/dev/null 2>&1 && fail "eol-check left its output file after passing"
grep -q "eol-check failed" "$work/eol.out" && fail "eol-check said it failed after passing"
timeout 90 sh "$work/eol-check" "$work/no-such-device" >"$work/eol-fail.out" 2>&1 && fail "eol-check passed without a base"
kept=$(sed -n 's/^eol-check failed; the objects are in //p' "$work/eol-fail.out")
if [ -z "$kept" ] || ! tail -1 "$kept" 2>/dev/null | jq -e '.error' >/dev/null; then
    fail "eol-check did not keep the failure for reading:$(echo; cat "$work/eol-fail.out")"
fi

[ "$failures" -eq 0 ] || exit 1
echo "docs-examples: every example ran as documented"
