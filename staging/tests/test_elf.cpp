// The ELF reader in-process, on files of every kind that reaches it: a PIE and a fixed-address
// program, a shared library and an object file built beside this test, and copies of the
// PIE damaged in each header field that the reader trusts. Every file is either read, with
// what it says, or refused with the reason that fits.
// Usage: test_elf PIE FIXED LIBRARY OBJECT
#include <elf.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../elf_file.h"

#include "checks.h"

namespace {

std::vector<char> bytesOf(const char *path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string folder;

std::string written(const std::vector<char> &bytes, const std::string &name) {
    std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    return path;
}

// The reason ElfFile gives for the file, or "" when it reads it.
std::string refusal(const std::string &path) {
    ElfFile file;
    const char *why = nullptr;
    return file.open(path.c_str(), why) ? "" : why;
}

Elf64_Ehdr &headerOf(std::vector<char> &bytes) {
    return *reinterpret_cast<Elf64_Ehdr *>(bytes.data());
}

void programsAndLibraries(const char *pie, const char *fixed, const char *library,
                          const char *object) {
    const char *why = nullptr;
    ElfFile position;
    check(position.open(pie, why), "a PIE is read");
    check(position.notAProgram() == nullptr && position.interpreted(), "a PIE is a program");
    const AddressRange text = position.section(".text");
    check(text.contains(position.entry()), "a PIE's entry lies in its .text");
    bool executable = false;
    for (const AddressRange &range : position.segments(PF_X))
        executable |= range.contains(position.entry());
    check(executable, "a PIE's entry lies in an executable segment");
    check(position.dynamicSection() != 0, "a PIE has a dynamic section");
    check(position.uses("pthread_create"), "loosetally takes pthread_create from a library");
    check(!position.uses("no_such_routine"), "a routine it does not take is not taken");
    check(position.section(".no_such_section").end == 0, "no such section is empty");

    ElfFile fixedAddress;
    check(fixedAddress.open(fixed, why) && fixedAddress.notAProgram() == nullptr,
          "a program linked at a fixed address is a program");

    ElfFile shared;
    check(shared.open(library, why), "a shared library is read");
    check(shared.notAProgram() != nullptr &&
              std::string(shared.notAProgram()) == "a shared library, not a program",
          "a shared library is named one");
    check(shared.defined().contains("elf_sample_routine") &&
              shared.defined().at("elf_sample_routine") != 0,
          "a library's routines are found by name");
    check(shared.uses("puts"), "a library's imports are found");

    ElfFile relocatable;
    check(relocatable.open(object, why) && relocatable.notAProgram() != nullptr &&
              std::string(relocatable.notAProgram()) == "an object file, not a program",
          "an object file is named one");
}

void damagedCopies(const char *pie) {
    const std::vector<char> original = bytesOf(pie);
    check(original.size() > 4096, "the PIE was read");
    const Elf64_Ehdr header = *reinterpret_cast<const Elf64_Ehdr *>(original.data());

    check(refusal(folder + "/absent") == "no such file", "a missing file");
    for (const size_t length : {size_t{0}, size_t{4}, sizeof(Elf64_Ehdr) - 1})
        check(refusal(written({original.begin(), original.begin() + static_cast<long>(length)},
                              "short")) == "it is not an ELF program",
              "a file of " + std::to_string(length) + " bytes");
    // Cut inside the program headers, then inside the section headers, then one byte short.
    for (const size_t length :
         {size_t{header.e_phoff + 8}, size_t{header.e_shoff + 8}, original.size() - 1})
        check(refusal(written({original.begin(), original.begin() + static_cast<long>(length)},
                              "cut")) == "its ELF headers are damaged",
              "a PIE cut at " + std::to_string(length) + " bytes");

    struct Damage {
        const char *what;
        void (*apply)(Elf64_Ehdr &, size_t size);
        const char *reason;
    };
    const Damage damages[] = {
        {"32-bit", [](Elf64_Ehdr &h, size_t) { h.e_ident[EI_CLASS] = ELFCLASS32; },
         "a 32-bit program: only 64-bit programs are held"},
        {"big-endian", [](Elf64_Ehdr &h, size_t) { h.e_ident[EI_DATA] = ELFDATA2MSB; },
         "a program for another processor"},
        {"a foreign machine", [](Elf64_Ehdr &h, size_t) { h.e_machine = EM_RISCV; },
         "a program for another processor"},
        {"program headers past the end", [](Elf64_Ehdr &h, size_t size) { h.e_phoff = size; },
         "its ELF headers are damaged"},
        {"program headers at a wrapping offset",
         [](Elf64_Ehdr &h, size_t) { h.e_phoff = ~uint64_t{0} - 8; },
         "its ELF headers are damaged"},
        {"misaligned program headers", [](Elf64_Ehdr &h, size_t) { h.e_phoff += 1; },
         "its ELF headers are damaged"},
        {"a program header of another size", [](Elf64_Ehdr &h, size_t) { h.e_phentsize = 32; },
         "its ELF headers are damaged"},
        {"section headers past the end", [](Elf64_Ehdr &h, size_t size) { h.e_shoff = size - 8; },
         "its ELF headers are damaged"},
        {"a section-name table past the count",
         [](Elf64_Ehdr &h, size_t) { h.e_shstrndx = h.e_shnum; }, "its ELF headers are damaged"},
        {"every section header stripped",
         [](Elf64_Ehdr &h, size_t) { h.e_shoff = h.e_shnum = h.e_shstrndx = 0; }, ""},
    };
    for (const Damage &damage : damages) {
        std::vector<char> copy = original;
        damage.apply(headerOf(copy), copy.size());
        const std::string reason = refusal(written(copy, "damaged"));
        check(reason == damage.reason, std::string("a PIE with ") + damage.what + ": '" + reason +
                                           "', not '" + damage.reason + "'");
    }

    // Stripped of its section headers, it is still a program, with no sections or symbols.
    std::vector<char> stripped = original;
    headerOf(stripped).e_shoff = headerOf(stripped).e_shnum = headerOf(stripped).e_shstrndx = 0;
    ElfFile file;
    const char *why = nullptr;
    check(file.open(written(stripped, "stripped").c_str(), why) && file.notAProgram() == nullptr &&
              file.section(".text").end == 0 && !file.uses("pthread_create") &&
              file.dynamicSection() != 0,
          "a PIE without section headers is a program whose sections are unknown");

    // Every section's offset and size past the end: read, with nothing found in them.
    std::vector<char> scattered = original;
    auto *sections = reinterpret_cast<Elf64_Shdr *>(scattered.data() + header.e_shoff);
    for (size_t i = 0; i < header.e_shnum; ++i) {
        sections[i].sh_offset = scattered.size() - 4;
        sections[i].sh_size = ~uint64_t{0};
    }
    ElfFile far;
    check(far.open(written(scattered, "scattered").c_str(), why) && far.section(".text").end == 0 &&
              far.defined().empty() && !far.uses("puts"),
          "sections past the end are read as empty");
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: test_elf PIE FIXED LIBRARY OBJECT\n");
        return 2;
    }
    char model[] = "/tmp/test_elf.XXXXXX";
    if (mkdtemp(model) == nullptr) {
        perror("test_elf: mkdtemp");
        return 1;
    }
    folder = model;
    programsAndLibraries(argv[1], argv[2], argv[3], argv[4]);
    damagedCopies(argv[1]);
    for (const char *name : {"short", "cut", "damaged", "stripped", "scattered"})
        unlink((folder + "/" + name).c_str());
    rmdir(folder.c_str());
    if (failures == 0)
        puts("every check held");
    return failures == 0 ? 0 : 1;
}
