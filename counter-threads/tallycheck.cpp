// tallycheck: reads counter traces, from standard input or from the files named, and checks
// every line against the report-line format and against the line before it. Exit status 0
// for a consistent trace, 1 when some step breaks, 2 for malformed input or a read error.
#include <fcntl.h>
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "diagnose.h"
#include "tally.h"

namespace {

// The checker must outrun the programs it checks, so it reads straight into large blocks
// and parses the lines in place, in one pass and constant memory.
constexpr size_t blockSize = size_t{256} * 1024;
// "Dec: -2147483648\n" is the longest report line. An unfinished line longer than that is
// malformed whatever follows, so it is never carried from one block to the next.
constexpr size_t longestLine = 17;
constexpr size_t quoteLimit = 40;

// A carried unfinished line, one block, and slack so that comparing a label at the end of
// the data never reaches past the array.
char buffer[longestLine + blockSize + labelLength];

// One line of the trace, kept for the summary.
struct Quote {
    uint64_t line = 0; // 0 while nothing is kept
    size_t length = 0;
    char text[quoteLimit] = {};

    void keep(uint64_t number, const char *from, size_t size) {
        line = number;
        length = size < quoteLimit ? size : quoteLimit;
        memcpy(text, from, length);
    }
};

struct Trace {
    uint64_t lines = 0;
    uint64_t incs = 0;
    uint64_t decs = 0;
    uint64_t breaks = 0;
    uint64_t malformed = 0;
    Count last = 0; // value of the last well-formed line; the counter starts at 0
    Quote firstBreak;
    Quote firstMalformed;
    Quote tail; // a last line without its newline: the producer was stopped mid-line
    bool readFailed = false;
};

// Parses one report line at p. Returns its newline and sets up and value, or returns
// nullptr when the line is not exactly "Inc: N\n" or "Dec: N\n" with N as printf's %d
// writes a 32-bit value: no plus sign, no leading zeros or spaces, no "-0". A newline must
// follow p somewhere, so the digit loop stops in time.
const char *parseLine(const char *p, bool &up, Count &value) {
    up = memcmp(p, incReport, labelLength) == 0;
    if (!up && memcmp(p, decReport, labelLength) != 0)
        return nullptr;
    p += labelLength;
    const bool negative = *p == '-';
    p += negative;
    const char *digits = p;
    uint64_t magnitude = 0;
    for (unsigned digit; p - digits <= 10 && (digit = static_cast<unsigned char>(*p - '0')) < 10;
         ++p)
        magnitude = magnitude * 10 + digit;
    const ptrdiff_t length = p - digits;
    if (*p != '\n' || length == 0 || length > 10 || (length > 1 && *digits == '0') ||
        (negative && magnitude == 0) || magnitude > 2147483647U + (negative ? 1U : 0U))
        return nullptr;
    const auto bits = static_cast<uint32_t>(magnitude);
    value = static_cast<Count>(negative ? 0U - bits : bits);
    return p;
}

void countMalformed(Trace &trace, const char *line, size_t length) {
    if (trace.malformed++ == 0)
        trace.firstMalformed.keep(trace.lines, line, length);
}

// Checks the complete lines in [p, end); the byte before end is a newline.
void checkLines(Trace &trace, const char *p, const char *end) {
    while (p < end) {
        ++trace.lines;
        bool up;
        Count value;
        const char *newline = parseLine(p, up, value);
        if (newline == nullptr) {
            newline = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
            countMalformed(trace, p, static_cast<size_t>(newline - p));
        } else {
            if (value != (up ? stepUp(trace.last) : stepDown(trace.last)) && trace.breaks++ == 0)
                trace.firstBreak.keep(trace.lines, p, static_cast<size_t>(newline - p));
            trace.last = value;
            ++(up ? trace.incs : trace.decs);
        }
        p = newline + 1;
    }
}

void checkStream(Trace &trace, int fd, const char *name) {
    size_t held = 0;       // bytes of an unfinished line carried at the start of buffer
    bool skipping = false; // inside an overlong line that is already counted as malformed
    for (;;) {
        const ssize_t got = read(fd, buffer + held, blockSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            warn(name, errno);
            trace.readFailed = true;
            return;
        }
        if (got == 0)
            break;
        char *p = buffer;
        char *end = buffer + held + got;
        if (skipping) {
            p = static_cast<char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
            if (p == nullptr) {
                held = 0;
                continue;
            }
            ++p;
            skipping = false;
        }
        if (auto *last = static_cast<char *>(memrchr(p, '\n', static_cast<size_t>(end - p)))) {
            checkLines(trace, p, last + 1);
            p = last + 1;
        }
        held = static_cast<size_t>(end - p);
        if (held > longestLine) {
            ++trace.lines;
            countMalformed(trace, p, held);
            skipping = true;
            held = 0;
        }
        memmove(buffer, p, held);
    }
    if (held > 0)
        trace.tail.keep(trace.lines + 1, buffer, held);
}

// Quotes a line safely: the input is arbitrary bytes, the summary is text.
void printQuote(const Quote &quote) {
    printf("line %" PRIu64 ": \"", quote.line);
    for (size_t i = 0; i < quote.length; ++i) {
        const auto c = static_cast<unsigned char>(quote.text[i]);
        if (c == '"' || c == '\\')
            printf("\\%c", c);
        else if (c >= 0x20 && c < 0x7f)
            putchar(c);
        else
            printf("\\x%02x", c);
    }
    puts(quote.length < quoteLimit ? "\"" : "\"...");
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

// Prints the summary and returns the trace's exit status.
int summarise(const Trace &trace) {
    printf("lines: %" PRIu64 " (Inc %" PRIu64 ", Dec %" PRIu64 ")\n", trace.lines, trace.incs,
           trace.decs);
    printCount("breaks", trace.breaks, trace.firstBreak);
    printCount("malformed", trace.malformed, trace.firstMalformed);
    if (trace.tail.line == 0) {
        puts("tail: complete");
    } else {
        fputs("tail: truncated, ", stdout);
        printQuote(trace.tail);
    }
    printf("last value: %" PRId32 "\n", trace.last);
    const char *verdict = trace.readFailed  ? "read error"
                          : trace.malformed ? "malformed"
                          : trace.breaks    ? "inconsistent"
                                            : "consistent";
    printf("verdict: %s\n", verdict);
    return trace.readFailed || trace.malformed ? 2 : trace.breaks ? 1 : 0;
}

int checkOperand(const char *name) {
    const bool fromInput = strcmp(name, "-") == 0;
    const int fd = fromInput ? STDIN_FILENO : open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        warn(name, errno);
        return 2;
    }
    Trace trace;
    checkStream(trace, fd, name);
    if (!fromInput)
        close(fd);
    printf("trace: %s\n", name);
    return summarise(trace);
}

} // namespace

int main(int argc, char **argv) {
    int status = 0;
    if (argc < 2) {
        Trace trace;
        checkStream(trace, STDIN_FILENO, "standard input");
        status = summarise(trace);
    }
    for (int i = 1; i < argc; ++i) {
        const int operandStatus = checkOperand(argv[i]);
        status = operandStatus > status ? operandStatus : status;
    }
    flushOutput(2);
    return status;
}
