// interleave's command line, `interleave [OPTION]... PROGRAM [ARG]...`: its options, read up
// to the first operand, and the program's own command after them, left as it was typed.
#pragma once

#include <string>

struct Options {
    bool answer = false;
    bool lines = false;
    bool all = false;
    const char *schedule = nullptr;
    const char *seed = nullptr;
    const char *steps = nullptr;
    const char *race = nullptr;
    const char *hold = nullptr;
    const char *passes = nullptr;
    const char *records = nullptr;
    const char *preemptions = nullptr;
    const char *maxSteps = nullptr;
    const char *timeLimit = nullptr;
    const char *memory = nullptr;
    bool instructions = false;
    const char *graph = nullptr;
    bool grid = false;
    const char *page = nullptr;
    // PROGRAM and its ARGs, ended by a null pointer: the argument vector it is run with.
    char **program = nullptr;
};

// Reads main's arguments. The options stop at the first operand, as `--` would stop them, so
// that an option after PROGRAM is the program's own. Prints the help or the version and
// exits; exits with a usage error for an unknown option, a missing program, or options that
// do not go together, whatever the program.
Options parseCommandLine(int argc, char **argv);

// Says what is wrong with the command line, with the hint, and exits with status 2.
[[noreturn]] void usageError(const std::string &message);

// The value of `option`, a number from `least` to `most`; a usage error otherwise.
unsigned long number(const char *text, const char *option, unsigned long least, unsigned long most);
