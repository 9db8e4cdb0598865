// --all of a program that forks: every order of its processes' steps, run by worker processes, two
// a processor that interleave may use, each schedule a fresh run of the program. A run takes the
// first letter that can move at each step; every other letter that could have moved there is a
// schedule still to run, which starts as that run did up to there. So each schedule is run exactly
// once.
#include "every.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "names.h"
#include "watch.h"

namespace {

// A bound on the schedules of one --all, so that a program with long passes ends with a
// message rather than running for hours.
constexpr size_t mostSchedules = 60000;

struct Worker {
    pid_t pid = 0;
    FILE *tasks = nullptr;
    FILE *results = nullptr;
    int errors = -1; // its diagnostics, shown if it fails
    bool busy = false;
};

std::vector<Worker> workers;

// Kills the workers, whose programs the kernel then kills too (their tracer gone), and
// collects them all, and every program that came to this process, the subreaper.
void stopWorkers() {
    endAllHeld();
    for (Worker &worker : workers)
        worker.pid = 0;
}

// A worker: reads a schedule's start a line, runs it to its end, answers with one line.
[[noreturn]] void serve(FILE *tasks, FILE *results, const char *path, char *const *argv,
                        pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) // the parent died before the line above: nothing would kill this
        _exit(troubleStatus);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char line[mostSteps + 2];
    while (fgets(line, sizeof line, tasks) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        const Outcome o = runToEnd(path, argv, line);
        fprintf(results, "%s %s %d %d\n", o.schedule.c_str(), o.others.c_str(), o.lineFirst,
                o.promptFirst);
        fflush(results);
    }
    _exit(0);
}

// The processors that this process may run on, as its affinity says (taskset narrows it).
std::vector<size_t> allowedProcessors() {
    cpu_set_t allowed;
    std::vector<size_t> processors;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        for (size_t processor = 0; processor < CPU_SETSIZE; ++processor)
            if (CPU_ISSET(processor, &allowed))
                processors.push_back(processor);
    return processors;
}

// Starts the workers: two a processor that this process may use, each held to its
// processor with the program that it runs, so that every stop and start of the program
// wakes a process on the same processor. A run spends most of its time waiting for such
// wake-ups, not computing, so a second worker a processor fills that time.
void startWorkers(const char *path, char *const *argv) {
    const std::vector<size_t> processors = allowedProcessors();
    workers.resize(std::clamp<size_t>(processors.size() * 2, 1, 16));
    for (Worker &worker : workers) {
        int tasks[2];
        int results[2];
        int errors[2];
        if (pipe2(tasks, O_CLOEXEC) != 0 || pipe2(results, O_CLOEXEC) != 0 ||
            pipe2(errors, O_CLOEXEC) != 0)
            giveUp("cannot make a pipe", errno);
        const auto number = static_cast<size_t>(&worker - workers.data());
        const pid_t parent = getpid();
        worker.pid = fork();
        if (worker.pid < 0)
            giveUp("cannot start a worker process", errno);
        if (worker.pid > 0)
            holdProcess(worker.pid);
        if (worker.pid == 0) {
            if (!processors.empty()) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(processors[number % processors.size()], &one);
                sched_setaffinity(0, sizeof one, &one);
            }
            dup2(errors[1], STDERR_FILENO);
            serve(fdopen(tasks[0], "r"), fdopen(results[1], "w"), path, argv, parent);
        }
        close(tasks[0]);
        close(results[1]);
        close(errors[1]);
        worker.tasks = fdopen(tasks[1], "w");
        worker.results = fdopen(results[0], "r");
        worker.errors = errors[0];
    }
}

// A worker's answer, as serve writes it: its fields apart, each number read in full.
Outcome parse(const std::string &line) {
    // schedule, the others, and the two moments as 0 or 1: "PPCCP ..... 1 0\n".
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    const std::string flags = second == std::string::npos ? "" : line.substr(second + 1);
    if (flags.size() != 4 || (flags[0] != '0' && flags[0] != '1') || flags[1] != ' ' ||
        (flags[2] != '0' && flags[2] != '1') || flags[3] != '\n')
        giveUp("a worker process answered with a line that it should not");
    Outcome o;
    o.schedule = line.substr(0, first);
    o.others = line.substr(first + 1, second - first - 1);
    o.lineFirst = flags[0] == '1';
    o.promptFirst = flags[2] == '1';
    return o;
}

// Hands each idle worker a schedule still to run.
void dispatch(std::vector<std::string> &pending) {
    for (Worker &worker : workers) {
        if (worker.busy || pending.empty())
            continue;
        fprintf(worker.tasks, "%s\n", pending.back().c_str());
        fflush(worker.tasks);
        pending.pop_back();
        worker.busy = true;
    }
}

