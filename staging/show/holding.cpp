// Following the locks that each thread takes and gives back.
#include "holding.h"

#include <algorithm>

bool takesLock(const Step &step) {
    switch (step.kind) {
    case StepKind::lock:
    case StepKind::readLock:
    case StepKind::condWake:
        return true;
    case StepKind::trylock:
    case StepKind::semWait:
    case StepKind::semTrywait:
        return step.result == 0;
    default:
        return false;
    }
}

bool releasesLock(const Step &step) {
    return step.kind == StepKind::unlock || step.kind == StepKind::semPost ||
           step.kind == StepKind::condWait;
}

std::string lockOf(const Step &step, const Places &places) {
    if (step.kind == StepKind::condWait || step.kind == StepKind::condWake)
        return places.object(step.object, Routine::mutexLock);
    return places.object(step.address, step.routine);
}

void holdAfter(std::vector<std::string> &held, const Step &step, const std::string &lock) {
    const auto found = std::find(held.begin(), held.end(), lock);
    if (takesLock(step))
        held.push_back(lock);
    else if (releasesLock(step) && found != held.end())
        held.erase(found);
}

std::vector<std::string> locksHeld(const std::vector<Step> &steps, int thread, const Places &places,
                                   size_t upTo) {
    std::vector<std::string> held;
    for (size_t i = 0; i < steps.size() && i < upTo; ++i)
        if (steps[i].thread == thread && (takesLock(steps[i]) || releasesLock(steps[i])))
            holdAfter(held, steps[i], lockOf(steps[i], places));
    return held;
}
