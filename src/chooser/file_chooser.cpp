// Placeholder until the browser is built.
#include "chooser/file_chooser.h"

char* GetFile(const char*) { return nullptr; }