// Takes a worker's answer: one more schedule run, and the schedules that start as it did
// but for one letter that could have gone instead.
void collect(Worker &worker, std::vector<Outcome> &done, std::vector<std::string> &pending) {
    char line[2 * mostSteps + 256];
    if (fgets(line, sizeof line, worker.results) == nullptr) {
        // What the worker that failed said is said once, for all of them.
        char said[4096] = {};
        const ssize_t got = read(worker.errors, said, sizeof said - 1);
        stopWorkers();
        fputs(got > 0 ? said : "interleave: a worker process ended unexpectedly\n", stderr);
        exit(troubleStatus);
    }
    worker.busy = false;
    done.push_back(parse(line));
    const Outcome &run = done.back();
    for (size_t at = 0; at < run.others.size(); ++at)
        if (run.others[at] != '.')
            pending.push_back(run.schedule.substr(0, at) + run.others[at]);
    if (done.size() + pending.size() > mostSchedules)
        giveUp("more than " + std::to_string(mostSchedules) + " schedules");
}

// Runs every schedule, and returns their outcomes.
std::vector<Outcome> explore() {
    std::vector<std::string> pending = {""};
    std::vector<Outcome> done;
    for (;;) {
        dispatch(pending);
        // The workers' answers, and the signals that end interleave, the last.
        std::vector<pollfd> ready(workers.size() + 1, {signalsToWatch(), POLLIN, 0});
        std::transform(workers.begin(), workers.end(), ready.begin(), [](const Worker &worker) {
            return pollfd{worker.busy ? fileno(worker.results) : -1, POLLIN, 0};
        });
        if (std::none_of(workers.begin(), workers.end(), [](const Worker &w) { return w.busy; }))
            return done;
        if (poll(ready.data(), ready.size(), -1) < 0 && errno != EINTR)
            giveUp("cannot wait for the worker processes", errno);
        takeSignals();
        for (size_t i = 0; i < workers.size(); ++i)
            if (ready[i].revents != 0)
                collect(workers[i], done, pending);
    }
}

// The order in which schedules are told: I before D, P before C, at every step.
bool before(const Outcome &a, const Outcome &b) {
    auto rank = [](const std::string &schedule) {
        std::string ranked(schedule.size(), '0');
        std::transform(schedule.begin(), schedule.end(), ranked.begin(),
                       [](char c) { return c == 'I' || c == 'P' ? '0' : '1'; });
        return ranked;
    };
    return rank(a.schedule) < rank(b.schedule);
}

std::string outcomeRow(const Outcome &o) {
    char row[256];
    snprintf(row, sizeof row, "%-15s  %-15s", o.lineFirst ? "before listing" : "after listing",
             o.promptFirst ? "before listing" : "after listing");
    return row;
}

void writeRecords(const char *records, const std::vector<Outcome> &outcomes) {
    FILE *file = fopen(records, "we");
    if (file == nullptr)
        giveUp("cannot write " + shellQuoted(records), errno);
    fputs("schedule,line,prompt\n", file);
    for (const Outcome &o : outcomes)
        fprintf(file, "%s,%s,%s\n", o.schedule.c_str(), o.lineFirst ? "before" : "after",
                o.promptFirst ? "before" : "after");
    if (fclose(file) != 0)
        giveUp("write error: " + shellQuoted(records), errno);
}

} // namespace

int everyProcessOrder(const char *path, char *const *argv, const std::string &name,
                      const char *records) {
    startWorkers(path, argv);
    std::vector<Outcome> outcomes = explore();
    stopWorkers();
    std::sort(outcomes.begin(), outcomes.end(), before);
    if (records != nullptr)
        writeRecords(records, outcomes);
    // Each outcome once, with its count and the first schedule that gives it.
    std::vector<std::string> rows;
    std::map<std::string, std::pair<size_t, std::string>> seen;
    for (const Outcome &o : outcomes) {
        const std::string row = outcomeRow(o);
        if (!seen.contains(row))
            rows.push_back(row);
        if (seen[row].first++ == 0)
            seen[row].second = o.schedule;
    }
    printf("%s: every order of its steps\n%zu schedules\ncount  parent's line     "
           "parent's exit    first schedule\n",
           name.c_str(), outcomes.size());
    for (const std::string &row : rows)
        printf("%5zu  %s  %s\n", seen[row].first, row.c_str(), seen[row].second.c_str());
    if (fflush(stdout) != 0 || ferror(stdout))
        giveUp("write error", errno);
    return 0;
}
