// interleave: the learner is the scheduler. Runs a real program, loosetally, guardtally,
// spawnlist or one of their shape, held under ptrace one step at a time in the order that
// a schedule gives, and says what each step did; or prints the schedule and the questions
// to predict first; or runs every schedule of a few passes and counts what they came to.
// Exit status 0 when it did what was asked (and, with --all, no schedule lost a change,
// broke the trace or deadlocked), 1 when a schedule of --all did, or when the program could
// not be run or held, 2 for a usage error.
#include <fcntl.h>
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
#include "command_line.h"
#include "diagnose.h"
#include "every.h"
#include "image.h"
#include "names.h"
#include "watch.h"

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

// The schedule's steps, from -s, a seed or a race; empty when none was given.
std::string stepsOf(const Options &options, Kind kind, const std::string &name) {
    std::string steps;
    std::string why;
    if (options.schedule != nullptr &&
        !parseSchedule(options.schedule, kind, name.c_str(), steps, why))
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
    // The same command with -c, as it was typed: it works wherever this one did. -c goes
    // first, where it is one of interleave's options and not the program's.
    std::string again = shellQuoted(argv[0]) + " -c";
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

// The program that `operand` names, read; exits with the reason when there is none to hold.
std::string openProgram(const char *operand, Image &image) {
    std::string why;
    std::string path = findProgram(operand, why);
    if (path.empty()) {
        fprintf(stderr, "interleave: %s\n", why.c_str());
        exit(1);
    }
    const char *problem;
    if (!image.open(path.c_str(), problem)) {
        fprintf(stderr, "interleave: cannot hold %s: it %s\n", shellQuoted(path).c_str(), problem);
        exit(1);
    }
    return path;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
    if (!keepClosedStreamsClosed())
        return 1;
    const Options options = parseCommandLine(argc, argv);
    const unsigned long passes =
        options.passes != nullptr ? number(options.passes, "--passes", 1, mostPasses) : 1;
    const char *program = options.program[0];
    Image image;
    const std::string path = openProgram(program, image);
    const char *base = strrchr(program, '/');
    const std::string name = shellQuoted(base != nullptr ? base + 1 : program);
    const Kind kind = kindOf(image, name);
    watchSignals();
    prctl(PR_SET_CHILD_SUBREAPER, 1); // an orphan of the program comes here, to be collected
    if (options.all) {
        refuseUnheld(image, path);
        return everySchedule(path.c_str(), options.program, name, kind, image, passes,
                             options.records);
    }
    Request request = {path.c_str(), options.program, name, kind, stepsOf(options, kind, name),
                       options.lines};
    const bool asks = request.steps.empty();
    if (asks && !isatty(STDIN_FILENO))
        usageError("expected -s SCHEDULE, --seed=N or --race=N (without them, it asks on a "
                   "terminal)");
    if (!options.answer && !options.lines && !asks) {
        printQuestions(request, image, argc, argv);
        flushOutput(1);
        return 0;
    }
    refuseUnheld(image, path);
    return answer(request, image);
}
