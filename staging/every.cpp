#include "every.h"
int everySchedule(const char *, const std::string &, Kind, Image &, const char *, const char *) {
    return 1;
}
