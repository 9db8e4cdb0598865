#include "path.h"

#include <algorithm>
#include <iterator>

bool Choice::preempts(int thread) const {
    return last >= 0 && thread != last &&
           std::find(enabled.begin(), enabled.end(), last) != enabled.end();
}

bool Choice::asleep(int thread) const {
    return std::any_of(sleep.begin(), sleep.end(),
                       [thread](const Tried &tried) { return tried.thread == thread; });
}

bool Choice::tried(int thread) const {
    return thread == taken ||
           std::any_of(done.begin(), done.end(),
                       [thread](const Tried &t) { return t.thread == thread; }) ||
           std::find(backtrack.begin(), backtrack.end(), thread) != backtrack.end();
}

std::vector<Tried> sleepAfter(const Choice &choice) {
    std::vector<Tried> after;
    auto commutes = [&choice](const Tried &tried) {
        return tried.thread != choice.taken && independent(tried.touches, choice.touches);
    };
    std::copy_if(choice.sleep.begin(), choice.sleep.end(), std::back_inserter(after), commutes);
    std::copy_if(choice.done.begin(), choice.done.end(), std::back_inserter(after), commutes);
    return after;
}
