// Session state of the main menu and the ways the program ends.
#pragma once

#include <cstdint>

// 0 no terminal open, 1 terminal opened, 2 terminal reset, 3 card powered, 4 scenario loaded.
extern std::uint32_t gbKeyVal;

// Set once choice 6 or 7 has run; from then on Exit does not close the terminal again.
void SetClosedMark();

// The Exit path: CT_CallClose unless the closed mark is set, then status 255.
[[noreturn]] void ExitProgram();
