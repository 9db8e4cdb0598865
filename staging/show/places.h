// Memory and locks by the names the program gives them: `count`, `flag[1]`, `turn`, `first`;
// else where they are: a thread's stack, the heap.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "execution.h"

class Places {
  public:
    explicit Places(const Execution &run);
    Places(const std::vector<ElfFile::Symbol> &symbols, uint64_t bias,
           const std::vector<Thread> &held);
    std::string name(uint64_t address, unsigned size) const;
    // A synchronisation object that `routine` takes, by the size of its kind, so that an
    // array of them is named by element: forks[1].
    std::string object(uint64_t address, Routine routine) const;
    // A routine's name, without a C++ name's parameters.
    static std::string routineName(const std::string &symbol);

  private:
    std::vector<ElfFile::Symbol> objects; // the program's data, by address as loaded
    std::vector<Thread> threads;
};
