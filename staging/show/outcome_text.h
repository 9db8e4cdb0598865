// What a run came to, in words: its ending, and for a deadlock who waits for what.
#pragma once

#include <string>

#include "explorer.h"
#include "places.h"

// "exit 0", "signal SIGSEGV at mov dword ptr [rax], 1", "abort: ...", "deadlock: ...".
std::string endingText(const RunRecord &run, const Places &places);
// At a deadlock, what each thread that cannot go on holds and waits for: "L holds first and
// waits for second (held by R)".
std::vector<std::string> deadlockCycle(const RunRecord &run, const Places &places);
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
