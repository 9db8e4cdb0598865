// Finding the held program's own code and the routines of its libraries.
#include "image.h"

#include <link.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>

#include "names.h"
#include "tracee.h"
#include "watch.h"

namespace {

// Each library's file is read once, whatever the number of runs.
const ElfFile *library(const std::string &path) {
    static std::map<std::string, std::unique_ptr<ElfFile>> read;
    auto found = read.find(path);
    if (found == read.end()) {
        auto file = std::make_unique<ElfFile>();
        const char *why;
        if (!file->open(path.c_str(), why))
            file.reset();
        found = read.emplace(path, std::move(file)).first;
    }
    return found->second.get();
}

bool inAny(const std::vector<AddressRange> &ranges, uint64_t address) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [address](const AddressRange &range) { return range.contains(address); });
}

} // namespace

bool Image::open(const char *file, const char *&why) {
    path = file;
    if (!program.open(file, why))
        return false;
    why = program.notAProgram();
    if (why != nullptr)
        return false;
    if (!program.interpreted() || program.dynamicSection() == 0) {
        why = "it is linked statically: its calls to the C library cannot be told from its own "
              "code";
        return false;
    }
    return true;
}

void Image::loaded(Tracee &tracee, uint64_t entry) {
    if (entry - program.entry() != bias)
        decoded.clear(); // loaded elsewhere than the last run: its addresses changed
    bias = entry - program.entry();
    auto shifted = [this](std::vector<AddressRange> ranges) {
        for (AddressRange &range : ranges) {
            range.start += bias;
            range.end += bias;
        }
        return ranges;
    };
    code = shifted(program.segments(PF_X));
    data = shifted(program.segments(PF_W));
    stubs.clear();
    // The dynamic linker's call stubs: a call through them leaves the program's own code.
    for (const char *name : {".plt", ".plt.sec", ".plt.got"}) {
        const AddressRange range = program.section(name);
        if (range.end > range.start)
            stubs.push_back({range.start + bias, range.end + bias});
    }
    exported.clear();
    for (const auto &[name, address] : program.defined())
        exported.push_back(address + bias);
    std::sort(exported.begin(), exported.end());

    // The dynamic linker's list of loaded objects, in lookup order, from the program's
    // DT_DEBUG entry, which the linker points at its r_debug before the program starts.
    libraries.clear();
    uint64_t debug = 0;
    for (uint64_t at = program.dynamicSection() + bias;; at += sizeof(Elf64_Dyn)) {
        Elf64_Dyn tag;
        if (!tracee.read(at, &tag, sizeof tag) || tag.d_tag == DT_NULL)
            break;
        if (tag.d_tag == DT_DEBUG)
            debug = tag.d_un.d_ptr;
    }
    if (debug == 0)
        giveUp(shellQuoted(path) + " has no list of loaded libraries (DT_DEBUG) to find its "
                                   "calls by");
    r_debug list;
    if (!tracee.read(debug, &list, sizeof list))
        giveUp("cannot read the dynamic linker's list of libraries");
    for (uint64_t at = reinterpret_cast<uint64_t>(list.r_map); at != 0;) {
        link_map object;
        if (!tracee.read(at, &object, sizeof object))
            break;
        char name[4096] = {};
        tracee.read(reinterpret_cast<uint64_t>(object.l_name), name, sizeof name - 1);
        libraries.push_back({name[0] != '\0' ? name : path, object.l_addr});
        at = reinterpret_cast<uint64_t>(object.l_next);
    }
}

bool Image::ownCode(uint64_t address) const {
    return inAny(code, address) && !inAny(stubs, address) &&
           !std::binary_search(exported.begin(), exported.end(), address);
}

bool Image::inSanitizerRuntime(uint64_t address) const {
    for (const Library &object : libraries) {
        if (object.path.find("san.so") == std::string::npos)
            continue; // libasan, libubsan, liblsan, libtsan
        const ElfFile *elf = library(object.path);
        if (elf == nullptr)
            continue;
        const std::vector<AddressRange> segments = elf->segments(PF_R);
        if (std::any_of(segments.begin(), segments.end(), [&](const AddressRange &range) {
                return address >= range.start + object.bias && address < range.end + object.bias;
            }))
            return true;
    }
    return false;
}

bool Image::inFile(uint64_t address) const {
    return inAny(code, address);
}

bool Image::writableData(uint64_t address) const {
    return inAny(data, address);
}

uint64_t Image::routine(const char *name) const {
    for (const Library &object : libraries) {
        const ElfFile *elf = object.path == path ? &program : library(object.path);
        if (elf == nullptr)
            continue;
        const auto found = elf->defined().find(name);
        if (found != elf->defined().end())
            return found->second + object.bias;
    }
    return 0;
}

const Instruction *Image::instruction(const Tracee &tracee, uint64_t address) {
    const auto found = decoded.find(address);
    if (found != decoded.end())
        return &found->second;
    uint8_t bytes[16];
    Instruction instruction;
    if (!tracee.readCode(address, bytes, sizeof bytes) ||
        !decodeInstruction(bytes, sizeof bytes, address, instruction))
        return nullptr;
    return &decoded.emplace(address, instruction).first->second;
}
