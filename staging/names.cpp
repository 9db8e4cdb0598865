// Quoting, escaping and finding what the command line names.
#include "names.h"

#include <cxxabi.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool control(unsigned char c) {
    return c < 0x20 || c >= 0x7f;
}

std::string escaped(unsigned char c) {
    char text[8];
    snprintf(text, sizeof text, "\\x%02x", c);
    return text;
}

bool runnable(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string shellQuoted(const std::string &text) {
    if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRS"
                                                "TUVWXYZ0123456789@%+=:,./_-") == std::string::npos)
        return text;
    bool controls = false;
    for (const char c : text)
        controls |= control(static_cast<unsigned char>(c));
    std::string quoted = controls ? "$'" : "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (controls && control(byte))
            quoted += escaped(byte);
        else if (controls && (c == '\'' || c == '\\'))
            quoted += std::string("\\") + c;
        else
            quoted += c == '\'' && !controls ? "'\\''" : std::string(1, c);
    }
    return quoted + "'";
}

std::string folded(const std::string &line, size_t indent, size_t width) {
    std::string out;
    size_t column = 0;
    for (size_t at = 0; at < line.size();) {
        const size_t space = std::min(line.find(' ', at), line.size());
        const std::string word = line.substr(at, space - at);
        if (column > indent && column + 1 + word.size() > width) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        } else if (at > 0) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        at = space + 1;
    }
    return out;
}

std::string grouped(const std::string &letters) {
    if (letters.size() <= 40)
        return letters;
    std::string out;
    for (size_t at = 0; at < letters.size(); at += 10)
        out.append(at > 0 ? " " : "").append(letters, at, 10);
    return out;
}

std::string visible(const std::string &text) {
    std::string shown;
    for (const char c : text)
        shown += control(static_cast<unsigned char>(c)) ? escaped(static_cast<unsigned char>(c))
                                                        : std::string(1, c);
    return shown;
}

std::string hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
    return text;
}

std::string optionError(int option, const char *argument) {
    const bool isLong = strncmp(argument, "--", 2) == 0;
    const std::string name = isLong ? std::string(argument, strcspn(argument, "="))
                                    : std::string("-") + static_cast<char>(optopt);
    if (option == ':')
        return "option " + shellQuoted(name) + " needs a value";
    if (isLong && optopt != 0)
        return "option " + shellQuoted(name) + " takes no value";
    return "invalid option " + shellQuoted(name);
}

std::string findProgram(const char *operand, std::string &why) {
    if (strchr(operand, '/') != nullptr) {
        if (runnable(operand))
            return operand;
        struct stat status;
        const bool exists = stat(operand, &status) == 0;
        why = "cannot hold " + shellQuoted(operand) + ": " +
              (!exists                   ? std::string("no such file")
               : S_ISDIR(status.st_mode) ? std::string("a folder, not a program")
                                         : std::string("not an executable file"));
        return "";
    }
    const char *path = getenv("PATH");
    for (std::string folders = path != nullptr ? path : ""; !folders.empty();) {
        const size_t colon = folders.find(':');
        std::string folder = folders.substr(0, colon);
        folders = colon == std::string::npos ? "" : folders.substr(colon + 1);
        std::string candidate = (folder.empty() ? "." : folder) + "/" + operand;
        if (runnable(candidate))
            return candidate;
    }
    why = shellQuoted(operand) + " is not on PATH; add the folder of the built programs";
    return "";
}

std::string plainName(const std::string &symbol) {
    // A compiler's suffix for a copy of its own making (clang's count.0, GCC's .constprop.0)
    // is no part of the name in the source.
    const std::string base = symbol.substr(0, symbol.find('.', 1));
    int status = -1;
    // Only a C++ name is mangled: a plain "c" would be demangled as the type char.
    char *plain = base.rfind("_Z", 0) == 0
                      ? abi::__cxa_demangle(base.c_str(), nullptr, nullptr, &status)
                      : nullptr;
    std::string name = status == 0 && plain != nullptr ? plain : base;
    free(plain);
    // A routine of the library's making (std::thread's state, a lambda) has no name of the
    // program's own.
    if (name.find('<') != std::string::npos || name.find('{') != std::string::npos)
        return "";
    // incThread(void*) is incThread; (anonymous namespace)::count is count; a static local,
    // work(void*)::calls, is calls: each parameter list goes, then every scope.
    for (size_t open = name.find('(', 1); open != std::string::npos; open = name.find('(', 1)) {
        size_t close = open;
        for (int depth = 0; close < name.size(); ++close) {
            depth += name[close] == '(' ? 1 : name[close] == ')' ? -1 : 0;
            if (depth == 0)
                break;
        }
        name.erase(open, close - open + 1);
    }
    const size_t scope = name.rfind("::");
    if (scope != std::string::npos)
        name.erase(0, scope + 2);
    return name;
}
