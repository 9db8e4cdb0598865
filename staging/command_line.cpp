// interleave's command line: the options up to PROGRAM, and PROGRAM with its own arguments.
#include "command_line.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "diagnose.h"
#include "names.h"
#include "schedule.h"

namespace {

constexpr char usage[] =
    "Usage: interleave [-c | --lines] [-s SCHEDULE | --seed=N [--steps=N] |\n"
    "                  --race=N [--hold=WHO]] [OPTION]... [--] PROGRAM [ARG]...\n"
    "       interleave --all [OPTION]... [--] PROGRAM [ARG]...\n"
    "Runs PROGRAM (a name is looked up on PATH) with its ARGs, held one step at a\n"
    "time: each load or store of memory that another thread can reach, and each call\n"
    "that synchronises (a lock, a semaphore, a condition variable, a thread's start\n"
    "and end), is a step. A SCHEDULE is a letter for each step where more than one\n"
    "thread can go: M for main, then each thread by the initial of its routine (I\n"
    "and D for incThread and decThread), or A, B, C... in the order they start where\n"
    "the initials clash or there are no names; P and C for the parent and the child\n"
    "of a program that forks. Case does not matter (but see --memory=tso), nor do\n"
    "spaces and commas, and a letter followed by a count is repeated (I3 is III). A\n"
    "letter for a thread not yet started lets the others go until it has. Without\n"
    "-c, prints the schedule and the questions to predict; with it, runs the program\n"
    "and shows each step and what the run came to. On a terminal with no schedule,\n"
    "--seed or --race, asks at each step who goes next. With --all, runs every\n"
    "schedule within the bounds, one of each class of schedules that differ only in\n"
    "the order of steps that touch nothing in common, groups them by outcome, and\n"
    "ends with a verdict and the command that replays the first that fails. Options\n"
    "end at PROGRAM: what follows it is the program's own.\n"
    "\n"
    "  -c, --answer     run the program and show the answers\n"
    "      --lines      run it and print only the program's own lines\n"
    "  -s, --schedule=SCHEDULE\n"
    "                   the schedule, as above\n"
    "      --seed=N     a random valid schedule drawn from N (0 to 4294967295)\n"
    "      --steps=N    its number of choices, 1 to 1000 (default 12; spawnlist's\n"
    "                   has 5)\n"
    "      --race=N     the race on demand: the first worker loads the counter and\n"
    "                   is held before its store while the other makes N changes (0\n"
    "                   to 3000)\n"
    "      --hold=WHO   the worker held in the race: inc (the default) or dec\n"
    "      --instructions  show each step's instruction\n"
    "      --page=FILE  with -c, write the run as an HTML page to FILE, to step\n"
    "                   through in a browser with the arrow keys\n"
    "      --all        run every schedule within the bounds and count the outcomes\n"
    "      --passes=N   passes of each worker of a counter program, 1 to 3 (default\n"
    "                   1)\n"
    "      --preemptions=K  at most K switches away from a thread that could go on,\n"
    "                   0 to 1000 (default 2; a counter program's every order)\n"
    "      --max-steps=N  steps of one thread before its run ends at the bound, 1 to\n"
    "                   100000 (default 400)\n"
    "      --time-limit=S  stop --all after S seconds, with a partial verdict\n"
    "                   (default 600)\n"
    "      --records=FILE  write one CSV row a run to FILE\n"
    "      --graph=FILE  draw two threads' progress graph as SVG to FILE: a grid of\n"
    "                   their steps, every schedule a path across it coloured by its\n"
    "                   outcome, shaded where both are between a load and its store\n"
    "      --grid       the same graph, small, on the screen after the verdict\n"
    "      --memory=ORDER  sc (the default): each store reaches memory at once, in\n"
    "                   one order with every load; tso: as on x86, each thread's\n"
    "                   stores wait in its store buffer and reach memory later, each\n"
    "                   a step of its own, named by the thread's letter in small (i:\n"
    "                   I's oldest store leaves); a fence, a locked instruction or a\n"
    "                   library call waits for the buffer to empty\n"
    "      --help       print this help and exit\n"
    "      --version    print the version and exit\n"
    "\n"
    "Exit status: 0 done (with --all, no schedule crashed, aborted, deadlocked,\n"
    "exited non-zero or lost a change; with -c, the schedule did none of these),\n"
    "1 one did, 2 a usage error, 3 the program could not be found, run or held\n"
    "(or, with --graph or --grid and no schedule failing, its runs make no graph).\n";

// The usage errors that the options make together, whatever the program.
void checkCombination(const Options &options) {
    if (options.all &&
        (options.answer || options.lines || options.schedule || options.seed || options.race))
        usageError("--all runs every schedule: it takes no -s, --seed, --race, -c or --lines");
    if (!options.all && (options.records || options.preemptions || options.timeLimit ||
                         options.graph || options.grid))
        usageError("--preemptions, --time-limit, --records, --graph and --grid go with --all");
    if (options.page != nullptr && (!options.answer || options.lines))
        usageError("--page shows the run of -c: it goes with -c, not --lines or --all");
    if ((options.graph || options.grid) && options.memory && strcmp(options.memory, "sc") != 0)
        usageError("--graph and --grid draw schedules of whole steps, under --memory=sc");
    if ((options.schedule != nullptr) + (options.seed != nullptr) + (options.race != nullptr) > 1)
        usageError("-s, --seed or --race: one of them");
    if (options.steps != nullptr && options.seed == nullptr)
        usageError("--steps is the length of a schedule drawn by --seed");
    if (options.hold != nullptr && options.race == nullptr)
        usageError("--hold says which worker --race holds");
}

} // namespace

