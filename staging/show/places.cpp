// Naming what a step touches.
#include "places.h"

#include <pthread.h>
#include <semaphore.h>

#include <algorithm>

#include "names.h"

Places::Places(const Execution &run)
    : Places(run.programSymbols(), run.loadBias(), run.threads()) {}

Places::Places(const std::vector<ElfFile::Symbol> &symbols, uint64_t bias,
               const std::vector<Thread> &held)
    : threads(held) {
    for (ElfFile::Symbol symbol : symbols)
        if (!symbol.routine && symbol.size > 0) {
            symbol.address += bias;
            symbol.name = routineName(symbol.name);
            objects.push_back(symbol);
        }
    std::sort(
        objects.begin(), objects.end(),
        [](const ElfFile::Symbol &a, const ElfFile::Symbol &b) { return a.address < b.address; });
}

std::string Places::routineName(const std::string &symbol) {
    return plainName(symbol);
}

std::string Places::name(uint64_t address, unsigned size) const {
    const auto after = std::upper_bound(
        objects.begin(), objects.end(), address,
        [](uint64_t at, const ElfFile::Symbol &symbol) { return at < symbol.address; });
    if (after != objects.begin()) {
        const ElfFile::Symbol &data = *(after - 1);
        const uint64_t offset = address - data.address;
        if (offset < data.size) {
            if (offset == 0 && (size == 0 || size >= data.size))
                return data.name;
            if (size > 0 && data.size % size == 0 && offset % size == 0 && data.size > size)
                return data.name + "[" + std::to_string(offset / size) + "]";
            return data.name + "+" + std::to_string(offset);
        }
    }
    const auto stack = std::find_if(threads.begin(), threads.end(), [address](const Thread &t) {
        return address >= t.stackLow && address < t.stackHigh;
    });
    if (stack != threads.end())
        return std::string(1, stack->letter) + "'s stack " + hex(address);
    return hex(address);
}

std::string Places::object(uint64_t address, Routine routine) const {
    unsigned size = 0;
    switch (routine) {
    case Routine::mutexLock:
    case Routine::mutexTrylock:
    case Routine::mutexTimedlock:
    case Routine::mutexUnlock:
        size = sizeof(pthread_mutex_t);
        break;
    case Routine::semWait:
    case Routine::semTrywait:
    case Routine::semTimedwait:
    case Routine::semPost:
        size = sizeof(sem_t);
        break;
    case Routine::condWait:
    case Routine::condTimedwait:
    case Routine::condSignal:
    case Routine::condBroadcast:
        size = sizeof(pthread_cond_t);
        break;
    case Routine::spinLock:
    case Routine::spinTrylock:
    case Routine::spinUnlock:
        size = sizeof(pthread_spinlock_t);
        break;
    case Routine::readLock:
    case Routine::writeLock:
    case Routine::tryReadLock:
    case Routine::tryWriteLock:
    case Routine::rwUnlock:
        size = sizeof(pthread_rwlock_t);
        break;
    case Routine::barrierWait:
        size = sizeof(pthread_barrier_t);
        break;
    default:
        break;
    }
    return name(address, size);
}
