// -c: one schedule of a held program, each step shown as it is taken, then what the run came
// to. The schedule's letters choose a thread wherever more than one can go; a step that is
// the only one possible is taken without a letter, and a letter for a thread not yet started
// lets the others go until it has. Without letters, at a terminal, the learner is asked.
#pragma once

#include <stdint.h>

#include <string>

#include "explorer.h"

struct AnswerRequest {
    const char *path = nullptr;
    char *const *argv = nullptr;
    std::string shown;    // the program and its arguments, quoted
    std::string schedule; // letters: none for a run whose every step is forced
    bool asking = false;  // the letters typed at the terminal instead
    bool linesOnly = false;
    bool instructions = false;
    const char *page = nullptr; // the run as an HTML page, written there
    Bounds bounds;
};

// Returns interleave's exit status.
int answerSchedule(Image &image, const AnswerRequest &request);
