// Running every class of schedules and telling what they came to.
#include "all_schedules.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "lens.h"
#include "lost_updates.h"
#include "names.h"
#include "outcome_text.h"
#include "watch.h"

namespace {

struct Group {
    std::string row;
    unsigned long count = 0;
    std::string first;
    bool bad = false;
};

struct Tally {
    unsigned long schedules = 0; // orders, for a counter program; runs otherwise
    unsigned long failing = 0;
    unsigned long lose = 0;
    unsigned long breaking = 0;
    unsigned long deadlocks = 0;
    unsigned long bounded = 0;
    std::string firstFailing;
    std::string failure;
};

double seconds() {
    timespec clock;
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9;
}

// What --all has seen so far, and how it tells it.
class Report {
  public:
    Report(const EveryRequest &asked, const CounterLens &counter, Image &image)
        : request(asked), lens(counter), symbols(image.file().symbols()),
          bias(image.entry() - image.file().entry()) {}
    void header() const;
    void openRecords();
    // The runs so far are void: the exploration begins again.
    void restart() {
        groups.clear();
        index.clear();
        tally = Tally{};
        openRecords();
    }
    void take(const RunRecord &run);
    void progress(const Exploration &so);
    // The table, the verdict and the replay; returns interleave's exit status.
    int finish(const Exploration &done);

  private:
    std::string counterRow(const RunRecord &run, const std::string &ending, unsigned long &weight,
                           bool &bad);
    std::string plainRow(const RunRecord &run, const Places &places, const std::string &ending,
                         bool &bad);
    void count(const std::string &row, const RunRecord &run, unsigned long weight, bool bad,
               const std::string &ending);
    void verdict(const Exploration &done) const;

    const EveryRequest &request;
    const CounterLens &lens;
    const std::vector<ElfFile::Symbol> symbols;
    const uint64_t bias;
    FILE *records = nullptr;
    std::vector<Group> groups;
    std::map<std::string, size_t> index;
    Tally tally;
    const double start = seconds();
    double told = start;
    std::string expected; // how many schedules the first run says there are, in words
    const bool terminal = isatty(STDERR_FILENO) != 0;
    const bool buffers = request.bounds.memory == MemoryOrder::storeBuffers;
};

void Report::header() const {
    const Bounds &bounds = request.bounds;
    const char *order = buffers ? ", stores buffered as on x86" : "";
    if (lens.on)
        printf("%s: every schedule of %u pass%s of each worker%s\n", request.shown.c_str(),
               bounds.passes, bounds.passes == 1 ? "" : "es", order);
    else if (bounds.preemptions == ~0U)
        printf("%s: every schedule of at most %u steps a thread%s\n", request.shown.c_str(),
               bounds.stepsPerThread, order);
    else
        printf("%s: every schedule within %u preemption%s and %u steps a thread%s\n",
               request.shown.c_str(), bounds.preemptions, bounds.preemptions == 1 ? "" : "s",
               bounds.stepsPerThread, order);
    fflush(stdout);
}

void Report::openRecords() {
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
                               unsigned long &weight, bool &bad) {
    const CounterOutcome o = counterOutcome(lens, run);
    // Under store buffers a run stands for no set of orders of the two workers' steps alone:
    // it is counted as itself.
    weight = buffers ? 1 : o.orders;
    const bool deadlock = run.ending.kind == Ending::deadlock;
    char text[160];
    snprintf(text, sizeof text, "%5d  %7u  %4u  %5lu  %-12s  %6lu  %-8s", o.final, o.changes,
             o.lost, o.lines, o.verdict.c_str(), o.breaks, deadlock ? "yes" : "no");
    std::string row = text;
    if (run.ending.kind != Ending::passes && !deadlock)
        row += "  " + ending;
    bad = bad || o.lost > 0;
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
                             bool &bad) {
    uint64_t where = 0;
    std::string row = cell(ending, 36) + "  " + cell(shownOutput(run.printed), 24);
    if (lostUpdates(run.steps, where) > 0) {
        row += "  loses an update to " + places.name(where, 4);
        bad = true;
        if (tally.failure.empty())
            tally.failure = "loses an update";
    }
    if (records != nullptr)
        fprintf(records, "%s,%s,%s\n", run.schedule.c_str(), shellQuoted(ending).c_str(),
                shellQuoted(visible(run.printed)).c_str());
    return row;
}

void Report::take(const RunRecord &run) {
    if (expected.empty())
        // Under store buffers a run counts as itself: the bound on runs, not the orders.
        expected =
            expectedSchedules(run, buffers ? CounterLens{} : lens, request.bounds.preemptions);
    const Places places(symbols, bias, run.threads);
    const std::string ending = endingText(run, places);
    unsigned long weight = 1;
    bool bad = failed(run.ending);
    const std::string row =
        lens.on ? counterRow(run, ending, weight, bad) : plainRow(run, places, ending, bad);
    count(row, run, weight, bad, ending);
}

// Each outcome once, with its count and the first schedule that gives it.
void Report::count(const std::string &row, const RunRecord &run, unsigned long weight, bool bad,
                   const std::string &ending) {
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
        groups.push_back({row, weight, run.schedule, bad});
    } else {
        groups[found->second].count += weight;
    }
}

