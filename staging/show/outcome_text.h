// What a run came to, in words: its ending, and for a deadlock who waits for what.
#pragma once

#include <string>

#include "explorer.h"
#include "places.h"

// "exit 0", "signal SIGSEGV at mov dword ptr [rax], 1", "abort: ...", "deadlock: ...".
std::string endingText(const RunRecord &run, const Places &places);
// A thread that cannot go on, in words ("L holds first and waits for second (held by R)"),
// and the thread it waits for: the one it joins or that holds what it waits to take (-1).
struct Stuck {
    int thread;
    std::string words;
    int waitsFor;
};
// Every thread of the run that has not ended, in the order of the threads.
std::vector<Stuck> stuckThreads(const RunRecord &run, const Places &places);
// The threads that wait for each other round a cycle, in its order; empty where none does.
std::vector<std::string> deadlockCycle(const std::vector<Stuck> &stuck);
// What a step's call or access waits on, for a thread that cannot go on.
std::string waitText(const Thread &thread, const std::vector<Thread> &threads,
                     const Places &places);
// Whether the ending is a failure: a crash, an abort, a deadlock, a non-zero exit.
bool failed(const Ending &ending);
// The program's output in one cell: its newlines as \n, every other control character
// escaped.
std::string shownOutput(const std::string &printed);
// `text` cut or padded to `width`.
std::string cell(const std::string &text, size_t width);
