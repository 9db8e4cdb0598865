// Feeds arbitrary bytes to the ELF reader as a file, and asks it everything that interleave
// asks of a program or a library: its kind, its segments, sections and symbols. The reader
// must refuse or read each file without reading outside it (AddressSanitizer) or reading a
// record misaligned (UndefinedBehaviorSanitizer); what it reads must hold together.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "../elf_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The reader takes a path: the bytes go into a file in memory, named through /proc.
    static const int file = memfd_create("fuzz_elf", MFD_CLOEXEC);
    if (file < 0 || ftruncate(file, 0) != 0 ||
        pwrite(file, data, size, 0) != static_cast<ssize_t>(size))
        abort();
    const std::string path = "/proc/self/fd/" + std::to_string(file);
    ElfFile elf;
    const char *why = nullptr;
    if (!elf.open(path.c_str(), why)) {
        if (why == nullptr)
            abort(); // a refusal always says why
        return 0;
    }
    (void)elf.notAProgram();
    (void)elf.interpreted();
    (void)elf.entry();
    (void)elf.dynamicSection();
    for (const uint32_t flag : {uint32_t{PF_X}, uint32_t{PF_W}})
        for (const AddressRange &range : elf.segments(flag))
            (void)range.contains(elf.entry());
    for (const char *name : {".text", ".plt", ".plt.sec", ".plt.got"}) {
        const AddressRange range = elf.section(name);
        (void)range.contains(range.start);
    }
    for (const auto &[name, address] : elf.defined())
        if (name.size() > size)
            abort(); // a name is read from the file, so it cannot be longer than it
    (void)elf.uses("pthread_create");
    return 0;
}
