#!/usr/bin/env bash
# A short tour of the programs: each runs for a moment and shows its mechanism. The second
# act controls what the first leaves to the scheduler, and looks beneath standard output
# at the system calls. The third shows the classic mistakes beside the programs that avoid
# them, and the race made to happen on demand. The fourth lets a schedule choose the order
# of the real programs' steps. Every step ends by itself; a step whose command fails makes
# the tour fail, and the steps that failed are named at the end.
set -u
usage='Usage: tour.sh [--step] [--from=N] BINDIR
Runs each program of BINDIR (the folder of the built programs) for a moment and shows its
mechanism, then the causes controlled by core placement and the system calls beneath, then
the classic mistakes and the race on demand, then the programs step by step in an order
chosen by a schedule. Every step ends by itself. The status is 1 when a step failed.

  --step     show each command and wait for Enter before running it, for use in a lecture;
             a step'"'"'s number typed instead goes to that step (its own number repeats it)
  --from=N   start at step N'

# The source folder is the one that holds the script itself, also when it is run through a
# symbolic link from elsewhere; the name in messages is the one it was run by.
source=$(dirname -- "$(readlink -f -- "${BASH_SOURCE[0]}")")
invoked=$(cd -- "$(dirname -- "$0")" && pwd)/${0##*/}
# shellcheck source=common/cli.sh
. "$source/common/cli.sh"

# The measurements come first, with nothing of the tour's own: the tests source the script
# for them alone, and give them readings whose answers are known.

# The machine's CPU time so far, in clock ticks of all its CPUs, from the first line of
# /proc/stat on standard input: busy, then in all. Steal time, which another virtual machine
# took, counts as busy.
cpu_ticks() {
    read -r _ user nice system idle iowait irq softirq steal _
    echo $((user + nice + system + irq + softirq + steal)) \
        $((user + nice + system + idle + iowait + irq + softirq + steal))
}

# Says how much of the machine other work took while a command ran: the ticks that the
# machine was busy ($1) less the command's own CPU time ($3, its user and its system time as
# the builtin times prints them, XmY.YYYs XmY.YYYs, at $4 ticks a second), as a share of all
# its ticks meanwhile ($2) on its $5 CPUs. A machine busy elsewhere time-slices the two
# workers on fewer cores, which changes what the command measures: $6 says what, as the
# words that follow "at a fifth or more".
other_work() {
    awk -v busy="$1" -v all="$2" -v own="$3" -v hz="$4" -v cpus="$5" -v what="$6" '
    BEGIN {
        split(own, t, /[ ms]+/); other = busy - (t[1] * 60 + t[2] + t[3] * 60 + t[4]) * hz
        printf "(other work used %.0f%% of the %d CPUs meanwhile; at a fifth or more%s)\n",
               (all > 0 && other > 0 ? 100 * other / all : 0), cpus, what }'
}

# Runs a command and then says how much of the machine other work took while it ran, which
# changes what $1 says. The status is the command's.
measured() {
    local what=$1 before after own status
    shift
    read -r -a before < <(cpu_ticks </proc/stat)
    # The subshell's children are the command alone; times gives their CPU time, as XmY.YYYs,
    # on its last line.
    { own=$("$@" >&3; status=$?; times; exit "$status"); } 3>&1
    status=$?
    read -r -a after < <(cpu_ticks </proc/stat)
    other_work $((after[0] - before[0])) $((after[1] - before[1])) "${own##*$'\n'}" \
        "$(getconf CLK_TCK)" "$(getconf _NPROCESSORS_ONLN)" "$what"
    return "$status"
}

# Runs guardtally's hand-off command $1, which prints guardtally's elapsed time and its
# context switches (GNU time's -f '%e s, %w voluntary and %c involuntary context switches'),
# and works those out per line: it printed 1,000,000 lines.
# shellcheck disable=SC2317 # run by measured, which shellcheck does not follow
handoff_run() {
    bash -c "$1" 2>&1 | awk -v lines=1000000 '{ print }
    /^[0-9.]+ s, [0-9]+ voluntary and [0-9]+ involuntary/ && $1 > 0 {
        printf "(1,000,000 lines: %.1f M lines/s; per 1,000 lines, %.1f voluntary and %.1f " \
               "involuntary context switches)\n", lines / $1 / 1e6, $3 * 1000 / lines,
               $6 * 1000 / lines }'
    return "${PIPESTATUS[0]}"
}

# Sourced, the script stops here.
[[ ${BASH_SOURCE[0]} == "$0" ]] || return 0

stepping=false
from=1
steps=$(grep -c '^ *section ' "$source/tour.sh")
while [ $# -gt 0 ]; do
    case $1 in
    --help) printf '%s\n' "$usage"; exit 0 ;;
    --version) print_version "$source"; exit 0 ;;
    --step) stepping=true ;;
    --from=*)
        from=${1#--from=}
        case $from in
        '' | *[!0-9]* | 0*) usage_error "not a step from 1 to $steps: $(printf '%q' "$from")" ;;
        esac
        [ "$from" -le "$steps" ] || usage_error "not a step from 1 to $steps: $from"
        ;;
    --) shift; break ;;
    -?*) usage_error "invalid option $(printf '%q' "$1")" ;;
    *) break ;;
    esac
    shift
