// --all: every schedule, run by worker processes, two a processor that interleave may use,
// each schedule a fresh run of the program. A run takes the first letter that can move at each
// step; every other letter that could have moved there is a schedule still to run, which
// starts as that run did up to there. So each schedule is run exactly once.
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
// collects them all: each program comes to this process, the subreaper, as its worker ends.
void stopWorkers() {
    for (Worker &worker : workers) {
        if (worker.pid > 0)
            kill(worker.pid, SIGKILL);
        worker.pid = 0;
    }
    for (bool collecting = true; collecting;)
        collecting = waitpid(-1, nullptr, __WALL) > 0 || errno == EINTR;
}

// A worker: reads a schedule's start a line, runs it to its end, answers with one line.
[[noreturn]] void serve(FILE *tasks, FILE *results, const char *path, Kind kind, Image &image,
                        unsigned long passes) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    onEndingSignal(nullptr);
    char line[mostSteps + 2];
    while (fgets(line, sizeof line, tasks) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        const Outcome o = runToEnd(path, kind, image, passes, line);
        fprintf(results, "%s %s %d %u %u %lu %lu %s %d %d %d\n", o.schedule.c_str(),
                o.others.c_str(), o.final, o.changes, o.lost, o.lines, o.breaks,
                o.verdict.empty() ? "-" : o.verdict.c_str(), o.deadlock, o.lineFirst,
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
void startWorkers(const char *path, Kind kind, Image &image, unsigned long passes) {
    const std::vector<size_t> processors = allowedProcessors();
    workers.resize(std::clamp<size_t>(processors.size() * 2, 1, 16));
    onEndingSignal(stopWorkers);
    for (Worker &worker : workers) {
        int tasks[2];
        int results[2];
        int errors[2];
        if (pipe2(tasks, O_CLOEXEC) != 0 || pipe2(results, O_CLOEXEC) != 0 ||
            pipe2(errors, O_CLOEXEC) != 0)
            giveUp("cannot make a pipe", errno);
        const auto number = static_cast<size_t>(&worker - workers.data());
        worker.pid = fork();
        if (worker.pid < 0)
            giveUp("cannot start a worker process", errno);
        if (worker.pid == 0) {
            if (!processors.empty()) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(processors[number % processors.size()], &one);
                sched_setaffinity(0, sizeof one, &one);
            }
            dup2(errors[1], STDERR_FILENO);
            serve(fdopen(tasks[0], "r"), fdopen(results[1], "w"), path, kind, image, passes);
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
    std::vector<std::string> fields;
    for (size_t at = 0; at < line.size();) {
        const size_t end = std::min(line.find_first_of(" \n", at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    long numbers[11] = {};
    for (size_t i = 2; i < fields.size() && i < 11; ++i) {
        char *end = nullptr;
        numbers[i] = strtol(fields[i].c_str(), &end, 10);
        if (i != 7 && (end == fields[i].c_str() || *end != '\0'))
            fields.clear();
    }
    if (fields.size() != 11)
        giveUp("a worker process answered with a line that it should not");
    Outcome o;
    o.schedule = fields[0];
    o.others = fields[1];
    o.final = static_cast<Count>(numbers[2]);
    o.changes = static_cast<unsigned>(numbers[3]);
    o.lost = static_cast<unsigned>(numbers[4]);
    o.lines = static_cast<unsigned long>(numbers[5]);
    o.breaks = static_cast<unsigned long>(numbers[6]);
    o.verdict = fields[7];
    o.deadlock = numbers[8] != 0;
    o.lineFirst = numbers[9] != 0;
    o.promptFirst = numbers[10] != 0;
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
        exit(1);
    }
    worker.busy = false;
    done.push_back(parse(line));
    const Outcome &run = done.back();
    for (size_t at = 0; at < run.others.size(); ++at)
        if (run.others[at] != '.')
            pending.push_back(run.schedule.substr(0, at) + run.others[at]);
    if (done.size() + pending.size() > mostSchedules)
        giveUp("more than " + std::to_string(mostSchedules) + " schedules: try fewer passes");
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

// A lost change, a broken trace or a deadlock. A deadlocked run may have printed nothing,
// which tallycheck calls empty.
bool bad(const Outcome &o) {
    return o.lost > 0 || o.verdict != "consistent" || o.deadlock;
}

std::string outcomeRow(Kind kind, const Outcome &o) {
    char row[256];
    if (kind == Kind::processes)
        snprintf(row, sizeof row, "%-15s  %-15s", o.lineFirst ? "before listing" : "after listing",
                 o.promptFirst ? "before listing" : "after listing");
    else
        snprintf(row, sizeof row, "%5d  %7u  %4u  %5lu  %-12s  %6lu  %-8s", o.final, o.changes,
                 o.lost, o.lines, o.verdict.c_str(), o.breaks, o.deadlock ? "yes" : "no");
    return row;
}

void writeRecords(const char *records, const std::vector<Outcome> &outcomes) {
    FILE *file = fopen(records, "we");
    if (file == nullptr)
        giveUp("cannot write " + shellQuoted(records), errno);
    fputs("schedule,lines,final,changes,lost,breaks,verdict,deadlock\n", file);
    for (const Outcome &o : outcomes)
        fprintf(file, "%s,%lu,%d,%u,%u,%lu,%s,%s\n", o.schedule.c_str(), o.lines, o.final,
                o.changes, o.lost, o.breaks, o.verdict.c_str(), o.deadlock ? "yes" : "no");
    if (fclose(file) != 0)
        giveUp("write error: " + shellQuoted(records), errno);
}

} // namespace

int everySchedule(const char *path, const std::string &name, Kind kind, Image &image,
                  unsigned long passes, const char *records) {
    startWorkers(path, kind, image, passes);
    std::vector<Outcome> outcomes = explore();
    stopWorkers();
    std::sort(outcomes.begin(), outcomes.end(), before);
    if (records != nullptr)
        writeRecords(records, outcomes);
    // Each outcome once, with its count and the first schedule that gives it.
    std::vector<std::string> rows;
    std::map<std::string, std::pair<size_t, std::string>> seen;
    size_t lose = 0;
    size_t breaking = 0;
    size_t deadlocks = 0;
    for (const Outcome &o : outcomes) {
        const std::string row = outcomeRow(kind, o);
        if (!seen.contains(row))
            rows.push_back(row);
        if (seen[row].first++ == 0)
            seen[row].second = o.schedule;
        lose += o.lost > 0;
        breaking += o.verdict == "inconsistent" || o.verdict == "malformed";
        deadlocks += o.deadlock;
    }
    if (kind == Kind::processes)
        printf("%s: every order of its steps\n%zu schedules\ncount  parent's line     "
               "parent's exit    first schedule\n",
               name.c_str(), outcomes.size());
    else
        printf("%s: every schedule of %lu pass%s of each worker\n%zu schedules\ncount  final  "
               "changes  lost  lines  tallycheck    breaks  deadlock  first schedule\n",
               name.c_str(), passes, passes == 1 ? "" : "es", outcomes.size());
    for (const std::string &row : rows)
        printf("%5zu  %s  %s\n", seen[row].first, row.c_str(), seen[row].second.c_str());
    if (kind == Kind::counter)
        printf("of %zu schedules: %zu lose a change, %zu break the trace, %zu deadlock\n",
               outcomes.size(), lose, breaking, deadlocks);
    if (fflush(stdout) != 0 || ferror(stdout))
        giveUp("write error", errno);
    return std::any_of(outcomes.begin(), outcomes.end(), bad) && kind == Kind::counter ? 1 : 0;
}
