// -c's run as one HTML page, for a learner to step through in a browser: a lane for each
// thread, the shared places and the locks as each step leaves them, a lost change's stale
// load joined to the store that wipes out the other's change, and what the run came to. The
// page is self-contained: it needs no server and no network.
#pragma once

#include <stdio.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "execution.h"
#include "explorer.h"
#include "places.h"

// What the run came to, in the words of the screen.
struct RunOutcome {
    std::vector<std::string> lines; // "outcome: exit 0", "counter: 1 after 2 changes; 1 lost"
    std::vector<std::string> waits; // where the schedule stopped: "M joins I"
    std::vector<std::string> cycle; // at a deadlock: "L holds first and waits for second ..."
};

class SchedulePage {
  public:
    // Opens the file at once, so that one that cannot be written is said before the run.
    // Each step's instruction goes into the page only with `instructions`, as on the screen.
    SchedulePage(const char *where, bool withInstructions);
    SchedulePage(const SchedulePage &) = delete;
    SchedulePage &operator=(const SchedulePage &) = delete;
    ~SchedulePage();
    // Each step as it is taken and shown, with the state it leaves.
    void step(const Step &step, char who, const std::string &does, const Execution &run,
              const Places &placeNames);
    // Writes the page.
    void finish(const std::string &title, const Execution &run, const RunRecord &record,
                const RunOutcome &outcome, const Places &placeNames);

  private:
    using Settings = std::vector<std::pair<std::string, std::string>>; // name, value

    std::string path;
    bool instructions;
    FILE *file;
    std::vector<std::string> steps; // the steps so far, as JSON objects still open
    std::vector<Settings> places;   // each step's new values of places, by name
    std::vector<Settings> locks;    // and of locks
    std::vector<std::string> names; // the places, in the order first touched
    std::vector<std::string> lockNames;
    std::map<std::string, std::string> takenBy; // each lock's takers' letters, in order
};
