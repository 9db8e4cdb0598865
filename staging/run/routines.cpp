// Which library routines interleave takes as steps, by the names the program calls them by.
#include "routines.h"

#include <algorithm>
#include <iterator>

#include "image.h"

namespace {

struct Named {
    Routine routine;
    const char *name;
};

// The first name of a routine is the one shown; others are its aliases and variants.
constexpr Named named[] = {
    {Routine::mutexLock, "pthread_mutex_lock"},
    {Routine::mutexTrylock, "pthread_mutex_trylock"},
    {Routine::mutexTimedlock, "pthread_mutex_timedlock"},
    {Routine::mutexTimedlock, "pthread_mutex_clocklock"},
    {Routine::mutexUnlock, "pthread_mutex_unlock"},
    {Routine::spinLock, "pthread_spin_lock"},
    {Routine::spinTrylock, "pthread_spin_trylock"},
    {Routine::spinUnlock, "pthread_spin_unlock"},
    {Routine::readLock, "pthread_rwlock_rdlock"},
    {Routine::writeLock, "pthread_rwlock_wrlock"},
    {Routine::tryReadLock, "pthread_rwlock_tryrdlock"},
    {Routine::tryWriteLock, "pthread_rwlock_trywrlock"},
    {Routine::rwUnlock, "pthread_rwlock_unlock"},
    {Routine::semWait, "sem_wait"},
    {Routine::semTrywait, "sem_trywait"},
    {Routine::semTimedwait, "sem_timedwait"},
    {Routine::semTimedwait, "sem_clockwait"},
    {Routine::semPost, "sem_post"},
    {Routine::condWait, "pthread_cond_wait"},
    {Routine::condTimedwait, "pthread_cond_timedwait"},
    {Routine::condTimedwait, "pthread_cond_clockwait"},
    {Routine::condSignal, "pthread_cond_signal"},
    {Routine::condBroadcast, "pthread_cond_broadcast"},
    {Routine::barrierWait, "pthread_barrier_wait"},
    {Routine::create, "pthread_create"},
    {Routine::join, "pthread_join"},
    {Routine::threadExit, "pthread_exit"},
    {Routine::exit, "exit"},
    {Routine::exit, "_exit"},
    {Routine::exit, "_Exit"},
    {Routine::exit, "quick_exit"},
    {Routine::sleep, "sleep"},
    {Routine::sleep, "usleep"},
    {Routine::sleep, "nanosleep"},
    {Routine::sleep, "clock_nanosleep"},
    {Routine::sleep, "sched_yield"},
    {Routine::sleep, "pthread_yield"},
    {Routine::startMain, "__libc_start_main"},
};

} // namespace

void Routines::find(const Image &image) {
    byAddress.clear();
    byRoutine.clear();
    for (const Named &entry : named) {
        const uint64_t found = image.routine(entry.name);
        if (found == 0)
            continue;
        byAddress.emplace(found, entry.routine);
        byRoutine.emplace(static_cast<int>(entry.routine), found);
    }
}

Routine Routines::at(uint64_t address) const {
    const auto found = byAddress.find(address);
    return found == byAddress.end() ? Routine::none : found->second;
}

uint64_t Routines::address(Routine routine) const {
    const auto found = byRoutine.find(static_cast<int>(routine));
    return found == byRoutine.end() ? 0 : found->second;
}

const char *Routines::name(Routine routine) {
    const auto *const found =
        std::find_if(std::begin(named), std::end(named),
                     [routine](const Named &entry) { return entry.routine == routine; });
    return found != std::end(named) ? found->name : "?";
}
