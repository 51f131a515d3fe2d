// Placeholder until the session is built.
#include "app/session.h"

#include <cstdlib>

std::uint32_t gbKeyVal = 0;
void SetClosedMark() {}
bool ClosedMark() { return false; }
void ExitProgram() { std::exit(255); }