// Never silent for long on a terminal: a line on standard error, redrawn in place each half
// second, with what the first run said there would be. Elsewhere (a pipe, a file, a test)
// standard error stays for what went wrong.
void Report::progress(const Exploration &so) {
    const double now = seconds();
    if (!terminal || now - told < 0.5)
        return;
    told = now;
    fprintf(stderr, "\rinterleave: %zu runs, %.0f s; expects %s", so.runs, now - start,
            expected.c_str());
}

int Report::finish(const Exploration &done) {
    if (terminal && told != start)
        fputs("\r\033[K", stderr);
    if (records != nullptr && fclose(records) != 0)
        giveUp("write error: " + shellQuoted(request.records), errno);
    if (lens.on)
        printf("%lu schedules in %zu runs\ncount  final  changes  lost  lines  tallycheck    "
               "breaks  deadlock  first schedule\n",
               tally.schedules, done.runs);
    else
        printf("%zu run%s, one for each class of equivalent schedules\n runs  %-36s  %-24s  "
               "first schedule\n",
               done.runs, done.runs == 1 ? "" : "s", "outcome", "output");
    for (const Group &group : groups)
        printf("%5lu  %s  %s\n", group.count, group.row.c_str(),
               group.first.empty() ? "-" : group.first.c_str());
    if (lens.on)
        printf("of %lu schedules: %lu lose a change, %lu break the trace, %lu deadlock\n",
               tally.schedules, tally.lose, tally.breaking, tally.deadlocks);
    verdict(done);
    if (fflush(stdout) != 0 || ferror(stdout))
        giveUp("write error", errno);
    return tally.failing > 0 ? 1 : 0;
}

// One line that says what the runs came to and what that covers (the bounds, steps taken
// whole, the order of memory); then, on a failure, the command that replays the first.
void Report::verdict(const Exploration &done) const {
    const char *unit = lens.on ? "schedules" : tally.schedules == 1 ? "run" : "runs";
    std::string scope;
    if (request.bounds.preemptions != ~0U)
        scope += "within " + std::to_string(request.bounds.preemptions) + " preemptions, ";
    scope += buffers ? "each step taken whole, under x86's store buffers (total store order)"
                     : "each step taken whole, under sequential consistency";
    if (done.timedOut)
        printf("verdict: %s in %lu %s so far, the time limit reached before the rest; %s\n",
               tally.failing > 0 ? "failures" : "no failure", tally.schedules, unit, scope.c_str());
    else if (tally.failing > 0)
        printf("verdict: fails: %lu of %lu %s fail (the first %s); %s\n", tally.failing,
               tally.schedules, unit, tally.failure.c_str(), scope.c_str());
    else
        printf("verdict: passes: no schedule fails%s; %s\n",
               tally.bounded > 0 ? " before its bound" : "", scope.c_str());
    if (tally.failing == 0)
        return;
    const std::string passes =
        (lens.on ? " --passes=" + std::to_string(request.bounds.passes) : std::string()) +
        (buffers ? " --memory=tso" : "");
    printf("replay: %s -c%s -s %s %s\n", request.command.c_str(), passes.c_str(),
           tally.firstFailing.empty() ? "''" : tally.firstFailing.c_str(), request.shown.c_str());
}

// A first run, each worker once through in turn, to see whether the program is of the
// counter's shape.
CounterLens probeLens(Image &image, const EveryRequest &request) {
    Bounds probeBounds = request.bounds;
    probeBounds.preemptions = 0;
    probeBounds.passes = 1;
    probeBounds.stepsPerThread = std::min(probeBounds.stepsPerThread, 60U);
    RunRecord first;
    Explorer(request.path, request.argv, image, probeBounds)
        .explore([&first](const RunRecord &run) { first = run; }, [](const Exploration &) {}, 1);
    return lensOf(first);
}

} // namespace

int everySchedule(Image &image, EveryRequest request) {
    const CounterLens lens = probeLens(image, request);
    if (lens.on && !request.passesGiven)
        request.bounds.passes = 1;
    if (lens.on && !request.preemptionsGiven)
        request.bounds.preemptions = ~0U; // a counter program's every order
    Report report(request, lens, image);
    report.header();
    report.openRecords();
    Explorer explorer(request.path, request.argv, image, request.bounds);
    const Exploration done =
        explorer.explore([&report](const RunRecord &run) { report.take(run); },
                         [&report](const Exploration &so) { report.progress(so); }, 0,
                         [&report] { report.restart(); });
    return report.finish(done);
}
