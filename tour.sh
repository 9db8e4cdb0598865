#!/usr/bin/env bash
# A short tour of the programs: each runs for a moment and shows its mechanism. The second
# act controls what the first leaves to the scheduler, and looks beneath standard output
# at the system calls. Every step ends by itself.
set -u
usage='Usage: tour.sh BINDIR
Runs each program of BINDIR for a moment and shows its mechanism, then the causes controlled
by core placement and the system calls beneath. Every step ends by itself.'

usage_error() {
    printf 'tour.sh: %s\nTry '"'"'tour.sh --help'"'"' for more information.\n' "$1" >&2
    exit 2
}
case ${1-} in
--help) printf '%s\n' "$usage"; exit 0 ;;
--version)
    # The project's version, as its build declares it.
    sed -n '/^ *VERSION /{s/^ *VERSION \([^ ]*\).*/tour.sh (glassbox) \1/p; q}' \
        "$(dirname "$0")/CMakeLists.txt"
    exit 0 ;;
--) shift ;;
-?*) usage_error "invalid option $(printf '%q' "$1")" ;;
esac
[ $# -eq 1 ] || usage_error "expected one operand, the folder of the built programs"
bin=$(cd -- "$1" && pwd) || exit 1
PATH="$bin:$PATH"
# strace -ff writes each process's calls to a file of its own, named after its process id:
# with both processes in one file, a call that overlaps another is split in two lines.
traces=$(mktemp -d)
export traces
trap 'rm -rf "$traces"' EXIT

# Prints a command the way a user would type it, then runs it.
show() {
    printf '\n$ %s\n' "$1"
    bash -c "$1"
}

# Runs guardtally, with what comes before it (a placement), for 1,000,000 lines, and says
# how fast it printed and how often the kernel switched it out to wait for the semaphore.
handoff() {
    local lines=1000000 times
    printf '\n$ %s\n' "$1guardtally | head -n $lines > /dev/null"
    times=$(mktemp)
    bash -c "/usr/bin/time -f '%e %w %c' -o '$times' $1guardtally | head -n $lines > /dev/null"
    # The figures are on the last line, after "Command terminated by signal 13".
    read -r seconds voluntary involuntary < <(tail -n 1 "$times")
    rm -f "$times"
    awk -v s="$seconds" -v v="$voluntary" -v i="$involuntary" -v n="$lines" 'BEGIN {
        printf "%.2f M lines/s; per 1,000 lines, %.1f voluntary and %.1f involuntary " \
               "context switches\n", n / (s > 0 ? s : 0.01) / 1e6, v * 1000 / n, i * 1000 / n }'
}

printf '== guardtally: two threads, one counter, a binary semaphore around each change\n'
show 'guardtally | head -n 5'
show 'guardtally | head -n 300000 | tallycheck'

printf '\n== loosetally: the same threads without the semaphore; the trace breaks\n'
printf '(the first break, with two lines of context on each side)\n'
show 'loosetally | head -n 300000 | tallycheck -C 2'

cd "$bin" || exit 1
printf '\n== spawnlist: fork, the child becomes /bin/ls -a -l, the parent does not wait\n'
printf '(through cat, which waits for the end of the child'"'"'s output as the shell would not)\n'
show 'spawnlist | cat'

printf '\n== swaplist: one line, then the process image becomes /bin/ls -a -l\n'
show 'swaplist | head -n 4'

printf '\n== rawhello: two write(2) calls on descriptor 1, no stdio buffer, no newline\n'
show 'rawhello; echo'

printf '\n\n=== Act two: the cause controlled, and beneath standard output\n'

printf '\n== The race by placement. On one core, a worker must be preempted between its load\n'
printf 'and its store for the other to slip in: breaks are rare. On two cores the workers\n'
printf 'run truly in parallel. Drift counts the changes lost; most breaks are late reports.\n'
show 'taskset -c 0 loosetally | head -n 1000000 | tallycheck | grep -e ^breaks -e ^drift'
show 'loosetally | head -n 1000000 | tallycheck | grep -e ^breaks -e ^drift'

printf '\n== The semaphore'"'"'s hand-off. On one core, a worker keeps the semaphore for its whole time\n'
printf 'slice and the other waits its turn. Across cores they contend for it at every line, and\n'
printf 'sem_wait and sem_post call into the kernel (futex) to sleep and to wake each other.\n'
if [ -x /usr/bin/time ]; then
    handoff 'taskset -c 0 '
    handoff ''
else
    printf '(/usr/bin/time is not installed; on Debian: apt-get install time)\n'
fi

if ! command -v strace >/dev/null; then
    printf '\n(strace is not installed, so the system calls are not shown; on Debian: '
    printf 'apt-get install strace)\n'
    exit 0
fi
printf '\n== spawnlist beneath: clone makes a second process, which execs /bin/ls; the\n'
printf 'parent writes its line and exits without a wait4. Two process ids, one file each.\n'
# shellcheck disable=SC2016 # $traces expands when the command runs, as in a user's shell
show 'strace -ff -o "$traces/spawnlist" -e trace=clone,clone3,execve,wait4,write,exit_group spawnlist > /dev/null
cd "$traces" && grep -H -E "clone|execve|wait4|Parent|exit_group" spawnlist.*'

printf '\n== swaplist beneath: "Before exec" is written before the execve, because the program\n'
printf 'flushes; one process id throughout.\n'
# shellcheck disable=SC2016
show 'strace -ff -o "$traces/swaplist" -e trace=execve,write swaplist > /dev/null
cd "$traces" && grep -H -E "execve|Before" swaplist.*'

printf '\n== rawhello beneath: exactly two writes\n'
show 'strace -e trace=write rawhello > /dev/null'
exit 0
