// Line input shared by every prompt of the program.
#include "menu/app/user_entry.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr int kNoNumber = -1;

// Room for four characters and the terminating NUL: a longer line arrives in pieces.
constexpr int kPieceSize = 5;

} // namespace

int GetUserEntry() {
    char piece[kPieceSize] = {};
    if (std::fgets(piece, sizeof piece, stdin) == nullptr) {
        // End of input: no prompt may wait for a line that never comes.
        std::printf("\n");
        throw EndOfInput{};
    }
    if (piece[0] == '\n') {
        return kEmptyLine;
    }
    piece[std::strcspn(piece, "\n")] = '\0';
    const std::string_view text(piece);
    if (text == "x" || text == "q") {
        return kQuit;
    }
    int number = 0;
    // Four characters cannot overflow an int, so "%d" is safe here.
    if (std::sscanf(piece, "%d", &number) != 1) {
        return kNoNumber;
    }
    return number;
}
