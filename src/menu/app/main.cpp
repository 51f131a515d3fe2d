#include "menu/app/main_menu.h"

int main() {
    RunMainMenu();
}
