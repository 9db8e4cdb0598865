// interleave: the learner is the scheduler. Runs a real program, loosetally, guardtally,
// spawnlist or one of their shape, held under ptrace one step at a time in the order that
// a schedule gives, and says what each step did; or prints the schedule and the questions
// to predict first; or runs every schedule of a few passes and counts what they came to.
// Exit status 0 when it did what was asked (and, with --all, no schedule lost a change,
// broke the trace or deadlocked), 1 when a schedule of --all did, 2 for a usage error, and
// 3 (troubleStatus) when the program could not be found, run or held.
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "answers.h"
#include "arch.h"
#include "diagnose.h"
#include "every.h"
#include "image.h"
#include "names.h"
#include "watch.h"

namespace {

constexpr char usage[] =
    "Usage: interleave [-c | --lines] [--seed=N [--steps=N] | --race=N [--hold=WHO]]\n"
    "                  [--] PROGRAM [SCHEDULE]\n"
    "       interleave --all [--passes=N] [--records=FILE] [--] PROGRAM\n"
    "Runs PROGRAM (loosetally, guardtally, spawnlist, or a program of their shape; a name is\n"
    "looked up on PATH) held one step at a time, in the order SCHEDULE gives: a letter a\n"
    "step, I and D for the first and second worker thread, P and C for the parent and the\n"
    "child process. Case, spaces and commas do not matter, and a letter followed by a count\n"
    "is repeated (I3 is III). Without --answer, prints the schedule and the questions to\n"
    "predict; with it, runs the program and shows each step, the lines printed, the counter\n"
    "against the changes made, and tallycheck's verdict. On a terminal with neither\n"
    "SCHEDULE nor --seed, asks at each step who goes next.\n"
    "\n"
    "  -c, --answer     run the program and show the answers\n"
    "      --lines      run it and print only the program's own lines\n"
    "      --seed=N     a random valid schedule drawn from N (0 to 4294967295)\n"
    "      --steps=N    its number of steps, 1 to 1000 (default 12; spawnlist's has 5)\n"
    "      --race=N     the race on demand: the first worker loads the counter and is held\n"
    "                   before its store while the other makes N changes (0 to 3000)\n"
    "      --hold=WHO   the worker held in the race: inc (the default) or dec\n"
    "      --all        run every schedule of the given passes and count the outcomes\n"
    "      --passes=N   passes of each worker, 1 to 3 (default 1)\n"
    "      --records=FILE  write one CSV row a schedule to FILE\n"
    "      --help       print this help and exit\n"
    "      --version    print the version and exit\n"
    "\n"
    "Exit status: 0 done (with --all, no schedule lost a change, broke the trace or\n"
    "deadlocked), 1 a schedule of --all did, 2 a usage error, 3 trouble: the program\n"
    "could not be found, run or held.\n";

[[noreturn]] void usageError(const std::string &message) {
    fprintf(stderr, "interleave: %s\nTry 'interleave --help' for more information.\n",
            message.c_str());
    exit(2);
}

struct Options {
    bool answer = false;
    bool lines = false;
    bool all = false;
    const char *seed = nullptr;
    const char *steps = nullptr;
    const char *race = nullptr;
    const char *hold = nullptr;
    const char *passes = nullptr;
    const char *records = nullptr;
};

Options parseOptions(int argc, char **argv) {
    enum { lines = 256, seed, steps, race, hold, all, passes, records, help, version };
    static constexpr option longOptions[] = {{"answer", no_argument, nullptr, 'c'},
                                             {"lines", no_argument, nullptr, lines},
                                             {"seed", required_argument, nullptr, seed},
                                             {"steps", required_argument, nullptr, steps},
                                             {"race", required_argument, nullptr, race},
                                             {"hold", required_argument, nullptr, hold},
                                             {"all", no_argument, nullptr, all},
                                             {"passes", required_argument, nullptr, passes},
                                             {"records", required_argument, nullptr, records},
                                             {"help", no_argument, nullptr, help},
                                             {"version", no_argument, nullptr, version},
                                             {}};
    Options options;
    opterr = 0; // getopt's own messages would show the option raw; these quote it
    for (int option; (option = getopt_long(argc, argv, ":c", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 'c':
            options.answer = true;
            break;
        case lines:
            options.lines = true;
            break;
        case seed:
            options.seed = optarg;
            break;
        case steps:
            options.steps = optarg;
            break;
        case race:
            options.race = optarg;
            break;
        case hold:
            options.hold = optarg;
            break;
        case all:
            options.all = true;
            break;
        case passes:
            options.passes = optarg;
            break;
        case records:
            options.records = optarg;
            break;
        case help:
            fputs(usage, stdout);
            flushOutput(1);
            exit(0);
        case version:
            puts("interleave (glassbox) " GLASSBOX_VERSION);
            flushOutput(1);
            exit(0);
        default:
            usageError(optionError(option, argv[optind - 1]));
        }
    }
    return options;
}

} // namespace

namespace {

// The program's kind, from the routines it takes from the C library: pthread_create for two
// workers, fork for a child.
Kind kindOf(const Image &image, const std::string &name) {
    if (image.file().uses("pthread_create"))
        return Kind::counter;
    if (image.file().uses("fork") || image.file().uses("_Fork") || image.file().uses("vfork"))
        return Kind::processes;
    usageError("cannot schedule " + name +
               ": it neither starts threads (pthread_create) nor "
               "forks (fork)");
}

unsigned long number(const char *text, const char *option, unsigned long least,
                     unsigned long most) {
    unsigned long value;
    if (!parseNumber(text, most, value) || value < least)
        usageError(std::string(option) + " takes a number from " + std::to_string(least) + " to " +
                   std::to_string(most));
    return value;
}

// The schedule's steps, from the operand, a seed or a race; empty when none was given.
std::string stepsOf(const Options &options, int operands, char **operand, Kind kind,
                    const std::string &name) {
    if ((operands == 2) + (options.seed != nullptr) + (options.race != nullptr) > 1)
        usageError("a schedule, --seed or --race: one of them");
    if (options.steps != nullptr && options.seed == nullptr)
        usageError("--steps is the length of a schedule drawn by --seed");
    if (options.hold != nullptr && options.race == nullptr)
        usageError("--hold says which worker --race holds");
    std::string steps;
    std::string why;
    if (operands == 2 && !parseSchedule(operand[1], kind, name.c_str(), steps, why))
        usageError(why);
    if (options.seed != nullptr) {
        const unsigned long seed = number(options.seed, "--seed", 0, UINT32_MAX);
        const unsigned long length =
            options.steps ? number(options.steps, "--steps", 1, mostDrawnSteps) : 12;
        steps = seededSchedule(kind, static_cast<uint32_t>(seed), length);
    }
    if (options.race != nullptr) {
        if (kind != Kind::counter)
            usageError("--race is a schedule of two workers; " + name + " has none");
        const unsigned long changes = number(options.race, "--race", 0, 3000);
        const std::string hold = options.hold != nullptr ? options.hold : "inc";
        if (hold != "inc" && hold != "dec")
            usageError("--hold takes inc or dec, not " + shellQuoted(hold));
        steps = raceSchedule(hold == "inc" ? 'I' : 'D', changes);
    }
    return steps;
}

// The schedule and the questions to predict, with the command that answers them.
void printQuestions(const Request &request, const Image &image, int argc, char **argv) {
    printf("%s, schedule %s: %zu steps\n", request.name.c_str(), request.steps.c_str(),
           request.steps.size());
    std::string row;
    for (size_t i = 0; i < request.steps.size(); ++i) {
        char cell[32];
        snprintf(cell, sizeof cell, "%4zu %-7s", i + 1, whoTakes(request.kind, request.steps[i]));
        row += cell;
        if (i % 6 == 5 || i + 1 == request.steps.size()) {
            row.erase(row.find_last_not_of(' ') + 1);
            puts(row.c_str());
            row.clear();
        }
    }
    puts("Predict:");
    if (request.kind == Kind::processes) {
        puts("  What does each step print, and which process is each one's parent?");
        puts("  Does a shell's prompt come before the listing or after it?");
    } else {
        if (image.file().uses("sem_wait") || image.file().uses("pthread_mutex_lock"))
            puts("  Which calls block, and when does a blocked worker go on?");
        puts("  Which lines are printed, in order?");
        puts("  What is the counter at the end, after how many changes?");
        puts("  How many changes are lost, and what does tallycheck say?");
    }
    // The same command with --answer, as it was typed: it works wherever this one did.
    std::string again = shellQuoted(argv[0]) + " --answer";
    for (int i = 1; i < argc; ++i)
        again += " " + shellQuoted(argv[i]);
    printf("Check with: %s\n", again.c_str());
}

// What interleave cannot hold, said before it starts anything.
void refuseUnheld(const Image &image, const std::string &path) {
    if (!holdsPrograms())
        giveUp(std::string("holds programs on x86-64 only; on ") + processorName() + ", not yet");
    if (image.file().uses("__tsan_init"))
        giveUp(shellQuoted(path) +
               " is built with ThreadSanitizer, whose runtime makes every "
               "access to the counter itself, so no step ends in a worker; use another build");
}

// A standard stream that was closed stays unusable: were a descriptor that interleave opens
// to take its number, the program's output or the answers would go there. /dev/null opened
// the other way round fails every write (and read) with EBADF, as a closed one would.
bool keepClosedStreamsClosed() {
    const int streams[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    return std::all_of(std::begin(streams), std::end(streams), [](int stream) {
        return fcntl(stream, F_GETFD) >= 0 ||
               open("/dev/null", stream == STDIN_FILENO ? O_WRONLY : O_RDONLY) == stream;
    });
}

// The usage errors that the options and the number of operands make, whatever the program.
void checkCombination(const Options &options, int operands) {
    if (operands == 0)
        usageError(options.all ? "expected a program" : "expected a program and a schedule");
    if (operands > (options.all ? 1 : 2))
        usageError(options.all ? "--all takes a program alone"
                               : "expected at most two operands, a program and a schedule");
    if (options.all && (options.answer || options.lines || options.seed || options.race))
        usageError("--all runs every schedule: it takes no schedule, -c or --lines");
    if (!options.all && (options.passes || options.records))
        usageError("--passes and --records go with --all");
}

// The program that `operand` names, read; exits with the reason when there is none to hold.
std::string openProgram(const char *operand, Image &image) {
    std::string why;
    std::string path = findProgram(operand, why);
    if (path.empty()) {
        fprintf(stderr, "interleave: %s\n", why.c_str());
        exit(troubleStatus);
    }
    const char *problem;
    if (!image.open(path.c_str(), problem)) {
        fprintf(stderr, "interleave: cannot hold %s: %s\n", shellQuoted(path).c_str(), problem);
        exit(troubleStatus);
    }
    return path;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
    if (!keepClosedStreamsClosed())
        return 1;
    const Options options = parseOptions(argc, argv);
    const int operands = argc - optind;
    checkCombination(options, operands);
    const unsigned long passes =
        options.passes != nullptr ? number(options.passes, "--passes", 1, mostPasses) : 1;
    char **operand = argv + optind;
    Image image;
    const std::string path = openProgram(operand[0], image);
    const char *base = strrchr(operand[0], '/');
    const std::string name = shellQuoted(base != nullptr ? base + 1 : operand[0]);
    const Kind kind = kindOf(image, name);
    watchSignals();
    prctl(PR_SET_CHILD_SUBREAPER, 1); // an orphan of the program comes here, to be collected
    if (options.all) {
        refuseUnheld(image, path);
        return everySchedule(path.c_str(), name, kind, image, passes, options.records);
    }
    Request request = {path.c_str(), name, kind, stepsOf(options, operands, operand, kind, name),
                       options.lines};
    const bool asks = request.steps.empty();
    if (asks && !isatty(STDIN_FILENO))
        usageError("expected a schedule or --seed=N (without them, it asks on a terminal)");
    if (!options.answer && !options.lines && !asks) {
        printQuestions(request, image, argc, argv);
        flushOutput(1);
        return 0;
    }
    refuseUnheld(image, path);
    return answer(request, image);
}
