// swaplist: the process prints a line, then replaces its own image with the listing
// command. The second line is printed only when that replacement failed.
#include <errno.h>
#include <stdio.h>

#include "diagnose.h"
#include "listing.h"

int main(int, char **) {
    puts("Before exec");
    // A successful execl throws away this image, stdio buffers included. On a terminal the
    // line is already out, the stream being line-buffered; into a file or a pipe the stream
    // is fully buffered and the line would be lost with the image. Hence the flush.
    flushOutput(1);
    const int status = execListing();
    const int err = errno;
    puts("After exec");
    flushOutput(1);
    fail(status, cannotRunListing, err);
}
