// Every schedule of a bounded run of the real program, each a fresh run from its first
// instruction, and what they came to.
#pragma once

#include <string>

#include "schedule.h"

class Image;

// Runs every schedule of `passes` (a number, or null for 1) passes of each worker, prints
// one row per outcome and, with `records`, one CSV row per schedule into that file. Returns
// 0 when no schedule loses a change, breaks the trace or deadlocks, 1 when one does.
int everySchedule(const char *path, const std::string &name, Kind kind, Image &image,
                  const char *passes, const char *records);