[[noreturn]] void usageError(const std::string &message) {
    fprintf(stderr, "interleave: %s\nTry 'interleave --help' for more information.\n",
            message.c_str());
    exit(2);
}

unsigned long number(const char *text, const char *option, unsigned long least,
                     unsigned long most) {
    unsigned long value;
    if (!parseNumber(text, most, value) || value < least)
        usageError(std::string(option) + " takes a number from " + std::to_string(least) + " to " +
                   std::to_string(most));
    return value;
}

Options parseCommandLine(int argc, char **argv) {
    enum {
        lines = 256,
        seed,
        steps,
        race,
        hold,
        all,
        passes,
        records,
        preemptions,
        maxSteps,
        timeLimit,
        memory,
        instructions,
        graph,
        grid,
        page,
        help,
        version
    };
    static constexpr option longOptions[] = {
        {"answer", no_argument, nullptr, 'c'},
        {"lines", no_argument, nullptr, lines},
        {"schedule", required_argument, nullptr, 's'},
        {"seed", required_argument, nullptr, seed},
        {"steps", required_argument, nullptr, steps},
        {"race", required_argument, nullptr, race},
        {"hold", required_argument, nullptr, hold},
        {"all", no_argument, nullptr, all},
        {"passes", required_argument, nullptr, passes},
        {"records", required_argument, nullptr, records},
        {"preemptions", required_argument, nullptr, preemptions},
        {"max-steps", required_argument, nullptr, maxSteps},
        {"time-limit", required_argument, nullptr, timeLimit},
        {"memory", required_argument, nullptr, memory},
        {"instructions", no_argument, nullptr, instructions},
        {"graph", required_argument, nullptr, graph},
        {"grid", no_argument, nullptr, grid},
        {"page", required_argument, nullptr, page},
        {"help", no_argument, nullptr, help},
        {"version", no_argument, nullptr, version},
        {}};
    Options options;
    opterr = 0; // getopt's own messages would show the option raw; these quote it
    // '+': the options end at the first operand, PROGRAM, whatever POSIXLY_CORRECT says.
    for (int option; (option = getopt_long(argc, argv, "+:cs:", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 'c':
            options.answer = true;
            break;
        case lines:
            options.lines = true;
            break;
        case 's':
            options.schedule = optarg;
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
        case preemptions:
            options.preemptions = optarg;
            break;
        case maxSteps:
            options.maxSteps = optarg;
            break;
        case timeLimit:
            options.timeLimit = optarg;
            break;
        case memory:
            options.memory = optarg;
            break;
        case instructions:
            options.instructions = true;
            break;
        case graph:
            options.graph = optarg;
            break;
        case grid:
            options.grid = true;
            break;
        case page:
            options.page = optarg;
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
    if (optind == argc)
        usageError("expected a program");
    options.program = argv + optind;
    checkCombination(options);
    return options;
}
