// Every schedule of a held program within the bounds, each equivalence class of schedules run
// once: a run follows the path of the one before it up to a state where another thread is
// still to be tried, tries it, and goes on without preempting; the reduction of its steps
// says which other threads are still to be tried where.
#pragma once

#include <stdint.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "execution.h"
#include "path.h"
#include "races.h"

struct Bounds {
    MemoryOrder memory = MemoryOrder::sequential;
    unsigned preemptions = 2;
    unsigned stepsPerThread = 400;
    unsigned passes = 0;
    double seconds = 0; // 0: no time limit
};

// One complete run, as the one who reads the outcomes needs it.
struct RunRecord {
    Ending ending;
    std::string printed;
    std::string errors;
    std::string schedule;    // the letters that choose, as -s takes them
    std::vector<Step> steps; // every step taken
    std::vector<Thread> threads;
    std::vector<Choice> path;
};

struct Exploration {
    size_t runs = 0;      // complete runs: one a class of schedules
    size_t redundant = 0; // runs cut short because every thread that could go was asleep
    bool timedOut = false;
};

class Explorer {
  public:
    Explorer(const char *file, char *const *arguments, Image &program, const Bounds &limits)
        : path(file), argv(arguments), image(program), bounds(limits) {}
    // Runs every class of schedules; `each` is told of each complete run.
    // Where a run finds a location on a thread's stack that another thread touches, what
    // was explored is void (that thread's own accesses there were not steps): `restart` is
    // told, and the exploration begins again.
    Exploration explore(
        const std::function<void(const RunRecord &)> &each,
        const std::function<void(const Exploration &)> &progress, size_t most = 0,
        const std::function<void()> &restart = [] {});

  private:
    bool runOnce(RunRecord &record);
    static int choose(const Choice &choice);
    bool reach(size_t depth, const std::vector<int> &enabled, int last, unsigned preemptions);
    static std::vector<Choice> pendingOf(const std::vector<Thread> &threads);

    const char *path;
    char *const *argv;
    Image &image;
    Bounds bounds;
    std::vector<Choice> choices; // the path being followed, then extended
    Reduction reduction;
    std::set<uint64_t> sharedStack; // granules of threads' stacks that others touch
};

// The letters of the steps that chose among threads, as a schedule: a thread's letter for
// each state where more than one could go, leaving out a step whose only point was to start
// the thread that the next letter names (taken anyway when that letter is read).
std::string spell(const std::vector<Choice> &path, const std::vector<Thread> &threads);
// The letter that names `actor` in a schedule: its thread's, or for a thread's store buffer
// the same in small.
char letterOf(int actor, const std::vector<Thread> &threads);
