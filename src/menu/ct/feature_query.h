// The hidden main-menu choice 11: the PC/SC Part 10 feature list of a reader.
#pragma once

void KeyHandler();
