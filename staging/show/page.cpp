// Writing -c's run as an HTML page: the page's own text, built in from page.html, with the
// run put into it as one JSON object.
#include "page.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "describe.h"
#include "holding.h"
#include "lost_updates.h"
#include "names.h"
#include "page_template.h"
#include "watch.h"

namespace {

// A JSON string that is safe inside the page's script: no character of it can end the
// script element or the string (<, >, & and the line separators as escapes).
std::string json(const std::string &text) {
    std::string out = "\"";
    for (const char c : visible(text)) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (c == '<' || c == '>' || c == '&') {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else
            out += c;
    }
    return out + "\"";
}

// The program's output, kept with its newlines: each line made visible.
std::string jsonLines(const std::string &text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = json(text.substr(at, end - at));
        out += line.substr(1, line.size() - 2) + (end < text.size() ? "\\n" : "");
        at = end + 1;
    }
    return out + "\"";
}

std::string jsonList(const std::vector<std::string> &items) {
    std::string out = "[";
    for (const std::string &item : items)
        out.append(out.size() > 1 ? "," : "").append(json(item));
    return out + "]";
}

void set(std::vector<std::pair<std::string, std::string>> &settings,
         std::vector<std::string> &names, const std::string &name, const std::string &value) {
    settings.emplace_back(name, value);
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
}

bool semaphore(StepKind kind) {
    return kind == StepKind::semWait || kind == StepKind::semTrywait || kind == StepKind::semPost;
}

// The state that a step leaves, as a JSON object of every name: `values` (one a name, ""
// where no step has yet set it) brought up to date with what the step set.
std::string snapshot(const std::vector<std::pair<std::string, std::string>> &set,
                     const std::vector<std::string> &names, std::vector<std::string> &values) {
    values.resize(names.size());
    for (const auto &[name, value] : set)
        values[static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin())] =
            value;
    std::string out = "{";
    for (size_t k = 0; k < names.size(); ++k)
        out.append(k > 0 ? "," : "").append(json(names[k])).append(":").append(json(values[k]));
    return out + "}";
}

} // namespace

SchedulePage::SchedulePage(const char *where, bool withInstructions)
    : path(where), instructions(withInstructions), file(fopen(where, "we")) {
    if (file == nullptr)
        giveUp("cannot write " + shellQuoted(path), errno);
}

SchedulePage::~SchedulePage() {
    if (file != nullptr)
        fclose(file);
}

void SchedulePage::step(const Step &step, char who, const std::string &does, const Execution &run,
                        const Places &placeNames) {
    Settings changed;
    Settings lockChanged;
    // Memory as it is: a store still in its thread's buffer, or a load that saw one, does
    // not show what memory holds.
    if (isMemory(step.kind) && !step.buffered && !step.forwarded)
        set(changed, names, placeNames.name(step.address, step.size),
            number(step.size, step.value));
    if (takesLock(step) || releasesLock(step) || step.kind == StepKind::semTrywait ||
        step.kind == StepKind::trylock) {
        const uint64_t address = step.kind == StepKind::condWait || step.kind == StepKind::condWake
                                     ? step.object
                                     : step.address;
        const std::string lock = lockOf(step, placeNames);
        // Who holds it: a mutex's owner, as the library keeps it; a semaphore has none, so
        // the threads that took it and have not posted it.
        std::string &takers = takenBy[lock];
        const char taker = run.threads()[static_cast<size_t>(step.thread)].letter;
        if (takesLock(step))
            takers += taker;
        else if (releasesLock(step) && !takers.empty())
            takers.erase(std::min(takers.find(taker), takers.size() - 1), 1);
        const int holder = run.holder(address);
        std::string state;
        if (semaphore(step.kind))
            state = "value " + std::to_string(run.valueAt(address)) +
                    (takers.empty() ? "" : ", taken by " + takers);
        else
            state = holder >= 0 ? std::string("held by ") +
                                      run.threads()[static_cast<size_t>(holder)].letter
                                : "free";
        set(lockChanged, lockNames, lock, state);
    }
    places.push_back(changed);
    locks.push_back(lockChanged);
    steps.push_back("{\"n\":" + std::to_string(places.size()) + ",\"who\":" +
                    json(std::string(1, who)) + ",\"thread\":" + std::to_string(step.thread) +
                    ",\"does\":" + json(does) + ",\"printed\":" + jsonLines(step.printed) +
                    ",\"instruction\":" + json(instructions ? step.instruction : "") +
                    ",\"buffers\":" + json(run.storeBuffers() ? bufferText(run, placeNames) : ""));
}

void SchedulePage::finish(const std::string &title, const Execution &run, const RunRecord &record,
                          const RunOutcome &outcome, const Places &placeNames) {
    // Each step's whole state, now that every name is known.
    std::string all;
    std::vector<std::string> values;
    std::vector<std::string> states;
    for (size_t i = 0; i < steps.size(); ++i)
        all.append(i > 0 ? ",\n" : "")
            .append(steps[i])
            .append(",\"values\":")
            .append(snapshot(places[i], names, values))
            .append(",\"lockStates\":")
            .append(snapshot(locks[i], lockNames, states))
            .append("}");
    std::string lost;
    for (const LostUpdate &update : lostUpdatesOf(record.steps)) {
        const Step &store = record.steps[update.store];
        const Step &load = record.steps[update.load];
        const Step &wiped = record.steps[update.wiped];
        const std::string place = placeNames.name(update.address, store.size);
        const auto letter = [&run](const Step &step) {
            return std::string(1, run.threads()[static_cast<size_t>(step.thread)].letter);
        };
        lost += std::string(lost.empty() ? "" : ",") +
                "{\"load\":" + std::to_string(update.load + 1) +
                ",\"store\":" + std::to_string(update.store + 1) +
                ",\"wiped\":" + std::to_string(update.wiped + 1) + ",\"place\":" + json(place) +
                ",\"text\":" +
                json(letter(store) + " stores " + number(store.size, store.value) + " to " + place +
                     " from the " + number(load.size, load.value) + " it loaded at step " +
                     std::to_string(update.load + 1) + ", wiping out " + letter(wiped) +
                     "'s change stored at step " + std::to_string(update.wiped + 1)) +
                "}";
    }
    std::string threads = "[";
    for (const Thread &thread : run.threads())
        threads += std::string(threads.size() > 1 ? "," : "") +
                   "{\"letter\":" + json(std::string(1, thread.letter)) +
                   ",\"name\":" + json(thread.name) + "}";
    const std::string data = "{\"title\":" + json(title) + ",\"order\":" +
                             json(run.storeBuffers() ? "x86's store buffers (total store order)"
                                                     : "sequential consistency") +
                             ",\"threads\":" + threads + "],\"places\":" + jsonList(names) +
                             ",\"locks\":" + jsonList(lockNames) + ",\"steps\":[\n" + all +
                             "],\"lost\":[" + lost + "],\"waits\":" + jsonList(outcome.waits) +
                             ",\"deadlock\":" + jsonList(outcome.cycle) +
                             ",\"outcome\":" + jsonList(outcome.lines) + "}";
    std::string page = reinterpret_cast<const char *>(pageTemplate);
    const std::string marker = "/*SCHEDULE*/null";
    const size_t where = page.find(marker);
    if (where != std::string::npos)
        page.replace(where, marker.size(), data);
    const bool written = fputs(page.c_str(), file) >= 0;
    const bool closed = fclose(file) == 0;
    file = nullptr;
    if (!written || !closed)
        giveUp("write error: " + shellQuoted(path), errno);
}
