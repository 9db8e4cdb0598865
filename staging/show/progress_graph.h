// The progress graph of two threads: the grid of their steps (one thread's across, the
// other's down), with every schedule that the runs stand for as a path across it, coloured by
// the outcome of its run; the states where both threads are between a load of one place and
// their store back to it, where a change can be lost; and the states that no schedule
// reaches, as where a lock keeps them out.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <array>
#include <string>
#include <vector>

#include "explorer.h"
#include "places.h"

// One thread's side of the grid: its steps in order, the same in every run (a run that
// ended early, at a deadlock, takes the first of them).
struct Axis {
    int thread = -1;
    char letter = '?';
    std::string name;
    std::vector<std::string> steps;  // each in a few words: "load count", "sem_wait(s)"
    std::vector<std::string> places; // what each touches, by name: memory, or a lock
    std::vector<Step> taken;         // as the first run to take them all took them
};

// The states where both threads are between a load and their store back to the same place:
// x from after a's load up to before its store, and y the same for b.
struct Region {
    size_t fromX, toX, fromY, toY; // inclusive
    std::string place;
};

// What the paths of one outcome use: which steps right and down from each state.
struct OutcomeEdges {
    std::vector<std::vector<bool>> right; // [x][y]: a's step from (x, y)
    std::vector<std::vector<bool>> down;
    std::vector<std::vector<bool>> ends; // where a run that could not finish stopped
    unsigned long paths = 0;
};

// What an outcome is, for a legend: "final 1, 1 lost", whether it fails, the changes lost.
struct OutcomeKey {
    std::string text;
    bool failing = false;
    unsigned lost = 0;
};

class ProgressGraph {
  public:
    // The two threads that the graph shows, from the first run: the two besides main that
    // take steps, or main and the one other. `why` says why there are none.
    bool choose(const RunRecord &first, std::string &why);
    // Adds the paths of a run's class of schedules to `outcome`'s; false, with `why`, where
    // the run's steps do not follow the axes (a thread that loops as long as it waits).
    bool add(const RunRecord &run, size_t outcome, const Places &places, std::string &why);
    // Once every run is in: the regions, from the axes' steps.
    void finish();

    const Axis &axis(size_t side) const { return axes[side]; }
    size_t across() const { return axes[0].steps.size(); }
    size_t down() const { return axes[1].steps.size(); }
    const std::vector<OutcomeEdges> &outcomes() const { return edges; }
    const std::vector<Region> &races() const { return regions; }
    // Whether some path of an outcome in `which` passes through (x, y); which: 1 passing,
    // 2 failing, 3 either, as `keys` tell the outcomes.
    bool reached(size_t x, size_t y, const std::vector<OutcomeKey> &keys, unsigned which) const;
    // The locks whose both holding would put the threads in (x, y): empty where none.
    std::string bothHold(size_t x, size_t y) const;

  private:
    static bool follow(Axis &axis, const std::vector<Step> &steps, const Places &places);
    void resize(OutcomeEdges &outcome) const;
    static std::vector<std::string> heldBy(const Axis &axis, size_t x);

    std::array<Axis, 2> axes;
    std::vector<OutcomeEdges> edges;
    std::vector<Region> regions;
};

// The graph as an SVG picture, with `title` above it; false on a write error.
bool drawGraph(const ProgressGraph &graph, const std::vector<OutcomeKey> &keys,
               const std::string &title, FILE *into);
// The graph small, on the screen: a character a state, within 80 columns; or a line that
// says why it does not fit.
std::string gridText(const ProgressGraph &graph, const std::vector<OutcomeKey> &keys);
