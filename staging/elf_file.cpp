// Reading ELF files for interleave: headers, segments, sections and dynamic symbols.
#include "elf_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#if defined(__x86_64__)
constexpr Elf64_Half thisMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr Elf64_Half thisMachine = EM_AARCH64;
#else
constexpr Elf64_Half thisMachine = EM_NONE;
#endif

ElfFile::~ElfFile() {
    if (image != nullptr)
        munmap(image, size);
}

bool ElfFile::within(uint64_t offset, uint64_t length) const {
    return offset <= size && length <= size - offset;
}

template <typename T> const T *ElfFile::records(uint64_t offset, uint64_t count) const {
    if (offset % alignof(T) != 0 || count > size / sizeof(T) || !within(offset, count * sizeof(T)))
        return nullptr;
    return reinterpret_cast<const T *>(static_cast<const char *>(image) + offset);
}

bool ElfFile::open(const char *path, const char *&why) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        why = errno == ENOENT ? "no such file" : "it cannot be read";
        if (fd >= 0)
            close(fd);
        return false;
    }
    size = static_cast<size_t>(status.st_size);
    image = size >= sizeof(Elf64_Ehdr) ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0)
                                       : MAP_FAILED;
    close(fd);
    if (image == MAP_FAILED) {
        image = nullptr;
        size = 0;
        why = "it is not an ELF program";
        return false;
    }
    const auto *ident = static_cast<const unsigned char *>(image);
    if (memcmp(ident, ELFMAG, SELFMAG) != 0) {
        why = "it is not an ELF program";
        return false;
    }
    if (ident[EI_CLASS] == ELFCLASS32) {
        why = "a 32-bit program: only 64-bit programs are held";
        return false;
    }
    if (ident[EI_CLASS] != ELFCLASS64 || ident[EI_DATA] != ELFDATA2LSB ||
        header()->e_machine != thisMachine) {
        why = "a program for another processor";
        return false;
    }
    size_t count;
    if (programHeaders(count) == nullptr || sectionHeaders(count) == nullptr) {
        why = "its ELF headers are damaged";
        return false;
    }
    readSymbols();
    readOwnSymbols();
    return true;
}

const Elf64_Phdr *ElfFile::programHeaders(size_t &count) const {
    const Elf64_Ehdr *elf = header();
    count = elf->e_phnum;
    if (count != 0 && elf->e_phentsize != sizeof(Elf64_Phdr))
        return nullptr;
    return records<Elf64_Phdr>(elf->e_phoff, count);
}

bool ElfFile::interpreted() const {
    size_t count;
    const Elf64_Phdr *headers = programHeaders(count);
    for (size_t i = 0; i < count; ++i)
        if (headers[i].p_type == PT_INTERP)
            return true;
    return false;
}

// DT_FLAGS_1 of the dynamic section, read from the file: a PIE's says DF_1_PIE.
uint64_t ElfFile::dynamicFlags() const {
    size_t count;
    const Elf64_Phdr *headers = programHeaders(count);
    for (size_t i = 0; i < count; ++i) {
        if (headers[i].p_type != PT_DYNAMIC)
            continue;
        const auto *tags =
            records<Elf64_Dyn>(headers[i].p_offset, headers[i].p_filesz / sizeof(Elf64_Dyn));
        for (size_t t = 0; tags != nullptr && t < headers[i].p_filesz / sizeof(Elf64_Dyn) &&
                           tags[t].d_tag != DT_NULL;
             ++t)
            if (tags[t].d_tag == DT_FLAGS_1)
                return tags[t].d_un.d_val;
    }
    return 0;
}

const char *ElfFile::notAProgram() const {
    switch (header()->e_type) {
    case ET_EXEC:
        return nullptr;
    case ET_REL:
        return "an object file, not a program";
    case ET_DYN:
        // A PIE names its interpreter, or (linked statically) says DF_1_PIE; a library
        // does neither, and runs no code of a program's from its entry.
        return interpreted() || (dynamicFlags() & DF_1_PIE) != 0
                   ? nullptr
                   : "a shared library, not a program";
    case ET_CORE:
        return "a core dump, not a program";
    default:
        return "not a program: an ELF file of an unknown type";
    }
}

const Elf64_Shdr *ElfFile::sectionHeaders(size_t &count) const {
    const Elf64_Ehdr *elf = header();
    count = elf->e_shnum;
    if (count == 0)
        return reinterpret_cast<const Elf64_Shdr *>(image); // none: nothing to walk
    if (elf->e_shentsize != sizeof(Elf64_Shdr) || elf->e_shstrndx >= count)
        return nullptr;
    return records<Elf64_Shdr>(elf->e_shoff, count);
}

