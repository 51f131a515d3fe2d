// Line input shared by every prompt of the program.
#pragma once

// Reads one piece of at most four characters of a line from standard input: 343 for an empty
// line, 361 for "x" or "q", the number on it, or -1 when it holds none. At end of input the
// input it prints a newline and throws EndOfInput: the prompt's caller unwinds, releasing what
// it holds (a PC/SC context, a card connection), and the main menu ends the program the way
// Exit does.
int GetUserEntry();

struct EndOfInput {};
