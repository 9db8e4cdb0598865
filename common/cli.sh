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
