// The time-stamp records of the scenario run.
#include "menu/scenario/time_stamps.h"

#include <new>
#include <time.h>

std::unique_ptr<TimeStamp> gpstStartTime;
std::unique_ptr<TimeStamp> gpstEndTime;

bool NewTimeStamps() {
    FreeMemory();
    gpstStartTime.reset(new (std::nothrow) TimeStamp{});
    gpstEndTime.reset(new (std::nothrow) TimeStamp{});
    if (gpstStartTime != nullptr && gpstEndTime != nullptr) {
        return true;
    }
    FreeMemory();
    return false;
}

void FreeMemory() {
    gpstStartTime.reset();
    gpstEndTime.reset();
}

void Stamp(TimeStamp* record) {
    if (record == nullptr) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    record->time = now.tv_sec;
    record->millitm = static_cast<unsigned short>(now.tv_nsec / 1000000);
}
