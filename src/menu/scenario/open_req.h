// Main-menu choice 4: choose a REQ file, load it, prepare the time stamps.
#pragma once

#include "menu/scenario/time_stamps.h" // the records the open command prepares

// True when a file was opened and loaded (also when its time-stamp records could not be had).
bool CTOpenReqFile();
