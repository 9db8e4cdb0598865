# shellcheck shell=bash
# Sourced by the project's scripts: the command-line conventions of a Unix tool, under the
# name the script was run by.

# Reports a usage error, with the hint to --help, and ends with status 2.
usage_error() {
    printf '%s: %s\nTry '"'"'%s --help'"'"' for more information.\n' "${0##*/}" "$1" "${0##*/}" >&2
    exit 2
}

# Prints "NAME (glassbox) VERSION", the version that the file VERSION of the source folder $1
# holds, the one that CMake builds with.
print_version() {
    local version
    read -r version < "$1/VERSION" || exit 1
    printf '%s (glassbox) %s\n' "${0##*/}" "$version"
}

# Every line that a script writes goes through printf, so printf itself turns a failed write
# (a full disk, a closed standard output) into a message in the script's own name and status 1,
# where bash would name its own line and go on. The builtin's complaint is caught for its reason.
printf() {
    local complaint='' status
    # shellcheck disable=SC2059 # the caller's format, as printf's own
    { complaint=$(builtin printf "$@" 2>&1 >&3 3>&-); } 2>/dev/null 3>&1
    status=$?
    case $status:$complaint in
    0:*) return 0 ;;
    *'write error: '*) complaint=${complaint##*write error: } ;;
    1:) complaint='Bad file descriptor' ;; # no standard output to copy: it is closed
    *:) exit "$status" ;;                  # ended by a signal: SIGPIPE, its reader gone
    *) builtin printf '%s\n' "$complaint" >&2; return "$status" ;;
    esac
    builtin printf '%s: write error: %s\n' "${0##*/}" "$complaint" >&2
    exit 1
}
