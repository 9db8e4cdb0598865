// The checker's report: the summary of one trace, the rows of --breaks, and the quoting
// that keeps every text from outside harmless on a terminal.
#include "summary.h"

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

void printQuoted(FILE *out, const char *text, size_t length, char quote) {
    putc(quote, out);
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == static_cast<unsigned char>(quote) || c == '\\')
            fprintf(out, "\\%c", c);
        else if (c >= 0x20 && c < 0x7f)
            putc(c, out);
        else
            fprintf(out, "\\x%02x", c);
    }
    putc(quote, out);
}

namespace {

void printQuote(const Quote &quote, const char *prefix = "") {
    printf("%sline %" PRIu64 ": ", prefix, quote.line);
    printQuoted(stdout, quote.text, quote.length);
    puts(quote.cut ? "..." : "");
}

void printCount(const char *what, uint64_t number, const Quote &first) {
    printf("%s: %" PRIu64, what, number);
    if (number == 0) {
        putchar('\n');
        return;
    }
    fputs(", first at ", stdout);
    printQuote(first);
}

// The first break among the lines around it, marked as grep -n marks a match.
void printContext(const Trace &trace, const Context &context) {
    for (size_t i = 0; i < context.beforeCount(); ++i)
        printQuote(context.before(i), "  ");
    printQuote(trace.firstBreak, "> ");
    for (size_t i = 0; i < context.afterCount(); ++i)
        printQuote(context.after(i), "  ");
}

void printDrift(Count drift) {
    if (drift == 0) {
        printf("drift: 0 (no change lost, net)\n");
        return;
    }
    const auto bits = static_cast<uint32_t>(drift);
    char head[96];
    snprintf(head, sizeof head,
             "drift: %" PRId32 " (lost changes, net: %" PRIu32 " more %s than %s,", drift,
             drift < 0 ? 0U - bits : bits, drift < 0 ? "Inc" : "Dec", drift < 0 ? "Dec" : "Inc");
    const char *caveat = "give or take one a worker at a cut end)";
    // Within 80 columns: the caveat on a line of its own where the whole would not fit.
    printf("%s%s%s\n", head, strlen(head) + 1 + strlen(caveat) > 80 ? "\n  " : " ", caveat);
}

const char *labelName(Label label) {
    return label == Label::inc ? "Inc" : "Dec";
}

// With `lengths`, the runs by length follow: one row for each bin from the runs of one line
// up to the bin of the longest run, empty bins included.
void printRuns(const Trace &trace, bool lengths) {
    printf("runs: %" PRIu64, trace.runs);
    const Run &longest = trace.longestRun;
    const auto wellFormed = static_cast<double>(trace.incs + trace.decs);
    if (trace.runs == 0)
        putchar('\n');
    else
        printf(", mean length %.1f, longest %" PRIu64 " %s from line %" PRIu64 "\n",
               wellFormed / static_cast<double>(trace.runs), longest.length,
               labelName(longest.label), longest.line);
    if (!lengths)
        return;
    puts("from\tto\truns\tlines\tshare");
    for (int k = 0; trace.runs > 0 && k <= 63 - __builtin_clzll(longest.length); ++k) {
        const RunBin &bin = trace.runLengths[k];
        const uint64_t from = uint64_t{1} << k;
        printf("%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%.4f\n", from,
               from + (from - 1), bin.runs, bin.lines, static_cast<double>(bin.lines) / wellFormed);
    }
}

} // namespace

void printBreakHeader() {
    puts("line\tlabel\tvalue\texpected\tdrift");
}

void printBreak(const Break &row) {
    printf("%" PRIu64 "\t%s\t%" PRId32 "\t%" PRId32 "\t%" PRId32 "\n", row.line,
           labelName(row.label), row.value, row.expected, row.drift);
}

const char *verdictOf(const Trace &trace, bool readFailed) {
    // A trace without a single complete line, such as the output of a mistyped command,
    // shows nothing at all, so it is not called consistent.
    return readFailed         ? "read error"
           : trace.malformed  ? "malformed"
           : trace.breaks     ? "inconsistent"
           : trace.lines == 0 ? "empty"
                              : "consistent";
}

int summarise(const Trace &trace, const Detail &detail, bool readFailed) {
    printf("lines: %" PRIu64 " (Inc %" PRIu64 ", Dec %" PRIu64 ")\n", trace.lines, trace.incs,
           trace.decs);
    printCount("breaks", trace.breaks, trace.firstBreak);
    if (detail.context != nullptr && trace.breaks > 0)
        printContext(trace, *detail.context);
    printCount("malformed", trace.malformed, trace.firstMalformed);
    if (trace.tail.line == 0) {
        puts("tail: complete");
    } else {
        fputs("tail: truncated, ", stdout);
        printQuote(trace.tail);
    }
    printf("last value: %" PRId32 "\n", trace.last);
    printDrift(drift(trace));
    printRuns(trace, detail.runLengths);
    printf("verdict: %s\n", verdictOf(trace, readFailed));
    return readFailed || trace.malformed || trace.lines == 0 ? 2 : trace.breaks ? 1 : 0;
}
