// Placeholder until the open command is built.
#include "scenario/open_req.h"

TimeStamp* gpstStartTime = nullptr;
TimeStamp* gpstEndTime = nullptr;

std::FILE* CTOpenReqFile() { return nullptr; }
