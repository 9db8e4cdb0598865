// The library routines that are steps of their own, found where the dynamic linker finds
// them: a call from the program's own code that lands on one of them is a step.
#pragma once

#include <stdint.h>

#include <unordered_map>

class Image;

enum class Routine : uint8_t {
    none,
    mutexLock,
    mutexTrylock,
    mutexTimedlock,
    mutexUnlock,
    spinLock,
    spinTrylock,
    spinUnlock,
    readLock,
    writeLock,
    tryReadLock,
    tryWriteLock,
    rwUnlock,
    semWait,
    semTrywait,
    semTimedwait,
    semPost,
    condWait,
    condTimedwait,
    condSignal,
    condBroadcast,
    barrierWait,
    create,
    join,
    threadExit,
    exit,
    sleep,
    startMain, // __libc_start_main: calls main, which is the program's own again
};

class Routines {
  public:
    void find(const Image &image);
    Routine at(uint64_t address) const;
    uint64_t address(Routine routine) const;
    static const char *name(Routine routine);

  private:
    std::unordered_map<uint64_t, Routine> byAddress;
    std::unordered_map<int, uint64_t> byRoutine;
};
