// interleave's answers: the real program run in the order of a schedule, a line for each
// step as it is taken, then the lines printed and what they came to. Or, asked step by
// step at a terminal, each step as it is typed; or the program's lines alone.
#pragma once

#include <string>

#include "schedule.h"

class Image;

struct Request {
    const char *path;  // the program to run
    char *const *argv; // and its argument vector, argv[0] as the user gave it
    std::string name;  // as shown: its name, its control characters escaped
    Kind kind;
    std::string steps; // empty: asked for at the terminal
    bool linesOnly;    // the program's lines alone, for tallycheck
};

// Runs the request; returns interleave's exit status.
int answer(const Request &request);
