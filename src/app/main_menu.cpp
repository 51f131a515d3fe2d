// Placeholder until the main menu is built.
#include "app/main_menu.h"

#include <cstdlib>

void DisplayMainMenu() {}
void RunMainMenu() { std::exit(255); }
