// Main-menu choice 4: choose a REQ file, load it, prepare the time stamps.
#pragma once

#include <cstdio>
#include <ctime>

struct TimeStamp {
    std::time_t time;
    unsigned short millitm;
};

extern TimeStamp* gpstStartTime;
extern TimeStamp* gpstEndTime;

// The stream it opened (already closed by the reader), or null when no file was opened.
std::FILE* CTOpenReqFile();
