// A run's class of schedules on the grid of two threads' steps, from its happens-before clocks.
#include "class_grid.h"

#include <algorithm>

#include "races.h"

ClassGrid::ClassGrid(const std::vector<Choice> &path, int a, int b) {
    const Actors actors(path, {});
    const auto clocks = clocksOf(path, actors);
    std::vector<size_t> of[2];
    for (size_t i = 0; i < path.size(); ++i)
        if (path[i].taken == a || path[i].taken == b)
            of[path[i].taken == a ? 0 : 1].push_back(i);
    const size_t slots[2] = {actors.slot(a), actors.slot(b)};
    for (int side = 0; side < 2; ++side) {
        const std::vector<size_t> &mine = of[side];
        const std::vector<size_t> &theirs = of[1 - side];
        Window &window = windows[side];
        window.least.assign(mine.size(), 0);
        window.most.assign(mine.size(), theirs.size());
        for (size_t x = 0; x < mine.size(); ++x)
            for (size_t y = 0; y < theirs.size(); ++y) {
                if (clocks[mine[x]][slots[1 - side]] >= static_cast<int>(theirs[y]) + 1)
                    window.least[x] = std::max(window.least[x], y + 1); // y happens before x
                if (clocks[theirs[y]][slots[side]] >= static_cast<int>(mine[x]) + 1)
                    window.most[x] = std::min(window.most[x], y); // x happens before y
            }
    }
}

bool ClassGrid::right(size_t x, size_t y) const {
    return x < across() && windows[0].least[x] <= y && y <= windows[0].most[x];
}

bool ClassGrid::downward(size_t x, size_t y) const {
    return y < down() && windows[1].least[y] <= x && x <= windows[1].most[y];
}

std::vector<std::vector<unsigned long>> ClassGrid::waysTo() const {
    std::vector<std::vector<unsigned long>> ways(across() + 1,
                                                 std::vector<unsigned long>(down() + 1, 0));
    ways[0][0] = 1;
    for (size_t x = 0; x <= across(); ++x)
        for (size_t y = 0; y <= down(); ++y) {
            if (right(x, y))
                ways[x + 1][y] += ways[x][y];
            if (downward(x, y))
                ways[x][y + 1] += ways[x][y];
        }
    return ways;
}

std::vector<std::vector<unsigned long>> ClassGrid::waysOn() const {
    std::vector<std::vector<unsigned long>> ways(across() + 1,
                                                 std::vector<unsigned long>(down() + 1, 0));
    ways[across()][down()] = 1;
    for (size_t x = across() + 1; x-- > 0;)
        for (size_t y = down() + 1; y-- > 0;) {
            if (right(x, y))
                ways[x][y] += ways[x + 1][y];
            if (downward(x, y))
                ways[x][y] += ways[x][y + 1];
        }
    return ways;
}

unsigned long ordersOf(const std::vector<Choice> &path, int a, int b) {
    const ClassGrid grid(path, a, b);
    return grid.waysTo()[grid.across()][grid.down()];
}
