// The held program as it stands in memory: where its file was loaded, which code is the
// program's own (not the dynamic linker's stubs, not a runtime it exports), where its data
// lies, and the routines of the libraries it loaded, found as the dynamic linker finds them.
#pragma once

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "arch.h"
#include "elf_file.h"

class Tracee;

class Image {
  public:
    // Reads the program's file; false, with the reason, when it is no program to hold.
    bool open(const char *file, const char *&why);
    const ElfFile &file() const { return program; }

    // Once the program stands at its entry point: where it was loaded, and which libraries
    // the dynamic linker has loaded for it, in the order in which it looks names up.
    void loaded(Tracee &tracee, uint64_t entry);
    uint64_t entry() const { return program.entry() + bias; }

    // Code of the program's own: its routines and those it calls, which interleave follows
    // one instruction at a time. Everything else is run at full speed.
    bool ownCode(uint64_t address) const;
    bool writableData(uint64_t address) const;
    // The memory of a sanitizer's runtime library, whose options and state its checks read.
    bool inSanitizerRuntime(uint64_t address) const;
    // Code of the program's file that is not its own: the stubs that lead to libraries.
    bool inFile(uint64_t address) const;
    // The address of the routine `name` where the dynamic linker would find it first, or 0.
    uint64_t routine(const char *name) const;
    // The instruction of the program's own code at `address`, decoded once for all runs;
    // null where the bytes are no instruction.
    const Instruction *instruction(const Tracee &tracee, uint64_t address);

  private:
    struct Library {
        std::string path;
        uint64_t bias;
    };
    ElfFile program;
    std::string path;
    uint64_t bias = 0;
    std::vector<AddressRange> code;
    std::vector<AddressRange> stubs;
    std::vector<AddressRange> data;
    std::vector<uint64_t> exported;
    std::vector<Library> libraries;
    std::unordered_map<uint64_t, Instruction> decoded;
};
