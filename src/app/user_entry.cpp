// Placeholder until line input is built.
#include "app/user_entry.h"

int GetUserEntry() { return 361; }
