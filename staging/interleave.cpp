// interleave: the learner is the scheduler. Runs a real program held under ptrace one step
// at a time, in the order that a schedule gives, and says what each step did; or prints the
// schedule and the questions to predict first; or runs every schedule within bounds and
// says what they came to. Threads are held by the model of threads and steps; a program that
// forks and starts no thread (spawnlist) by its processes.
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

#include "all_schedules.h"
#include "answers.h"
#include "arch.h"
#include "command_line.h"
#include "diagnose.h"
#include "every.h"
#include "image.h"
#include "names.h"
#include "one_schedule.h"
#include "watch.h"

namespace {

// The program's kind: one that forks and starts no thread is held as its processes (a parent
// and its child); any other as its threads, however many it starts (none, even).
Kind kindOf(const Image &image) {
    const bool forks =
        image.file().uses("fork") || image.file().uses("_Fork") || image.file().uses("vfork");
    const bool threads = image.file().uses("pthread_create") ||
                         image.file().uses("_ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_"
                                           "StateESt14default_deleteIS1_EEPFvvE");
    return forks && !threads ? Kind::processes : Kind::counter;
}

// The bounds that the options set.
Bounds boundsOf(const Options &options) {
    Bounds bounds;
    if (options.passes != nullptr)
        bounds.passes = static_cast<unsigned>(number(options.passes, "--passes", 1, 3));
    if (options.preemptions != nullptr)
        bounds.preemptions =
            static_cast<unsigned>(number(options.preemptions, "--preemptions", 0, 1000));
    if (options.maxSteps != nullptr)
        bounds.stepsPerThread =
            static_cast<unsigned>(number(options.maxSteps, "--max-steps", 1, 100000));
    if (options.memory != nullptr && strcmp(options.memory, "sc") != 0 &&
        strcmp(options.memory, "tso") != 0)
        usageError("--memory takes sc or tso, not " + shellQuoted(options.memory));
    if (options.memory != nullptr && strcmp(options.memory, "tso") == 0)
        bounds.memory = MemoryOrder::storeBuffers;
    bounds.seconds = options.timeLimit != nullptr
                         ? static_cast<double>(number(options.timeLimit, "--time-limit", 1, 86400))
                         : 600;
    return bounds;
}

// The schedule's steps, from -s, a seed or a race; empty when none was given.
// The letters of a threaded program's threads other than main, from one run of it.
std::string threadLetters(const char *path, char *const *argv, Image &image) {
    Bounds probe;
    probe.preemptions = 0;
    probe.passes = 1;
    probe.stepsPerThread = 60;
    std::string found;
    Explorer(path, argv, image, probe)
        .explore(
            [&found](const RunRecord &run) {
                for (size_t i = 1; i < run.threads.size(); ++i)
                    found += run.threads[i].letter;
            },
            [](const Exploration &) {}, 1);
    return found;
}

std::string stepsOf(const Options &options, Kind kind, const std::string &name,
                    const std::string &workers, bool buffers) {
    std::string steps;
    std::string why;
    if (options.schedule != nullptr &&
        !parseSchedule(options.schedule, kind, name.c_str(), steps, why, buffers))
        usageError(why);
    if (options.seed != nullptr) {
        const unsigned long seed = number(options.seed, "--seed", 0, UINT32_MAX);
        const unsigned long length =
            options.steps ? number(options.steps, "--steps", 1, mostDrawnSteps) : 12;
        steps = kind == Kind::processes
                    ? seededSchedule(kind, static_cast<uint32_t>(seed), length)
                    : seededLetters(workers, static_cast<uint32_t>(seed), length);
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
    const std::string heading = request.name + ", schedule " + grouped(request.steps) + ": " +
                                std::to_string(request.steps.size()) +
                                (request.kind == Kind::processes ? " steps"
                                 : request.steps.size() == 1     ? " choice"
                                                                 : " choices");
    printf("%s\n", folded(heading, 2).c_str());
    std::string row;
    for (size_t i = 0; i < request.steps.size(); ++i) {
        char cell[32];
        const char letter[] = {request.steps[i], '\0'};
        snprintf(cell, sizeof cell, "%4zu %-7s", i + 1,
                 request.kind == Kind::counter ? letter : whoTakes(request.kind, request.steps[i]));
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
        again.append(" ").append(shellQuoted(argv[i]));
    printf("Check with: %s\n", again.c_str());
}

// What interleave cannot hold, said before it starts anything.
void refuseUnheld(const Image &image, const std::string &path) {
    if (!holdsPrograms())
        giveUp(std::string("holds programs on x86-64 only; on ") + processorName() + ", not yet");
    if (image.file().uses("__tsan_init"))
        giveUp(shellQuoted(path) +
               " is built with ThreadSanitizer, whose runtime makes every "
               "access to shared memory itself, so no step stands in the program's own code; "
               "use another build");
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
        return troubleStatus;
    const Options options = parseCommandLine(argc, argv);
    const Bounds bounds = boundsOf(options); // a bound out of its range is a usage error, always
    const char *program = options.program[0];
    Image image;
    const std::string path = openProgram(program, image);
    const char *base = strrchr(program, '/');
    const std::string name = shellQuoted(base != nullptr ? base + 1 : program);
    const Kind kind = kindOf(image);
    watchSignals();
    prctl(PR_SET_CHILD_SUBREAPER, 1); // an orphan of the program comes here, to be collected
    std::string shown = shellQuoted(program);
    for (char **arg = options.program + 1; *arg != nullptr; ++arg)
        shown.append(" ").append(shellQuoted(*arg));
    if (kind == Kind::processes && bounds.memory == MemoryOrder::storeBuffers)
        usageError("--memory=tso is for threads that share memory; " + name +
                   "'s processes share none");
    if (kind == Kind::processes && (options.graph || options.grid || options.page))
        usageError("--graph, --grid and --page show threads; " + name +
                   " runs processes, which share no memory");
    if (kind == Kind::processes && options.all) {
        refuseUnheld(image, path);
        return everyProcessOrder(path.c_str(), options.program, name, options.records);
    }
    if (kind == Kind::counter && options.all) {
        refuseUnheld(image, path);
        EveryRequest request;
        request.path = path.c_str();
        request.argv = options.program;
        request.shown = shown;
        request.command = shellQuoted(argv[0]);
        request.bounds = bounds;
        request.passesGiven = options.passes != nullptr;
        request.preemptionsGiven = options.preemptions != nullptr;
        request.records = options.records;
        request.graph = options.graph;
        request.grid = options.grid;
        return everySchedule(image, request);
    }
    // A drawn schedule's letters are the program's threads', from one run of it; where it
    // cannot be held, those of the counter programs' workers.
    const bool holdable = holdsPrograms() && !image.file().uses("__tsan_init");
    const std::string workers = kind != Kind::counter || options.seed == nullptr ? ""
                                : holdable ? threadLetters(path.c_str(), options.program, image)
                                           : "ID";
    Request request = {
        path.c_str(),
        options.program,
        name,
        kind,
        stepsOf(options, kind, name, workers, bounds.memory == MemoryOrder::storeBuffers),
        options.lines};
    const bool asks =
        options.schedule == nullptr && options.seed == nullptr && options.race == nullptr;
    if (asks && !isatty(STDIN_FILENO))
        usageError("expected -s SCHEDULE, --seed=N or --race=N (without them, it asks on a "
                   "terminal)");
    if (!options.answer && !options.lines && !asks) {
        printQuestions(request, image, argc, argv);
        flushOutput(1);
        return 0;
    }
    refuseUnheld(image, path);
    if (kind == Kind::processes)
        return answer(request);
    AnswerRequest one;
    one.path = path.c_str();
    one.argv = options.program;
    one.shown = shown;
    one.schedule = request.steps;
    one.asking = asks;
    one.linesOnly = options.lines;
    one.instructions = options.instructions;
    one.page = options.page;
    one.bounds = bounds;
    return answerSchedule(image, one);
}
