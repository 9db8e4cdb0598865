// execdropsline: the wrong way to do what swaplist does. The line is printed, then the
// image is replaced with nothing flushed in between. On a terminal the stream is
// line-buffered, so the line is out already. Into a pipe or a file the stream is fully
// buffered: the line is still in the buffer, and the exec throws it away with the rest of
// the old image. The cure is swaplist's: flush before the exec.
#include <errno.h>
#include <stdio.h>

#include "diagnose.h"
#include "listing.h"

int main(int, char **) {
    puts("Before exec");
    const int status = execListing(); // the mistake: the line may still be in the buffer
    fail(status, cannotRunListing, errno);
}
