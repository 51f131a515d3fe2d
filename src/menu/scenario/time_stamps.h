// The two time-stamp records of the scenario run: taken when a REQ file is loaded, stamped
// around every transmission, released when the terminal is closed.
#pragma once

#include <ctime>
#include <memory>

struct TimeStamp {
    std::time_t time;
    unsigned short millitm;
};

extern std::unique_ptr<TimeStamp> gpstStartTime;
extern std::unique_ptr<TimeStamp> gpstEndTime;

// A fresh pair of records in place of any earlier pair; false (and none held) when they cannot
// be had.
bool NewTimeStamps();

// Releases both records, if held.
void FreeMemory();

// Writes the current wall-clock time into `record`; nothing when there is no record.
void Stamp(TimeStamp* record);
