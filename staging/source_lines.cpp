// Reading a source line from the DWARF line table.
#include "source_lines.h"

#if defined(GLASSBOX_HAVE_LIBDW)
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

std::string sourceLine(const char *program, uint64_t address) {
    const int fd = open(program, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string found;
    Dwarf *dwarf = dwarf_begin(fd, DWARF_C_READ);
    Dwarf_Die unit;
    if (dwarf != nullptr && dwarf_addrdie(dwarf, address, &unit) != nullptr) {
        Dwarf_Line *line = dwarf_getsrc_die(&unit, address);
        int number = 0;
        const char *file = line != nullptr ? dwarf_linesrc(line, nullptr, nullptr) : nullptr;
        if (file != nullptr && dwarf_lineno(line, &number) == 0) {
            const char *base = strrchr(file, '/');
            found = std::string(base != nullptr ? base + 1 : file) + ":" + std::to_string(number);
        }
    }
    if (dwarf != nullptr)
        dwarf_end(dwarf);
    close(fd);
    return found;
}
#else
std::string sourceLine(const char *, uint64_t) {
    return "";
}
#endif
