// Counting what a run of a counter program changed, and checking its lines as tallycheck does.
#include "lens.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <deque>
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

namespace {

// The counter: the 4-byte location that Inc raises by one and Dec lowers by one, each from
// what it loaded (or indivisibly). A flag or a turn that both store to is not it. 0: none.
uint64_t counterOf(const RunRecord &probe, int inc, int dec) {
    std::map<std::pair<int, uint64_t>, uint64_t> loaded;
    std::map<uint64_t, unsigned> changedBy;
    for (const Step &step : probe.steps) {
        if (!isMemory(step.kind) || step.size != sizeof(Count))
            continue;
        const auto key = std::make_pair(step.thread, step.address);
        if (step.kind == StepKind::load) {
            loaded[key] = step.value;
            continue;
        }
        const auto found = loaded.find(key);
        const uint64_t from = step.kind == StepKind::update ? step.before
                              : found != loaded.end()       ? found->second
                                                            : step.value;
        const auto delta = static_cast<int32_t>(step.value - from);
        changedBy[step.address] |= (step.thread == inc && delta == 1 ? 1U : 0U) |
                                   (step.thread == dec && delta == -1 ? 2U : 0U);
    }
    const auto both = std::find_if(changedBy.begin(), changedBy.end(),
                                   [](const auto &place) { return place.second == 3U; });
    return both != changedBy.end() ? both->first : 0;
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
    lens.counter = counterOf(probe, lens.inc, lens.dec);
    lens.on = lens.counter != 0;
    return lens;
}

namespace {

// The changes of a counter program's run, followed step by step: which changes the counter's
// value is made of, and what each worker's last load saw of them.
struct Counting {
    Changes changes;
    std::vector<size_t> kept; // the changes that the counter's value is made of
    std::map<int, std::vector<size_t>> loaded;
    std::map<int, bool> hasLoaded;
    // Under store buffers: what the counter will be made of when each of a worker's buffered
    // stores reaches memory, oldest first.
    std::map<int, std::deque<std::vector<size_t>>> buffered;

    // What the worker sees: memory, or its own newest buffered store.
    const std::vector<size_t> &seen(int worker) {
        const std::deque<std::vector<size_t>> &waiting = buffered[worker];
        return waiting.empty() ? kept : waiting.back();
    }

    void arrives(int worker) {
        std::deque<std::vector<size_t>> &waiting = buffered[worker];
        if (!waiting.empty()) {
            kept = waiting.front();
            waiting.pop_front();
        }
    }

    void change(int worker, const Step &step) {
        changes.made.push_back(worker);
        // A store writes what its worker loaded, changed; so does an exchange of a value
        // computed from a load (not one that changes what is there by one, indivisibly).
        const auto delta = static_cast<int32_t>(step.value - step.before);
        const bool fromLoad =
            step.kind == StepKind::store || (delta != 1 && delta != -1 && hasLoaded[worker]);
        std::vector<size_t> made = fromLoad && hasLoaded[worker] ? loaded[worker] : seen(worker);
        hasLoaded[worker] = false;
        made.push_back(changes.made.size() - 1);
        if (step.buffered)
            buffered[worker].push_back(made);
        else
            kept = made;
    }
};

} // namespace

Changes changesOf(const CounterLens &lens, const std::vector<Step> &steps) {
    Counting counting;
    for (const Step &step : steps) {
        if (!touchesCounter(step, lens.counter) ||
            (step.thread != lens.inc && step.thread != lens.dec))
            continue;
        const int worker = step.thread == lens.inc ? 0 : 1;
        if (step.kind == StepKind::flush) {
            counting.arrives(worker);
        } else if (step.kind == StepKind::load) {
            counting.loaded[worker] = counting.seen(worker);
            counting.hasLoaded[worker] = true;
        } else if (step.value != step.before || step.kind != StepKind::update) {
            counting.change(worker, step); // an update that wrote what was there changed nothing
        }
    }
    Changes &changes = counting.changes;
    for (size_t change = 0; change < changes.made.size(); ++change)
        if (std::find(counting.kept.begin(), counting.kept.end(), change) == counting.kept.end())
            changes.lost.push_back(changes.made[change]);
    return changes;
}

CounterOutcome counterOutcome(const CounterLens &lens, const RunRecord &run) {
    CounterOutcome outcome;
    const Changes changes = changesOf(lens, run.steps);
    // The counter's last value that a step saw: the process may have ended, or been ended at
    // its bound, before it could be read.
    for (const Step &step : run.steps)
        if (touchesCounter(step, lens.counter) && !step.buffered && !step.forwarded)
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
