#!/usr/bin/env bash
# A short tour of the programs: each runs for a moment and shows its mechanism.
# Usage: tour.sh BINDIR
set -u
PATH="$1:$PATH"

# Prints a command the way a user would type it, then runs it.
show() {
    printf '\n$ %s\n' "$1"
    bash -c "$1"
}

printf '== guardtally: two threads, one counter, a binary semaphore around each change\n'
show 'guardtally | head -n 5'
show 'guardtally | head -n 300000 | tallycheck'

printf '\n== loosetally: the same threads without the semaphore; the trace breaks\n'
show 'loosetally | head -n 5'
show 'loosetally | head -n 300000 | tallycheck'

cd "$1" || exit 1
printf '\n== spawnlist: fork, the child becomes /bin/ls -a -l, the parent does not wait\n'
printf '(through cat, which waits for the end of the child'"'"'s output as the shell would not)\n'
show 'spawnlist | cat'

printf '\n== swaplist: one line, then the process image becomes /bin/ls -a -l\n'
show 'swaplist | head -n 4'

printf '\n== rawhello: two write(2) calls on descriptor 1, no stdio buffer, no newline\n'
show 'rawhello; echo'
if command -v strace >/dev/null; then
    show 'strace -e trace=write rawhello >/dev/null'
fi
exit 0
