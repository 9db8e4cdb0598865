// The checker's report on one trace: the summary, the rows of --breaks, and the quoting of
// every text that comes from outside.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "tracecheck.h"

// What the command line asks for besides the summary.
struct Detail {
    Context *context = nullptr; // the lines around the first break
    bool runLengths = false;
    bool breaks = false;
};

// Writes text between two `quote` characters, with the quote, the backslash and every byte
// that is not printable ASCII escaped: input can neither forge a line of the summary nor
// reach a terminal as a control sequence.
void printQuoted(FILE *out, const char *text, size_t length, char quote = '"');

// The rows of --breaks, tab-separated under their header, for awk, column -t and plotting.
void printBreakHeader();
void printBreak(const Break &row);

// What the trace is, in one word: consistent, inconsistent, malformed, empty or read error.
const char *verdictOf(const Trace &trace, bool readFailed);

// Prints the summary and returns the trace's exit status: 0 consistent, 1 some step
// breaks, 2 malformed, empty or not read to its end.
int summarise(const Trace &trace, const Detail &detail, bool readFailed);