std::vector<AddressRange> ElfFile::segments(uint32_t flag) const {
    std::vector<AddressRange> ranges;
    size_t count;
    const Elf64_Phdr *headers = programHeaders(count);
    for (size_t i = 0; i < count; ++i)
        if (headers[i].p_type == PT_LOAD && (headers[i].p_flags & flag) != 0)
            ranges.push_back({headers[i].p_vaddr, headers[i].p_vaddr + headers[i].p_memsz});
    return ranges;
}

uint64_t ElfFile::dynamicSection() const {
    size_t count;
    const Elf64_Phdr *headers = programHeaders(count);
    for (size_t i = 0; i < count; ++i)
        if (headers[i].p_type == PT_DYNAMIC)
            return headers[i].p_vaddr;
    return 0;
}

AddressRange ElfFile::section(const char *name) const {
    size_t count;
    const Elf64_Shdr *sections = sectionHeaders(count);
    if (count == 0)
        return {};
    const Elf64_Shdr &names = sections[header()->e_shstrndx];
    const char *base = static_cast<const char *>(image);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t at = sections[i].sh_name;
        const size_t length = strlen(name) + 1;
        if (within(names.sh_offset, names.sh_size) && at < names.sh_size &&
            length <= names.sh_size - at && memcmp(base + names.sh_offset + at, name, length) == 0)
            return {sections[i].sh_addr, sections[i].sh_addr + sections[i].sh_size};
    }
    return {};
}

// The dynamic symbol table and its strings, as the section headers give them.
void ElfFile::readSymbols() {
    size_t count;
    const Elf64_Shdr *sections = sectionHeaders(count);
    const char *base = static_cast<const char *>(image);
    for (size_t i = 0; i < count; ++i) {
        const Elf64_Shdr &table = sections[i];
        const auto *entries =
            records<Elf64_Sym>(table.sh_offset, table.sh_size / sizeof(Elf64_Sym));
        if (table.sh_type != SHT_DYNSYM || table.sh_link >= count ||
            table.sh_entsize != sizeof(Elf64_Sym) || entries == nullptr)
            continue;
        const Elf64_Shdr &strings = sections[table.sh_link];
        if (!within(strings.sh_offset, strings.sh_size))
            continue;
        for (size_t s = 1; s < table.sh_size / sizeof(Elf64_Sym); ++s) {
            const Elf64_Sym &symbol = entries[s];
            if (symbol.st_name >= strings.sh_size)
                continue;
            const char *name = base + strings.sh_offset + symbol.st_name;
            const size_t length = strnlen(name, strings.sh_size - symbol.st_name);
            std::string text(name, length);
            if (symbol.st_shndx == SHN_UNDEF)
                imports.push_back(text);
            else if (ELF64_ST_TYPE(symbol.st_info) == STT_FUNC)
                definitions.emplace(text, symbol.st_value);
            else if (ELF64_ST_TYPE(symbol.st_info) == STT_OBJECT)
                data.emplace(text, symbol.st_value);
        }
    }
}

bool ElfFile::uses(const char *name) const {
    return std::find(imports.begin(), imports.end(), name) != imports.end();
}

void ElfFile::readOwnSymbols() {
    std::vector<Symbol> &found = own;
    size_t count;
    const Elf64_Shdr *sections = sectionHeaders(count);
    const char *base = static_cast<const char *>(image);
    for (size_t i = 0; sections != nullptr && i < count; ++i) {
        const Elf64_Shdr &table = sections[i];
        // records<> refuses a table that is misplaced or misaligned in a damaged file.
        const auto *entries =
            records<Elf64_Sym>(table.sh_offset, table.sh_size / sizeof(Elf64_Sym));
        if (table.sh_type != SHT_SYMTAB || table.sh_link >= count ||
            table.sh_entsize != sizeof(Elf64_Sym) || entries == nullptr)
            continue;
        const Elf64_Shdr &strings = sections[table.sh_link];
        if (!within(strings.sh_offset, strings.sh_size))
            continue;
        for (size_t s = 1; s < table.sh_size / sizeof(Elf64_Sym); ++s) {
            const Elf64_Sym &symbol = entries[s];
            const unsigned type = ELF64_ST_TYPE(symbol.st_info);
            if (symbol.st_name >= strings.sh_size || symbol.st_shndx == SHN_UNDEF ||
                (type != STT_FUNC && type != STT_OBJECT))
                continue;
            const char *name = base + strings.sh_offset + symbol.st_name;
            const size_t length = strnlen(name, strings.sh_size - symbol.st_name);
            found.push_back(
                {std::string(name, length), symbol.st_value, symbol.st_size, type == STT_FUNC});
        }
    }
}
