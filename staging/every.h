// Every schedule of a bounded run of the real program, each a fresh run from its first
// instruction, and what they came to.
#pragma once

#include <stdint.h>

#include <string>

#include "schedule.h"
#include "tally.h"

class Image;

// The most passes of each worker that --all runs: three passes of loosetally's are 48,620
// schedules, minutes of work.
inline constexpr unsigned long mostPasses = 3;

// Runs every schedule of `passes` passes of each worker (or every order of a process's
// steps) of the program at `path`, run with the argument vector `argv`, prints one row per outcome
// and, given `records`, writes one CSV row per schedule into that file. Returns 0 when no schedule
// loses a change, breaks the trace or deadlocks, 1 when one does.
int everySchedule(const char *path, char *const *argv, const std::string &name, Kind kind,
                  Image &image, unsigned long passes, const char *records);

// What one complete schedule came to: for a counter program, its counter, changes and
// lines; for spawnlist, where the parent's line and its exit fell against the listing.
struct Outcome {
    std::string schedule;
    std::string others; // at each step, the letter that could have gone instead, or '.'
    Count final = 0;
    unsigned changes = 0;
    unsigned lost = 0;
    unsigned long lines = 0;
    unsigned long breaks = 0;
    std::string verdict;
    bool deadlock = false;
    bool lineFirst = false;   // spawnlist: the parent's line came before the listing
    bool promptFirst = false; // spawnlist: the parent ended before the listing
};

// Runs the schedule that starts with `prefix` and goes on, at each step, with the first of
// the letters that can move, to its end (leaf.cpp).
Outcome runToEnd(const char *path, char *const *argv, Kind kind, Image &image, unsigned long passes,
                 const std::string &prefix);
