// Running every class of schedules and telling what they came to.
#include "all_schedules.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "lost_updates.h"
#include "names.h"
#include "outcome_text.h"
#include "report.h"
#include "watch.h"

namespace {

// A group's row within the screen: its count and outcome, then the first schedule after the
// row's first line where it fits, else on a line of its own after the row's others.
std::string tableRow(const Group &group, bool counter) {
    const size_t end = std::min(group.row.find('\n'), group.row.size());
    char count[24];
    snprintf(count, sizeof count, counter ? "%5lu " : "%5lu  ", group.count);
    std::string row = count + group.row.substr(0, end) + "  ";
    const std::string first = group.first.empty() ? "-" : group.first;
    if (row.size() + first.size() <= 80)
        return row + first + group.row.substr(end);
    row.erase(row.find_last_not_of(' ') + 1);
    return row + group.row.substr(end) + "\n    " + first;
}

// A command as its words, folded between them with the shell's backslash where the line
// would pass 80 columns: copied whole, it runs as it is. (A word is never split: one that
// the shell quotes may hold a space.)
std::string commandLine(const std::vector<std::string> &words) {
    std::string line;
    size_t column = 0;
    for (const std::string &word : words) {
        if (column > 0 && column + 1 + word.size() + 2 > 80) {
            line += " \\\n   ";
            column = 3;
        }
        line += (line.empty() ? "" : " ") + word;
        column += (column > 0 ? 1 : 0) + word.size();
    }
    return line;
}

} // namespace

int Report::finish(const Exploration &done) {
    if (terminal && told != start) {
        fputs("\r\033[K", stderr); // the progress line gone before the table
        fflush(stderr);
    }
    if (records != nullptr && fclose(records) != 0)
        giveUp("write error: " + shellQuoted(request.records), errno);
    if (lens.on)
        printf("%lu schedules in %zu runs\ncount final changes lost lines  tallycheck   breaks "
               "deadlock  first schedule\n",
               tally.schedules, done.runs);
    else
        printf("%zu run%s, one for each class of equivalent schedules\n runs  %-30s  %-20s  "
               "first schedule\n",
               done.runs, done.runs == 1 ? "" : "s", "outcome", "output");
    for (const Group &group : groups)
        printf("%s\n", tableRow(group, lens.on).c_str());
    if (lens.on)
        printf("of %lu schedules: %lu lose a change, %lu break the trace, %lu deadlock\n",
               tally.schedules, tally.lose, tally.breaking, tally.deadlocks);
    verdict(done);
    const bool graphed = drawn();
    if (fflush(stdout) != 0 || ferror(stdout))
        giveUp("write error", errno);
    // A failing schedule outweighs a graph not drawn: 1 says the program is wrong.
    return tally.failing > 0 ? 1 : graphed ? 0 : 3;
}

bool Report::drawn() {
    if (!graphing)
        return true;
    if (noGraph.empty() && graph.axis(0).thread < 0)
        noGraph = "no run was made";
    if (!noGraph.empty()) {
        fprintf(stderr, "interleave: no graph: %s\n", noGraph.c_str());
        if (graphFile != nullptr)
            fclose(graphFile);
        if (request.graph != nullptr)
            unlink(request.graph); // opened before the runs: nothing of a graph in it
        return false;
    }
    graph.finish();
    const std::vector<OutcomeKey> &keys = graphKeys;
    if (request.grid)
        fputs(gridText(graph, keys).c_str(), stdout);
    if (graphFile == nullptr)
        return true;
    const bool written = drawGraph(graph, keys, request.shown + ": every schedule", graphFile);
    if (fclose(graphFile) != 0 || !written)
        giveUp("write error: " + shellQuoted(request.graph), errno);
    return true;
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
    std::string text;
    if (done.timedOut)
        text = std::string(tally.failing > 0 ? "failures" : "no failure") + " in " +
               std::to_string(tally.schedules) + " " + unit +
               " so far, the time limit reached before the rest";
    else if (tally.failing > 0)
        text = "fails: " + std::to_string(tally.failing) + " of " +
               std::to_string(tally.schedules) + " " + unit + " fail (the first " + tally.failure +
               ")";
    else
        text = std::string("passes: no schedule fails") +
               (tally.bounded > 0 ? " before its bound" : "");
    // A report printed late breaks the trace but loses nothing: said, so that a fix that
    // keeps every change is not taken for one that does not.
    if (lens.on && tally.lose == 0 && tally.breaking > 0)
        text += ", none loses a change (" + std::to_string(tally.breaking) + " of " +
                std::to_string(tally.schedules) + " print a report late)";
    printf("%s\n", folded("verdict: " + text + "; " + scope, 9).c_str());
    if (tally.failing == 0)
        return;
    std::vector<std::string> words = {"replay:", request.command, "-c"};
    if (lens.on)
        words.push_back("--passes=" + std::to_string(request.bounds.passes));
    if (buffers)
        words.emplace_back("--memory=tso");
    words.insert(words.end(),
                 {"-s", tally.firstFailing.empty() ? "''" : tally.firstFailing, request.shown});
    printf("%s\n", commandLine(words).c_str());
}

namespace {

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