done
[ $# -eq 1 ] || usage_error "expected one operand, the folder of the built programs"
programs=(guardtally loosetally tallycheck spawnlist swaplist rawhello execdropsline
    forkdoublesline interleave)
missing=()
for program in "${programs[@]}"; do
    [ -x "$1/$program" ] || missing+=("$program")
done
if ((${#missing[@]})); then
    usage_error "no built programs in $(printf '%q' "$1") (missing: ${missing[*]}); cmake --workflow --preset tour builds them"
fi
bin=$(cd -- "$1" && pwd) || exit 2
PATH="$bin:$PATH"
# A folder of the tour's own for what the commands keep: a command makes its own with
# mktemp -d, as a user would, and TMPDIR puts it in here, which goes when the tour ends.
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT

# Starts a step. The steps before --from=N run unseen and run nothing: their commands are
# skipped and what they print goes nowhere, so the tour starts at step N where it stands.
number=0
skipping=false
failed=()
last_failed=0
exec 3>&1
section() {
    number=$((number + 1))
    title=$1
    if [ "$number" -lt "$from" ]; then
        skipping=true
        exec >/dev/null
    else
        skipping=false
        exec >&3
    fi
    printf '\n== %s\n' "$1"
}

# Notes the step at hand as failed, and why, for the list at the end: once a step, at its
# first failure.
fail_step() {
    [ "$last_failed" -eq "$number" ] && return 0
    last_failed=$number
    failed+=("step $number ($1): $title")
}

# With --step, waits for Enter before a command runs (the end of the input goes on); a
# step's number goes to that step instead, by starting the tour again from there.
pause() {
    local answer
    $stepping || return 0
    while true; do
        printf '[step %d of %d: Enter runs it, or a step'"'"'s number] ' "$number" "$steps"
        read -r answer || return 0
        case $answer in
        '') return 0 ;;
        *[!0-9]* | 0*) ;;
        *) if [ "$answer" -le "$steps" ]; then
            rm -rf "$scratch"
            exec "$invoked" --step --from="$answer" "$bin"
        fi ;;
        esac
    done
}

# Prints a command the way a user would type it, each line after a prompt.
prompt() {
    printf '\n$ %s\n' "${1//$'\n'/$'\n$ '}"
    pause
}

# Checks the status $2 of the command $1: 0, or 1 from a pipeline that ends in tallycheck,
# whose 1 says that the trace breaks, or from interleave -c or --all, whose 1 says that a
# schedule lost a change: what the step shows, not a failure.
check() {
    [[ $2 == 0 || ($2 == 1 && $1 =~ (\|\ *tallycheck[^|]*|^interleave (-c|--all) .*)$) ]] ||
        fail_step "status $2"
}

# Shows a command, then runs it.
show() {
    $skipping && return 0
    prompt "$1"
    TMPDIR=$scratch bash -c "$1"
    check "$1" $?
}

# True when the tool $1 is installed. Otherwise says that the step cannot be shown without it,
# from the Debian package $2, and notes the step as failed. In a step that --from skips,
# false at once, so that nothing of it runs.
have() {
    $skipping && return 1
    command -v "$1" >/dev/null && return 0
    printf '\n(%s is not installed, so this step cannot be shown; on Debian: apt-get install %s)\n' \
        "$1" "$2"
    fail_step "no $1"
    return 1
}

# Shows a race by placement, and how busy the machine was meanwhile.
race() {
    $skipping && return 0
    prompt "$1"
    measured " the race hides" bash -c "$1"
    check "$1" $?
}

# The hand-off under a placement ($1, the words before each program), and how busy the
# machine was meanwhile.
handoff() {
    local command="/usr/bin/time -q -f '%e s, %w voluntary and %c involuntary context switches' ${1}guardtally | ${1}head -n 1000000 > /dev/null"
    $skipping && return 0
    prompt "$command"
    measured ", not a quiet machine's figures" handoff_run "$command"
    check "$command" $?
}

section 'guardtally: two threads, one counter, a binary semaphore around each change'
show 'guardtally | head -n 5'
show 'guardtally | head -n 300000 | tallycheck'

section 'loosetally: the same threads without the semaphore; the trace breaks'
printf '(the first break, with two lines of context on each side)\n'
race 'loosetally | head -n 300000 | tallycheck -C 2'

cd "$bin" || exit 1
section 'spawnlist: fork, the child becomes /bin/ls -a -l, the parent does not wait'
printf '(on a terminal of its own, from script: echo prompt stands in for the shell, which\n'
printf 'waits for the parent alone, and the terminal stays open a second for the listing)\n'
show 'script -q -e -c "spawnlist && echo prompt && sleep 1" /dev/null < /dev/null'

section 'swaplist: one line, then the process image becomes /bin/ls -a -l'
show 'swaplist | head -n 4'

section 'rawhello: two write(2) calls on descriptor 1, no stdio buffer, no newline'
printf '(on a terminal of its own: echo prompt stands in for the shell'"'"'s next prompt)\n'
show 'script -q -e -c "rawhello && echo prompt" /dev/null < /dev/null'

printf '\n\n=== Act two: the cause controlled, and beneath standard output\n'

section 'The race by placement. On one core, a worker must be preempted between its load'
printf 'and its store for the other to slip in: breaks are rare. On two cores the workers\n'
printf 'run truly in parallel. Drift counts the changes lost; most breaks are late reports.\n'
race 'taskset -c 0 loosetally | taskset -c 0 head -n 1000000 | tallycheck | grep -E '"'"'^(breaks|drift)'"'"''
race 'loosetally | head -n 1000000 | tallycheck | grep -E '"'"'^(breaks|drift)'"'"''

section 'The semaphore'"'"'s hand-off. On one core, a worker keeps the semaphore for its whole time'
printf 'slice and the other waits its turn. Across cores they contend for it at every line, and\n'
printf 'sem_wait and sem_post call into the kernel (futex) to sleep and to wake each other.\n'
if have /usr/bin/time time; then
    handoff 'taskset -c 0 '
    handoff ''
fi

# strace -ff writes each process's calls to a file of its own, named after its process id:
# with both processes in one file, a call that overlaps another is split in two lines.
section 'spawnlist beneath: clone makes a second process, which execs /bin/ls; the'
printf 'parent writes its line and exits without a wait4. Two process ids, one file each.\n'
if have strace strace; then
    # shellcheck disable=SC2016 # the command substitution is the user's, run when shown
    show 'cd "$(mktemp -d)" && strace -ff -o spawnlist -e trace=process,write spawnlist > /dev/null
grep -H -E "clone|execve|wait4|Parent|exit_group" spawnlist.*'
fi

section 'swaplist beneath: "Before exec" is written before the execve, because the program'
printf 'flushes; one process id throughout.\n'
if have strace strace; then
    # shellcheck disable=SC2016
    show 'cd "$(mktemp -d)" && strace -ff -o swaplist -e trace=execve,write swaplist > /dev/null
grep -H -E "execve|Before" swaplist.*'
fi

section 'rawhello beneath: exactly two writes'
if have strace strace; then
    show 'strace -e trace=write rawhello > /dev/null'
fi

printf '\n\n=== Act three: the classic mistakes, and the race on demand\n'

section 'The line lost at exec. swaplist flushes before its exec; execdropsline does not.'
printf 'Into a pipe the stream is fully buffered, and the exec throws the buffer away. On a\n'
printf 'terminal (script -q gives the command one) each line is out as it is printed.\n'
show 'swaplist | head -n 2'
show 'execdropsline | head -n 2'
show 'script -q -c execdropsline /dev/null < /dev/null | head -n 2'

section 'The buffer copied by fork. spawnlist prints nothing before its fork; forkdoublesline'
printf 'prints a line first. Into a pipe the line is still buffered, fork copies the buffer,\n'
printf 'and each process flushes its copy. On a terminal the line is out before the fork.\n'
show 'spawnlist | grep -c Parent'
show 'forkdoublesline | cat'
show 'script -q -c forkdoublesline /dev/null < /dev/null'

section 'The race on demand. interleave holds the Inc worker between its load and its store'
printf 'while the Dec worker alone makes 100 changes; its stale store wipes them out. The Dec\n'
printf 'worker then changes the counter once more before Inc loads it for its report: late.\n'
show 'interleave --lines --race=100 loosetally | tallycheck -C 2'

printf '\n\n=== Act four: the learner is the scheduler\n'

section 'loosetally'"'"'s two workers: a pass makes three accesses to the counter, a load, a'
printf 'store and a report, and nothing keeps the other worker out between them. interleave\n'
printf 'runs the real program one access at a time, in the order its schedule gives: a letter\n'
printf 'wherever more than one thread can go, M for main, I and D for the workers. Then every\n'
printf 'order of one pass of each worker, each kind run once, and a verdict.\n'
cd "$source" || exit 1
show "sed -n '/Thread(void \\*) {/,/^}/p' counter-threads/loosetally.cpp"
cd "$bin" || exit 1
show 'interleave -c -s IDDDII loosetally'
show 'interleave --all loosetally'

section 'spawnlist by schedule: P is the parent'"'"'s next step, C the child'"'"'s. Where the'
printf 'parent has ended, a shell prints its prompt: before the listing, or after it.\n'
show 'interleave -c -s PPPCC spawnlist'
show 'interleave -c -s PCCPP spawnlist'
printf '\n\nEach step again, with questions to answer and the answers at the end: the lab sheet,\n%s\n' \
    "$source/LAB.md"
if ((${#failed[@]})); then
    printf '%s: steps failed: %d of %d\n' "${0##*/}" "${#failed[@]}" "$steps" >&2
    printf '  %s\n' "${failed[@]}" >&2
    exit 1
fi
