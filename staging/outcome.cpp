// Counting what a run changed, and checking its lines as tallycheck does.
#include "outcome.h"

#include <string.h>

#include <algorithm>

#include "counters.h"
#include "summary.h"
#include "tracecheck.h"

void Tally::account(int worker, Event event) {
    if (event == Event::load || event == Event::change)
        load(worker);
    if (event == Event::store || event == Event::change)
        store(worker);
}

void Tally::load(int worker) {
    loaded[worker] = kept;
    hasLoaded[worker] = true;
}

void Tally::store(int worker) {
    changes.push_back(worker);
    if (hasLoaded[worker])
        kept = loaded[worker];
    hasLoaded[worker] = false;
    kept.push_back(changes.size() - 1);
}

std::vector<int> Tally::lost() const {
    std::vector<int> workers;
    for (size_t change = 0; change < changes.size(); ++change)
        if (std::find(kept.begin(), kept.end(), change) == kept.end())
            workers.push_back(changes[change]);
    return workers;
}

std::string counted(const std::vector<int> &workers, const char *what) {
    if (workers.empty())
        return std::string("no ") + what;
    std::string parts;
    for (int worker = 0; worker < CounterRun::workers; ++worker) {
        const auto number = std::count(workers.begin(), workers.end(), worker);
        if (number > 0)
            parts +=
                (parts.empty() ? "" : ", ") + std::to_string(number) + " " + workerNames[worker];
    }
    return std::to_string(workers.size()) + " " + what + (workers.size() == 1 ? "" : "s") + " (" +
           parts + ")";
}

Verdict check(const std::string &printed) {
    TraceChecker checker;
    for (size_t at = 0; at < printed.size(); at += TraceChecker::readSize) {
        const size_t length = std::min(TraceChecker::readSize, printed.size() - at);
        memcpy(checker.readSpace(), printed.data() + at, length);
        checker.take(length);
    }
    checker.finish();
    const Trace &trace = checker.trace();
    return {verdictOf(trace, false), trace.lines, trace.breaks, drift(trace)};
}
