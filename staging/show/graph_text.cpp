// The progress graph small, on the screen: a cell a state, its character saying which
// schedules pass through it, in brackets where both threads are between a load and their
// store back to the same place.
#include <algorithm>
#include <string>

#include "progress_graph.h"

namespace {

constexpr size_t screen = 80;
constexpr size_t longestLabel = 22;

// "I's steps: 1 load count, 2 store count, ...", folded within the screen.
std::string stepsLine(const Axis &axis) {
    std::string out = std::string(1, axis.letter) + "'s steps:";
    size_t column = out.size();
    for (size_t k = 0; k < axis.steps.size(); ++k) {
        std::string item(" ");
        item.append(std::to_string(k + 1)).append(" ").append(axis.steps[k]);
        item.append(k + 1 < axis.steps.size() ? "," : "");
        if (column + item.size() > screen) {
            out += "\n   ";
            column = 3;
        }
        out += item;
        column += item.size();
    }
    return out + "\n";
}

bool inRace(const ProgressGraph &graph, size_t x, size_t y) {
    return std::any_of(graph.races().begin(), graph.races().end(), [x, y](const Region &r) {
        return x >= r.fromX && x <= r.toX && y >= r.fromY && y <= r.toY;
    });
}

bool stuck(const ProgressGraph &graph, size_t x, size_t y) {
    return std::any_of(graph.outcomes().begin(), graph.outcomes().end(),
                       [x, y](const OutcomeEdges &e) { return e.paths > 0 && e.ends[x][y]; });
}

char mark(const ProgressGraph &graph, const std::vector<OutcomeKey> &keys, size_t x, size_t y) {
    if (stuck(graph, x, y))
        return '!';
    const bool passing = graph.reached(x, y, keys, 1);
    const bool failed = graph.reached(x, y, keys, 2);
    if (passing || failed)
        return passing && failed ? '+' : failed ? 'x' : 'o';
    return graph.bothHold(x, y).empty() ? '.' : '#';
}

} // namespace

std::string gridText(const ProgressGraph &graph, const std::vector<OutcomeKey> &keys) {
    const Axis &a = graph.axis(0);
    const Axis &b = graph.axis(1);
    size_t label = 0;
    for (const std::string &step : b.steps)
        label = std::max(label, std::min(step.size(), longestLabel));
    if (3 + label + 3 * (graph.across() + 1) > screen)
        return "graph: " + std::to_string(graph.across()) +
               " steps across do not fit the screen; --graph=FILE draws them\n";
    std::string out = "progress: " + std::string(1, a.letter) + " across, " +
                      std::string(1, b.letter) +
                      " down; every schedule a path from top left to bottom right\n" +
                      stepsLine(a) + std::string(3 + label, ' ');
    for (size_t x = 0; x <= graph.across(); ++x) {
        const std::string n = std::to_string(x);
        out += n.size() == 1 ? " " + n + " " : n + " "; // over the state's mark
    }
    while (out.back() == ' ')
        out.pop_back();
    out += "\n";
    bool races = false;
    for (size_t y = 0; y <= graph.down(); ++y) {
        const std::string n = std::to_string(y);
        const std::string step = y == 0 ? "" : b.steps[y - 1].substr(0, longestLabel);
        out += std::string(2 - std::min<size_t>(n.size(), 2), ' ');
        out.append(n).append(" ").append(step);
        out += std::string(label - step.size(), ' ');
        for (size_t x = 0; x <= graph.across(); ++x) {
            const bool race = inRace(graph, x, y);
            races = races || race;
            out += race ? '[' : ' ';
            out += mark(graph, keys, x, y);
            out += race ? ']' : ' ';
        }
        while (out.back() == ' ')
            out.pop_back();
        out += "\n";
    }
    out += "o only schedules that pass go through, x only ones that fail, + both;\n"
           "# none: both would hold a lock; . none; ! a run stuck there\n";
    if (races)
        out += "[ ] both threads between a load of a place and their store back to it\n";
    return out;
}
