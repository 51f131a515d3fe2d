// Line input shared by every prompt of the program.
#pragma once

// What GetUserEntry returns for a line without a number the prompts act on (the values the
// menus have always used for Enter and Exit).
inline constexpr int kEmptyLine = 343; // an empty line
inline constexpr int kQuit = 361;      // "x" or "q"

// Reads one piece of at most four characters of a line from standard input: kEmptyLine for an
// empty line, kQuit for "x" or "q", the number on it, or -1 when it holds none. At end of input
// it prints a newline and throws EndOfInput: the prompt's caller unwinds, releasing what it holds
// (a PC/SC context, a card connection), and the main menu ends the program the way Exit does.
int GetUserEntry();

struct EndOfInput {};
