// Counting and telling what --all's runs came to.
#include "report.h"

#include <errno.h>
#include <time.h>

#include "lost_updates.h"
#include "names.h"
#include "outcome_text.h"
#include "watch.h"

double seconds() {
    timespec clock;
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9;
}

void Report::header() const {
    const Bounds &bounds = request.bounds;
    const std::string order = buffers ? ", stores buffered as on x86" : "";
    std::string text;
    if (lens.on)
        text = "every schedule of " + std::to_string(bounds.passes) + " pass" +
               (bounds.passes == 1 ? "" : "es") + " of each worker";
    else if (bounds.preemptions == ~0U)
        text = "every schedule of at most " + std::to_string(bounds.stepsPerThread) +
               " steps a thread";
    else
        text = "every schedule within " + std::to_string(bounds.preemptions) + " preemption" +
               (bounds.preemptions == 1 ? "" : "s") + " and " +
               std::to_string(bounds.stepsPerThread) + " steps a thread";
    printf("%s\n", folded(request.shown + ": " + text + order, 2).c_str());
    fflush(stdout);
}

void Report::openRecords() {
    // The graph's file is opened before the runs, so that one that cannot be written is
    // said at once, not after them.
    if (request.graph != nullptr && graphFile == nullptr) {
        graphFile = fopen(request.graph, "we");
        if (graphFile == nullptr)
            giveUp("cannot write " + shellQuoted(request.graph), errno);
    }
    if (request.records == nullptr)
        return;
    if (records != nullptr)
        fclose(records);
    records = fopen(request.records, "we");
    if (records == nullptr)
        giveUp("cannot write " + shellQuoted(request.records), errno);
    fputs(lens.on ? "schedule,orders,lines,final,changes,lost,breaks,verdict,deadlock\n"
                  : "schedule,outcome,output\n",
          records);
}

std::string Report::counterRow(const RunRecord &run, const std::string &ending,
                               unsigned long &weight, OutcomeKey &key) {
    const CounterOutcome o = counterOutcome(lens, run);
    // Under store buffers a run stands for no set of orders of the two workers' steps alone:
    // it is counted as itself.
    weight = buffers ? 1 : o.orders;
    const bool deadlock = run.ending.kind == Ending::deadlock;
    char text[160];
    snprintf(text, sizeof text, "%5d %7u %4u %5lu  %-12s %6lu %-8s", o.final, o.changes, o.lost,
             o.lines, o.verdict.c_str(), o.breaks, deadlock ? "yes" : "no");
    std::string row = text;
    if (run.ending.kind != Ending::passes && !deadlock)
        row += "  " + ending;
    key.failing = key.failing || o.lost > 0;
    key.lost = o.lost;
    key.text =
        "final " + std::to_string(o.final) + ", " +
        (o.lost == 0 ? std::string("nothing lost")
                     : std::to_string(o.lost) + (o.lost == 1 ? " change" : " changes") + " lost") +
        (o.lines == 0    ? ", nothing printed"
         : o.breaks == 0 ? ", the trace holds"
                         : ", the trace breaks");
    if (deadlock)
        key.text = "deadlock: " + key.text;
    tally.lose += o.lost > 0 ? weight : 0;
    tally.breaking += o.verdict == "inconsistent" || o.verdict == "malformed" ? weight : 0;
    tally.deadlocks += deadlock ? weight : 0;
    if (o.lost > 0 && tally.failure.empty())
        tally.failure = "loses a change";
    if (records != nullptr)
        fprintf(records, "%s,%lu,%lu,%d,%u,%u,%lu,%s,%s\n", run.schedule.c_str(), o.orders, o.lines,
                o.final, o.changes, o.lost, o.breaks, o.verdict.c_str(), deadlock ? "yes" : "no");
    return row;
}

std::string Report::plainRow(const RunRecord &run, const Places &places, const std::string &ending,
                             OutcomeKey &key) {
    uint64_t where = 0;
    std::string row = cell(ending, 30) + "  " + cell(shownOutput(run.printed), 20);
    if (lostUpdates(run.steps, where) > 0) {
        row += "\n       loses an update to " + places.name(where, 4); // a line of its own
        key.failing = true;
        key.lost = 1;
        key.text += ", loses an update to " + places.name(where, 4);
        if (tally.failure.empty())
            tally.failure = "loses an update";
    }
    if (records != nullptr)
        fprintf(records, "%s,%s,%s\n", run.schedule.c_str(), shellQuoted(ending).c_str(),
                shellQuoted(visible(run.printed)).c_str());
    return row;
}

void Report::take(const RunRecord &run) {
    // Under store buffers a run counts as itself, and a counter program's runs have no
    // bound on preemptions: no figure worth saying.
    if (expected.empty() && !(buffers && lens.on))
        expected =
            expectedSchedules(run, buffers ? CounterLens{} : lens, request.bounds.preemptions);
    const Places places(symbols, bias, run.threads);
    const std::string ending = endingText(run, places);
    unsigned long weight = 1;
    OutcomeKey key{ending, failed(run.ending), 0};
    const std::string row =
        lens.on ? counterRow(run, ending, weight, key) : plainRow(run, places, ending, key);
    count(row, run, weight, key, ending);
    if (graphing && noGraph.empty() && graph.axis(0).thread < 0)
        graph.choose(run, noGraph);
    // The graph colours outcomes by what its legend says of them: rows that differ only in
    // what the graph does not show (how many breaks) share a colour.
    const auto [found, added] = graphIndex.try_emplace(key.text, graphKeys.size());
    if (added)
        graphKeys.push_back(key);
    if (graphing && noGraph.empty())
        graph.add(run, found->second, places, noGraph);
}

// Each outcome once, with its count and the first schedule that gives it.
void Report::count(const std::string &row, const RunRecord &run, unsigned long weight,
                   const OutcomeKey &key, const std::string &ending) {
    const bool bad = key.failing;
    if (bad && tally.failure.empty())
        tally.failure = ending;
    tally.schedules += weight;
    tally.bounded += run.ending.kind == Ending::bound ? weight : 0;
    if (bad) {
        tally.failing += weight;
        if (tally.firstFailing.empty())
            tally.firstFailing = run.schedule;
    }
    const auto found = index.find(row);
    if (found == index.end()) {
        index.emplace(row, groups.size());
        groups.push_back({row, weight, run.schedule});
        return;
    }
    groups[found->second].count += weight;
}

// Never silent for long on a terminal: a line on standard error, redrawn in place each half
// second, with what the first run said there would be. Elsewhere (a pipe, a file, a test)
// standard error stays for what went wrong.
void Report::progress(const Exploration &so) {
    const double now = seconds();
    if (!terminal || now - told < 0.5)
        return;
    told = now;
    // Standard error is line-buffered, and this line has no end: flushed, or it would come
    // out in pieces whenever the buffer filled.
    fprintf(stderr, "\rinterleave: %zu runs, %.0f s%s%s", so.runs, now - start,
            expected.empty() ? "" : "; expects ", expected.c_str());
    fflush(stderr);
}
