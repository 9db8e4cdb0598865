#!/usr/bin/env bash
# The race on demand: loosetally run under gdb, one worker held between its load of the
# counter and its store while the other alone makes N changes, which the held worker's
# store then wipes out. The program is killed at the end; its trace, a few lines past the
# race, goes to standard output, and what happened is told on standard error.
set -u
usage='Usage: race.sh [--hold=inc|dec] [--] [N]
Runs loosetally (from PATH) under gdb and stages its race: the held worker (Inc unless
told) stops between its load and its store, the other worker alone makes N changes
(default 5), and the held worker'"'"'s store wipes them out. The other worker then makes one
more change before the held worker loads the counter again, so its report is late too.
Prints the trace up to 20 lines past the race; tallycheck reports a drift of exactly N.'

# shellcheck source=common/cli.sh
. "$(dirname "$0")/.."/common/cli.sh
hold=Inc
while [ $# -gt 0 ]; do
    case $1 in
    --help) printf '%s\n' "$usage"; exit 0 ;;
    --version) print_version "$(dirname "$0")/.."; exit 0 ;;
    --hold=inc) hold=Inc ;;
    --hold=dec) hold=Dec ;;
    --) shift; break ;;
    -?*) usage_error "invalid option $(printf '%q' "$1")" ;;
    *) break ;;
    esac
    shift
done
[ $# -le 1 ] || usage_error "expected at most one operand, the number of changes to lose"
changes=${1-5}
case $changes in
'' | *[!0-9]* | 0?* | ???????*) usage_error "not a number of changes from 0 to 999999: $(printf '%q' "$changes")" ;;
esac

fail() {
    printf 'race.sh: %s\n' "$1" >&2
    exit 1
}
command -v gdb >/dev/null || fail "gdb is not installed; on Debian: apt-get install gdb"
program=$(command -v loosetally) || fail "loosetally is not on PATH; add the folder of the built programs"
# Yama's highest setting forbids ptrace to everyone, a debugger of its own child included.
if [ "$(cat /proc/sys/kernel/yama/ptrace_scope 2>/dev/null)" = 3 ]; then
    fail "ptrace is not permitted here (kernel.yama.ptrace_scope is 3)"
fi

work=$(mktemp -d) || exit 1
# Whatever ends this script ends what it started. timeout puts itself and gdb in a process
# group of their own, which is killed whole; gdb kills the program it started when gdb dies
# (ptrace's exit-kill). setpriv's parent-death signal covers the one end no trap sees: this
# script killed outright, and timeout with it.
group=
stop() {
    if [ -n "$group" ]; then
        kill -KILL -- "-$group" 2>/dev/null || kill -KILL "$group" 2>/dev/null
        wait "$group" 2>/dev/null
    fi
    # The program's own process id, should it still be the program: a process id that has
    # ended may already belong to another.
    held=$(cat "$work/pid" 2>/dev/null)
    if [ -n "$held" ] && [ "$(readlink "/proc/$held/exe" 2>/dev/null)" = "$(readlink -f "$program")" ]; then
        kill -KILL "$held" 2>/dev/null
    fi
    rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# The held program writes a few lines past the race; should gdb lose hold of it, the limit on
# the size of any file it writes (64 MiB, in the shell's blocks of 1,024 bytes) stops it.
(
    ulimit -f 65536
    RACE_HOLD=$hold RACE_CHANGES=$changes RACE_OUTPUT=$work/output RACE_PID=$work/pid \
        exec setpriv --pdeathsig KILL timeout -k 5 120 setpriv --pdeathsig KILL \
        gdb -nx -batch -q -x "$(dirname "$0")/race.py" --args "$program"
) >"$work/gdb.log" 2>&1 &
group=$!
# A trapped signal interrupts wait at once, where it would wait for a foreground command.
wait "$group"
status=$?
grep '^race: ' "$work/gdb.log" | sed 's/^race/race.sh/' >&2
# gdb's batch mode ends with status 0 even when the script stopped on an error, so the
# script's last word is required too.
if [ "$status" -eq 0 ] && ! grep -q '^race: .*: a late report$' "$work/gdb.log"; then
    status=1
fi
if [ "$status" -ne 0 ]; then
    [ "$status" -ge 124 ] && fail "gdb did not finish within 120 seconds"
    grep -v '^race: ' "$work/gdb.log" | head -n 5 >&2
    fail "the race could not be staged"
fi
cat "$work/output"
