// A program or shared library read from its ELF file: where its segments go, which of its code
// is the program's own, and the names it gives the dynamic linker. Files come from outside,
// so every offset is checked against the file's size before it is read.
#pragma once

#include <elf.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

struct AddressRange {
    uint64_t start = 0;
    uint64_t end = 0;
    bool contains(uint64_t address) const { return address >= start && address < end; }
};

class ElfFile {
  public:
    ElfFile() = default;
    ElfFile(const ElfFile &) = delete;
    ElfFile &operator=(const ElfFile &) = delete;
    ~ElfFile();

    // Reads the file at `path`. False when it cannot be read or is not a 64-bit ELF file of
    // this processor; `why` then says which, as a clause: "no such file", "a 32-bit
    // program: only 64-bit programs are held".
    bool open(const char *path, const char *&why);
    // Why the file, read, is no program to run: an object file, a shared library, a file
    // of another ELF type; null for a program.
    const char *notAProgram() const;

    uint64_t entry() const { return header()->e_entry; }
    // Whether it names an interpreter, the dynamic linker that loads it (PT_INTERP).
    bool interpreted() const;
    // The segments loaded with `flag` (PF_X, PF_W), as linked (before relocation).
    std::vector<AddressRange> segments(uint32_t flag) const;
    // The address range of the section `name`, or an empty range.
    AddressRange section(const char *name) const;
    uint64_t dynamicSection() const;
    // The routines that it defines for other files, by name.
    const std::unordered_map<std::string, uint64_t> &defined() const { return definitions; }
    // The data that it names for the dynamic linker: its own, and what it copied in from a
    // library at its start (a copy relocation), stripped or not.
    const std::unordered_map<std::string, uint64_t> &definedData() const { return data; }
    // The file's own symbol table (absent when stripped): its routines and data objects by
    // address, as linked, for naming what a program touches.
    struct Symbol {
        std::string name;
        uint64_t address;
        uint64_t size;
        bool routine;
    };
    const std::vector<Symbol> &symbols() const { return own; }
    // Whether it takes the routine or data `name` from another file.
    bool uses(const char *name) const;

  private:
    const Elf64_Ehdr *header() const { return static_cast<const Elf64_Ehdr *>(image); }
    const Elf64_Shdr *sectionHeaders(size_t &count) const;
    const Elf64_Phdr *programHeaders(size_t &count) const;
    bool within(uint64_t offset, uint64_t length) const;
    // Whether `count` records of `T` start at `offset`, inside the file and aligned for T.
    template <typename T> const T *records(uint64_t offset, uint64_t count) const;
    uint64_t dynamicFlags() const;
    void readSymbols();
    void readOwnSymbols();

    void *image = nullptr;
    size_t size = 0;
    std::unordered_map<std::string, uint64_t> definitions;
    std::unordered_map<std::string, uint64_t> data;
    std::vector<Symbol> own; // the symbol table's routines and data, read once
    std::vector<std::string> imports;
};
