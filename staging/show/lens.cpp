// Counting what a run of a counter program changed, and checking its lines as tallycheck does.
#include "lens.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "summary.h"
#include "tracecheck.h"

namespace {

bool reportLines(const std::string &text) {
    if (text.empty() || text.back() != '\n')
        return false;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        if (line.rfind("Inc: ", 0) != 0 && line.rfind("Dec: ", 0) != 0)
            return false;
        at = end + 1;
    }
    return true;
}

bool touchesCounter(const Step &step, uint64_t counter) {
    return isMemory(step.kind) && step.address == counter && step.size == sizeof(Count);
}

} // namespace

CounterLens lensOf(const RunRecord &probe) {
    CounterLens lens;
    if (probe.threads.size() != 3 || !reportLines(probe.printed))
        return lens;
    for (const Step &step : probe.steps) {
        if (step.printed.rfind("Inc: ", 0) == 0 && step.thread > 0)
            lens.inc = step.thread;
        if (step.printed.rfind("Dec: ", 0) == 0 && step.thread > 0)
            lens.dec = step.thread;
    }
    if (lens.inc < 0 || lens.dec < 0 || lens.inc == lens.dec)
        return lens;
    // The counter: the 4-byte location that both workers store to.
    std::map<uint64_t, unsigned> storers;
    for (const Step &step : probe.steps)
        if (step.kind != StepKind::load && isMemory(step.kind) && step.size == sizeof(Count))
            storers[step.address] |= 1U << (step.thread == lens.inc   ? 0
                                            : step.thread == lens.dec ? 1
                                                                      : 2);
    for (const auto &[address, who] : storers)
        if ((who & 3U) == 3U)
            lens.counter = address;
    lens.on = lens.counter != 0;
    return lens;
}

Changes changesOf(const CounterLens &lens, const std::vector<Step> &steps) {
    Changes changes;
    std::vector<size_t> kept; // the changes that the counter's value is made of
    std::map<int, std::vector<size_t>> loaded;
    std::map<int, bool> hasLoaded;
    for (const Step &step : steps) {
        if (!touchesCounter(step, lens.counter) ||
            (step.thread != lens.inc && step.thread != lens.dec))
            continue;
        const int worker = step.thread == lens.inc ? 0 : 1;
        if (step.kind == StepKind::load) {
            loaded[worker] = kept;
            hasLoaded[worker] = true;
            continue;
        }
        if (step.value == step.before && step.kind == StepKind::update)
            continue; // wrote what was there: no change
        changes.made.push_back(worker);
        // A store writes what its worker loaded, changed; so does an exchange of a value
        // computed from a load (not one that changes what is there by one, indivisibly).
        const auto delta = static_cast<int32_t>(step.value - step.before);
        const bool fromLoad =
            step.kind == StepKind::store || (delta != 1 && delta != -1 && hasLoaded[worker]);
        if (fromLoad && hasLoaded[worker])
            kept = loaded[worker];
        hasLoaded[worker] = false;
        kept.push_back(changes.made.size() - 1);
    }
    for (size_t change = 0; change < changes.made.size(); ++change)
        if (std::find(kept.begin(), kept.end(), change) == kept.end())
            changes.lost.push_back(changes.made[change]);
    return changes;
}

namespace {

// For each step of one thread (side), how many steps of the other must have gone before it,
// and how many at most may have.
struct Window {
    std::vector<size_t> least;
    std::vector<size_t> most;
};

Window windowOf(const std::vector<std::vector<int>> &clocks, const std::vector<size_t> &mine,
                const std::vector<size_t> &theirs, int me, int them) {
    Window window{std::vector<size_t>(mine.size(), 0),
                  std::vector<size_t>(mine.size(), theirs.size())};
    for (size_t x = 0; x < mine.size(); ++x)
        for (size_t y = 0; y < theirs.size(); ++y) {
            if (clocks[mine[x]][static_cast<size_t>(them)] >= static_cast<int>(theirs[y]) + 1)
                window.least[x] = std::max(window.least[x], y + 1); // y happens before x
            if (clocks[theirs[y]][static_cast<size_t>(me)] >= static_cast<int>(mine[x]) + 1)
                window.most[x] = std::min(window.most[x], y); // x happens before y
        }
    return window;
}

} // namespace

unsigned long ordersOf(const std::vector<Choice> &path, int a, int b) {
    size_t threads = 0;
    for (const Choice &choice : path)
        threads = std::max(threads, static_cast<size_t>(choice.taken) + 1);
    const auto clocks = clocksOf(path, threads);
    std::vector<size_t> of[2];
    for (size_t i = 0; i < path.size(); ++i)
        if (path[i].taken == a || path[i].taken == b)
            of[path[i].taken == a ? 0 : 1].push_back(i);
    const Window first = windowOf(clocks, of[0], of[1], a, b);
    const Window second = windowOf(clocks, of[1], of[0], b, a);
    // Lattice paths: ways[i][j] orders of a's first i steps and b's first j.
    const size_t n = of[0].size();
    const size_t m = of[1].size();
    std::vector<std::vector<unsigned long>> ways(n + 1, std::vector<unsigned long>(m + 1, 0));
    ways[0][0] = 1;
    for (size_t i = 0; i <= n; ++i)
        for (size_t j = 0; j <= m; ++j) {
            if (i < n && first.least[i] <= j && j <= first.most[i])
                ways[i + 1][j] += ways[i][j];
            if (j < m && second.least[j] <= i && i <= second.most[j])
                ways[i][j + 1] += ways[i][j];
        }
    return ways[n][m];
}

