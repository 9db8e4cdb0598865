// What --all has seen so far, and how it tells it: each run's outcome counted into its group,
// the rows of the table, the CSV records, the progress line, and at the end the verdict.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "all_schedules.h"
#include "lens.h"
#include "places.h"
#include "progress_graph.h"

struct Group {
    std::string row;
    unsigned long count = 0;
    std::string first;
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

// The monotonic clock, in seconds.
double seconds();

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
        graph = ProgressGraph{};
        graphKeys.clear();
        graphIndex.clear();
        noGraph.clear();
        openRecords();
    }
    void take(const RunRecord &run);
    void progress(const Exploration &so);
    // The table, the verdict and the replay; returns interleave's exit status.
    int finish(const Exploration &done);

  private:
    std::string counterRow(const RunRecord &run, const std::string &ending, unsigned long &weight,
                           OutcomeKey &key);
    std::string plainRow(const RunRecord &run, const Places &places, const std::string &ending,
                         OutcomeKey &key);
    void count(const std::string &row, const RunRecord &run, unsigned long weight,
               const OutcomeKey &key, const std::string &ending);
    void verdict(const Exploration &done) const;
    // The progress graph, on the screen or into its file; false where it cannot be drawn.
    bool drawn();

    const EveryRequest &request;
    const CounterLens &lens;
    const std::vector<ElfFile::Symbol> symbols;
    const uint64_t bias;
    FILE *records = nullptr;
    FILE *graphFile = nullptr;
    std::vector<Group> groups;
    std::map<std::string, size_t> index;
    Tally tally;
    const double start = seconds();
    double told = start;
    std::string expected; // how many schedules the first run says there are, in words
    const bool terminal = isatty(STDERR_FILENO) != 0;
    const bool buffers = request.bounds.memory == MemoryOrder::storeBuffers;
    const bool graphing = request.graph != nullptr || request.grid;
    ProgressGraph graph;
    std::vector<OutcomeKey> graphKeys; // the graph's outcomes, as its legend says them
    std::map<std::string, size_t> graphIndex;
    std::string noGraph; // why the runs make no graph
};
