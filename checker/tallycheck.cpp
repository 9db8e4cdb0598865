// tallycheck: reads counter traces, from standard input or from the files named, checks
// every line against the report format and against the line before it, and says what
// happened: how often a step broke, how many changes were lost, how long each worker held
// the counter. Exit status 0 for a consistent trace, 1 when some step breaks, 2 for
// malformed or empty input, a read error, a write error or a usage error.
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "diagnose.h"
#include "summary.h"
#include "tracecheck.h"

namespace {

constexpr char usage[] =
    "Usage: tallycheck [-C N] [--runs] [--breaks] [FILE]...\n"
    "Check counter traces from guardtally or loosetally, read from each FILE or from\n"
    "standard input (also for FILE -), and summarise each: breaks, malformed lines,\n"
    "lost changes (drift) and the runs of each worker.\n"
    "\n"
    "  -C, --context=N  print N lines before and after the first break, N at most\n"
    "                   1000000\n"
    "      --runs       after the runs, how many there are of each length, in bins\n"
    "                   of powers of two, and the share of the lines in them\n"
    "      --breaks     before the summary, one row for every break\n"
    "      --help       print this help and exit\n"
    "      --version    print the version and exit\n"
    "      --           end the options: every later argument is a FILE\n"
    "\n"
    "Exit status: 0 consistent, 1 some step breaks, 2 malformed or empty input,\n"
    "or a read, write or usage error.\n";

// "tallycheck: WHAT 'TEXT'AFTER", where TEXT comes from outside.
void warnQuoted(const char *what, const char *text, size_t length, const char *after = "") {
    fprintf(stderr, "%s: %s ", program_invocation_short_name, what);
    printQuoted(stderr, text, length, '\'');
    fprintf(stderr, "%s\n", after);
}

void warnQuoted(const char *what, const char *text) {
    warnQuoted(what, text, strlen(text));
}

// Names an option that getopt_long rejected, as the user typed it. getopt_long sets optopt
// to the letter of a short option; for a long one, to 0 when no option has that name, and
// else to the option's value, which need not be a letter. A long option is always the
// whole argument before optind, and is named by what comes before any '='.
void warnOption(int error, const char *argument) {
    const bool isLong =
        optopt == 0 || optopt > UCHAR_MAX || (error == ':' && strncmp(argument, "--", 2) == 0);
    if (!isLong) {
        const char letter[] = {static_cast<char>(optopt), '\0'};
        warnQuoted(error == ':' ? "option requires an argument --" : "invalid option --", letter);
        return;
    }
    const size_t name = strcspn(argument, "=");
    if (optopt == 0)
        warnQuoted("unrecognized option", argument, name);
    else if (error == ':')
        warnQuoted("option", argument, name, " requires an argument");
    else
        warnQuoted("option", argument, name, " does not allow an argument");
}

[[noreturn]] void usageError() {
    fprintf(stderr, "Try '%s --help' for more information.\n", program_invocation_short_name);
    exit(2);
}

// "tallycheck: "NAME": reason", for a file that cannot be read.
void warnFile(const char *name, int err) {
    fprintf(stderr, "%s: ", program_invocation_short_name);
    printQuoted(stderr, name, strlen(name));
    fprintf(stderr, ": %s\n", strerror(err));
}

// Checks the trace that fd gives, up to its end or a read error, and prints its summary.
int checkStream(int fd, const char *name, const Detail &detail) {
    if (detail.context != nullptr)
        detail.context->clear();
    if (detail.breaks)
        printBreakHeader();
    TraceChecker checker(detail.context, detail.breaks ? printBreak : nullptr);
    bool readFailed = false;
    for (;;) {
        const ssize_t got = read(fd, checker.readSpace(), TraceChecker::readSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            warnFile(name, errno);
            readFailed = true;
        }
        if (got <= 0)
            break;
        checker.take(static_cast<size_t>(got));
    }
    checker.finish();
    return summarise(checker.trace(), detail, readFailed);
}

int checkOperand(const char *name, const Detail &detail) {
    const bool fromInput = strcmp(name, "-") == 0;
    const int fd = fromInput ? STDIN_FILENO : open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        warnFile(name, errno);
        return 2;
    }
    fputs("trace: ", stdout);
    printQuoted(stdout, name, strlen(name));
    putchar('\n');
    const int status = checkStream(fd, name, detail);
    if (!fromInput)
        close(fd);
    return status;
}

// The most lines -C keeps on each side. The context is for reading by eye, and its lines
// are reserved before the trace is read, so a slip of the finger must not ask for all of
// memory: this bound is 128 MB of quotes.
constexpr unsigned long long maxRadius = 1000000;

// Reads N of -C N: a decimal count of lines, nothing else.
bool parseCount(const char *text, size_t &count) {
    char *end;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value > maxRadius)
        return false;
    count = value;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    // Diagnostics are written a piece at a time; a line buffer sends each out whole.
    setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
    enum { helpOption = 256, versionOption, runsOption, breaksOption };
    static constexpr option longOptions[] = {{"context", required_argument, nullptr, 'C'},
                                             {"runs", no_argument, nullptr, runsOption},
                                             {"breaks", no_argument, nullptr, breaksOption},
                                             {"help", no_argument, nullptr, helpOption},
                                             {"version", no_argument, nullptr, versionOption},
                                             {}};
    Context context;
    Detail detail;
    opterr = 0; // getopt's own messages would show the option raw; these quote it
    for (int option; (option = getopt_long(argc, argv, ":C:", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 'C': {
            size_t radius;
            if (!parseCount(optarg, radius)) {
                warnQuoted("invalid context length:", optarg);
                usageError();
            }
            if (!context.reserve(radius))
                fail(2, "cannot keep the context", ENOMEM);
            detail.context = &context;
            break;
        }
        case runsOption:
            detail.runLengths = true;
            break;
        case breaksOption:
            detail.breaks = true;
            break;
        case helpOption:
            fputs(usage, stdout);
            flushOutput(2);
            return 0;
        case versionOption:
            puts("tallycheck (glassbox) " GLASSBOX_VERSION);
            flushOutput(2);
            return 0;
        default:
            warnOption(option, argv[optind - 1]);
            usageError();
        }
    }
    int status = 0;
    if (optind == argc)
        status = checkStream(STDIN_FILENO, "standard input", detail);
    for (int i = optind; i < argc; ++i) {
        const int operandStatus = checkOperand(argv[i], detail);
        status = operandStatus > status ? operandStatus : status;
    }
    flushOutput(2);
    return status;
}
