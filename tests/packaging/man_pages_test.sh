#!/usr/bin/env bash
# The manual pages render without a single groff warning, and every option
# and command that the programs list in their own usage text is described in
# the page's OPTIONS or COMMANDS section.
#
#   man_pages_test.sh PAGE_DIR BIN_DIR
set -u
page_dir=$1
bin_dir=$2
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The page as plain text, without hyphenation, so that words stay whole.
render() {
    groff -man -Tascii -P-cbou -rHY=0 "$1" 2>/dev/null
}

# The text of one section (from its heading to the next heading).
section() {
    awk -v name="$2" '/^[A-Z]/ { inside = ($0 == name); next } inside' <<<"$1"
}

# check_listed PAGE_TEXT SECTION KIND WORD...: each WORD is a term of the section.
check_listed() {
    local text=$1 name=$2 kind=$3 word body
    shift 3
    body=$(section "$text" "$name")
    [ -n "$body" ] || fail "no $name section"
    for word in "$@"; do
        if [ "$kind" = command ]; then
            # A command is the tag of an indented paragraph: the start of a line.
            grep -Eq "^ +$word( |$)" <<<"$body" || fail "$name does not describe the command $word"
        else
            grep -Eq "(^|[ ,(\[])$word([] ,)]|$)" <<<"$body" || fail "$name does not describe the option $word"
        fi
    done
}

for page in "$page_dir"/orbitane_console.1 "$page_dir"/orbitane_base_sim.1; do
    warnings=$(groff -ww -z -man "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: groff says: $warnings"
done

# The console: options and commands from `orbitane_console base -h`.
listing=$("$bin_dir/orbitane_console" base -h 2>&1)
options=$(awk '/^Options:$/ { s = 1; next } /^Available Commands:$/ { s = 0 }
    s { match($0, /^ */); if (RLENGTH < 16 && substr($0, RLENGTH + 1, 1) == "-") {
        n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i] } }' <<<"$listing")
commands=$(awk '/^Available Commands:$/ { s = 1; next } s && /^[^ ]/ { print $1 }' <<<"$listing")
[ "$(wc -w <<<"$options")" -ge 11 ] || fail "too few options read from the usage: $options"
[ "$(wc -w <<<"$commands")" -ge 12 ] || fail "too few commands read from the usage: $commands"
text=$(render "$page_dir/orbitane_console.1")
check_listed "$text" OPTIONS option $options
check_listed "$text" COMMANDS command $commands

# The simulator: the options of `orbitane_base_sim -h` ("  -s, --scenario FILE").
sim_options=$("$bin_dir/orbitane_base_sim" -h 2>&1 |
    awk '/^  -/ { for (i = 1; i <= NF && $i ~ /^-/; i++) { sub(/,$/, "", $i); print $i } }')
[ "$(wc -w <<<"$sim_options")" -ge 10 ] || fail "too few simulator options read from the usage: $sim_options"
check_listed "$(render "$page_dir/orbitane_base_sim.1")" OPTIONS option $sim_options

if [ "$failures" -ne 0 ]; then
    echo "$failures manual page check(s) failed"
    exit 1
fi
echo "manual pages: rendered without warnings; every listed option and command described"
