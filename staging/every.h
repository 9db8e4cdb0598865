// Every order of the steps of a program's processes, each a fresh run from its first
// instruction, and what they came to.
#pragma once

#include <stdint.h>

#include <string>

#include "schedule.h"

// Runs every order of the steps of the program at `path` (a parent that forks a child which
// execs), run with the argument vector `argv`; prints one row per outcome and, given
// `records`, writes one CSV row per schedule into that file. Returns 0.
int everyProcessOrder(const char *path, char *const *argv, const std::string &name,
                      const char *records);

// What one complete schedule came to: where the parent's line and its exit fell against the
// listing.
struct Outcome {
    std::string schedule;
    std::string others;       // at each step, the letter that could have gone instead, or '.'
    bool lineFirst = false;   // spawnlist: the parent's line came before the listing
    bool promptFirst = false; // spawnlist: the parent ended before the listing
};

// Runs the schedule that starts with `prefix` and goes on, at each step, with the first of
// the letters that can move, to its end (leaf.cpp).
Outcome runToEnd(const char *path, char *const *argv, const std::string &prefix);
