// --all: every class of schedules run, grouped by what they came to, with one verdict.
#pragma once

#include <string>

#include "explorer.h"

struct EveryRequest {
    const char *path = nullptr;
    char *const *argv = nullptr;
    std::string shown;   // the program and its arguments, as typed, quoted for the shell
    std::string command; // how interleave was called, to replay a schedule
    Bounds bounds;
    bool passesGiven = false;
    bool preemptionsGiven = false;
    const char *records = nullptr;
    const char *graph = nullptr; // the progress graph's SVG file
    bool grid = false;           // the progress graph on the screen
};

// Returns interleave's exit status: 0 when no schedule fails, 1 when one does.
int everySchedule(Image &image, EveryRequest request);
