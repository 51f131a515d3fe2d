#pragma once

void DisplayMainMenu();

// The main menu loop; never returns.
[[noreturn]] void RunMainMenu();
