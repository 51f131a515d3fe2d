// bed-readers: prints how many readers the PC/SC service lists (0 when there is no service).
// bed-readers --with-card: prints the readers that hold a card now, a line each: the reader's
// 1-based position in the list and its name.
// bed-readers --wait-card SLOT [MS]: waits until the vpcd reader SLOT holds a card; exit
// status 0 when it does, 1 on timeout.
#include "bed/pcscd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc == 1) {
        std::printf("%zu\n", bed::ListReaders().names.size());
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--with-card") == 0) {
        const std::vector<std::string> names = bed::ListReaders().names;
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (bed::WaitForCard(names[k], true, std::chrono::milliseconds(0)))
                std::printf("%zu %s\n", k + 1, names[k].c_str());
        }
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--wait-card") == 0) {
        const int slot = std::atoi(argv[2]);
        const long ms = argc == 4 ? std::atol(argv[3]) : 5000;
        try {
            bed::UseServiceOfSlot(slot);
        } catch (const std::invalid_argument& e) {
            std::fprintf(stderr, "bed-readers: %s\n", e.what());
            return 2;
        }
        return bed::WaitForCard(bed::ReaderName(slot), true, std::chrono::milliseconds(ms)) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: bed-readers [--with-card | --wait-card SLOT [MS]]\n");
    return 2;
}
