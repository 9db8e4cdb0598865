// The listing command that both programs run: "/bin/ls -a -l", started by execl from its
// absolute path (no search of PATH). The new image inherits the environment, the working
// directory and the open files unchanged, so it lists the directory the program ran in.
#pragma once

#include <errno.h>
#include <unistd.h>

inline constexpr char listingPath[] = "/bin/ls";
inline constexpr char cannotRunListing[] = "cannot run /bin/ls";

// Replaces the process image with the listing command. Returns only when that failed, with
// errno set and the status a shell gives a command it cannot run: 127 when the file does
// not exist, 126 when it exists but cannot be executed.
inline int execListing() {
    execl(listingPath, listingPath, "-a", "-l", static_cast<char *>(nullptr));
    return errno == ENOENT ? 127 : 126;
}
