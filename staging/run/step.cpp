// What steps touch, and which wait for their store buffer.
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
    return kind == StepKind::load || kind == StepKind::store || kind == StepKind::update ||
           kind == StepKind::flush;
}

bool drains(StepKind kind) {
    return kind != StepKind::load && kind != StepKind::store && kind != StepKind::flush &&
           kind != StepKind::wakes;
}
