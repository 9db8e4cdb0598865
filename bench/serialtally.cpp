// serialtally: the serial bound for guardtally. The same report lines, Inc and Dec in
// turn, printed by one thread with no semaphore: what the output path alone costs, and
// so the most that guardtally's serial critical sections can reach.
#include "workers.h"

int main(int, char **) {
    Count count = 0;
    for (;;) {
        count = stepUp(count);
        checkReport(printf(incReport, count));
        count = stepDown(count);
        checkReport(printf(decReport, count));
    }
}
