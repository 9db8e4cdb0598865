// What a run of a counter program came to: the changes made and those that the counter's
// value still holds, and tallycheck's verdict on exactly the lines printed.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "counters.h"
#include "tally.h"

// A store writes what its worker loaded, changed by one: the changes that the other worker
// stored since that load are wiped out. A change made by one instruction loses nothing.
class Tally {
  public:
    // Takes note of what a step of `worker` did to the counter.
    void account(int worker, Event event);
    // The workers whose changes were made, in order, and those whose changes were lost.
    const std::vector<int> &made() const { return changes; }
    std::vector<int> lost() const;

  private:
    void load(int worker);
    void store(int worker);

    std::vector<int> changes;
    std::vector<size_t> kept; // the numbers of the changes that the value is made of
    std::vector<size_t> loaded[2];
    bool hasLoaded[2] = {};
};

// "2 changes (1 Inc, 1 Dec)", or "no change", of the workers listed.
std::string counted(const std::vector<int> &workers, const char *what);

struct Verdict {
    const char *verdict; // consistent, inconsistent, malformed or empty, as tallycheck says
    uint64_t lines;
    uint64_t breaks;
    Count drift;
};
Verdict check(const std::string &printed);
