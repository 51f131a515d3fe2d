// bed-readers: prints how many readers the PC/SC service lists (0 when there is no service).
// bed-readers --wait-card SLOT [MS]: waits until the vpcd reader SLOT holds a card; exit
// status 0 when it does, 1 on timeout.
#include "bed/bed.h"

#include <PCSC/winscard.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::size_t CountReaders() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return 0;
    }
    std::size_t count = 0;
    DWORD size = 0;
    if (SCardListReaders(context, nullptr, nullptr, &size) == SCARD_S_SUCCESS && size > 0) {
        std::string names(size, '\0');
        if (SCardListReaders(context, nullptr, names.data(), &size) == SCARD_S_SUCCESS) {
            names.resize(std::min<std::size_t>(size, names.size()));
            for (std::size_t at = 0; at < names.size() && names[at] != '\0'; ++count) {
                at = names.find('\0', at);
                if (at == std::string::npos)
                    break;
                ++at;
            }
        }
    }
    SCardReleaseContext(context);
    return count;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        std::printf("%zu\n", CountReaders());
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--wait-card") == 0) {
        const int slot = std::atoi(argv[2]);
        const long ms = argc == 4 ? std::atol(argv[3]) : 5000;
        return bed::WaitForCard(bed::ReaderName(slot), true, std::chrono::milliseconds(ms)) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: bed-readers [--wait-card SLOT [MS]]\n");
    return 2;
}
