// Two threads' steps as a grid, the progress of one across and of the other down: state (x, y)
// is x steps of the first taken and y of the second. An order of their steps is a path from
// (0, 0) that takes one step right or down at a time. A run's class of schedules is every such
// path that keeps each order the run holds between the two threads' steps (two steps that
// touch the same place, directly or through other threads' steps).
#pragma once

#include <stddef.h>

#include <vector>

#include "path.h"

class ClassGrid {
  public:
    // The grid of the steps of threads `a` (across) and `b` (down) in `path`.
    ClassGrid(const std::vector<Choice> &path, int a, int b);
    size_t across() const { return windows[0].least.size(); }
    size_t down() const { return windows[1].least.size(); }
    // Whether the class may take a's next step from (x, y), or b's.
    bool right(size_t x, size_t y) const;
    bool downward(size_t x, size_t y) const;
    // How many paths of the class lead from (0, 0) to each state, [x][y].
    std::vector<std::vector<unsigned long>> waysTo() const;
    // How many lead from each state to (across, down), where the run ended.
    std::vector<std::vector<unsigned long>> waysOn() const;

  private:
    // For each step of one thread, how many steps of the other must have gone before it
    // (least), and how many at most may have (most).
    struct Window {
        std::vector<size_t> least;
        std::vector<size_t> most;
    };
    Window windows[2];
};

// The number of orders of the steps of threads `a` and `b` that keep every order the path
// holds between them.
unsigned long ordersOf(const std::vector<Choice> &path, int a, int b);
