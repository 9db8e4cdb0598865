// What steps touch, and the words for them.
#include "step.h"

bool independent(const std::vector<Touch> &a, const std::vector<Touch> &b) {
    for (const Touch &x : a)
        for (const Touch &y : b) {
            if (!x.writes && !y.writes)
                continue;
            const uint64_t xEnd = x.size == everywhere ? everywhere : x.address + x.size;
            const uint64_t yEnd = y.size == everywhere ? everywhere : y.address + y.size;
            if (x.address < yEnd && y.address < xEnd)
                return false;
        }
    return true;
}

bool isMemory(StepKind kind) {
    return kind == StepKind::load || kind == StepKind::store || kind == StepKind::update;
}

const char *verbOf(StepKind kind) {
    switch (kind) {
    case StepKind::load:
        return "loads";
    case StepKind::store:
        return "stores";
    case StepKind::update:
        return "updates";
    case StepKind::condWake:
        return "wakes";
    case StepKind::end:
        return "ends";
    case StepKind::exit:
        return "exits";
    case StepKind::wakes:
        return "wakes in its call";
    default:
        return "calls";
    }
}