CounterOutcome counterOutcome(const CounterLens &lens, const RunRecord &run) {
    CounterOutcome outcome;
    const Changes changes = changesOf(lens, run.steps);
    // The counter's last value that a step saw: the process may have ended, or been ended at
    // its bound, before it could be read.
    for (const Step &step : run.steps)
        if (touchesCounter(step, lens.counter))
            outcome.final = static_cast<Count>(step.value);
    outcome.changes = static_cast<unsigned>(changes.made.size());
    outcome.lost = static_cast<unsigned>(changes.lost.size());
    TraceChecker checker;
    for (size_t at = 0; at < run.printed.size(); at += TraceChecker::readSize) {
        const size_t length = std::min(TraceChecker::readSize, run.printed.size() - at);
        memcpy(checker.readSpace(), run.printed.data() + at, length);
        checker.take(length);
    }
    checker.finish();
    const Trace &trace = checker.trace();
    outcome.lines = trace.lines;
    outcome.breaks = trace.breaks;
    outcome.verdict = verdictOf(trace, false);
    outcome.orders = ordersOf(run.path, lens.inc, lens.dec);
    return outcome;
}

namespace {

// (thread, address), whose last access was a load: the value it loaded, and whether another
// thread has changed it since.
using Loads = std::map<std::pair<int, uint64_t>, std::pair<uint64_t, bool>>;

// Whether a store (or a swap, not a change by one made indivisibly) writes what its thread
// loaded, changed by one, over another thread's change made since the load.
bool overwritesStale(const Step &step, const Loads &loads) {
    const auto change = static_cast<int32_t>(step.value - step.before);
    const bool indivisibleChange = step.kind == StepKind::update && (change == 1 || change == -1);
    if (step.kind == StepKind::load || indivisibleChange)
        return false;
    const auto seen = loads.find({step.thread, step.address});
    if (seen == loads.end() || !seen->second.second)
        return false;
    const auto delta = static_cast<int64_t>(step.value - seen->second.first);
    return step.half || delta == 1 || delta == -1;
}

// A store changes what the other threads loaded from there.
void changeLoads(const Step &step, Loads &loads) {
    for (auto &[key, seen] : loads)
        if (key.second == step.address && key.first != step.thread && step.value != seen.first)
            seen.second = true;
}

} // namespace

unsigned lostUpdates(const std::vector<Step> &steps, uint64_t &where) {
    Loads loads;
    unsigned lost = 0;
    for (const Step &step : steps) {
        if (!isMemory(step.kind))
            continue;
        if (overwritesStale(step, loads) && lost++ == 0)
            where = step.address;
        const auto key = std::make_pair(step.thread, step.address);
        if (step.kind == StepKind::load) {
            loads[key] = {step.value, false};
            continue;
        }
        loads.erase(key);
        if (step.kind == StepKind::store || step.value != step.before)
            changeLoads(step, loads);
    }
    return lost;
}

// How many schedules there are, from the steps of the first run: for a counter program every
// order of its two workers' steps; else, as an upper bound, the orders of the threads' steps
// that switch at most the bound's number of times. Runs are fewer: one for each class.
std::string expectedSchedules(const RunRecord &first, const CounterLens &lens,
                              unsigned preemptions) {
    std::vector<double> steps(first.threads.size(), 0);
    for (const Step &step : first.steps)
        steps[static_cast<size_t>(step.thread)] += 1;
    const double total = std::accumulate(steps.begin(), steps.end(), 0.0);
    double schedules = 0;
    if (lens.on) {
        const double n = steps[static_cast<size_t>(lens.inc)];
        const auto m = static_cast<unsigned>(steps[static_cast<size_t>(lens.dec)]);
        schedules = 1;
        for (unsigned k = 1; k <= m; ++k)
            schedules = schedules * (n + k) / k; // (n + m choose m)
    } else {
        const double others = std::max(1.0, static_cast<double>(steps.size()) - 1);
        double ways = 1;
        const unsigned most = std::min(preemptions, 64U);
        for (unsigned k = 0; k <= most && k < total; ++k) {
            schedules += ways;
            ways = ways * (total - 1 - k) / (k + 1) * others; // (total-1 choose k) * others^k
        }
    }
    char text[96];
    snprintf(text, sizeof text, "%s%.0f schedules", lens.on ? "" : "at most about ", schedules);
    return text;
}
