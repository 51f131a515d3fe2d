// A vendor's CT-API library with one fault, for quorvane-run's conformance suite to find: our
// libctapi-pcsc in every call but one, GET STATUS for a data object that does not exist
// (P2 47), which it answers 90 00 instead of refusing with 6A 00. Loaded with --ctapi.
#include <ctapi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using InitFunction = std::int8_t (*)(std::uint16_t, std::uint16_t);
using DataFunction = std::int8_t (*)(std::uint16_t, std::uint8_t*, std::uint8_t*, std::uint16_t,
                                     std::uint8_t*, std::uint16_t*, std::uint8_t*);
using CloseFunction = std::int8_t (*)(std::uint16_t);

struct Library {
    InitFunction init = nullptr;
    DataFunction data = nullptr;
    CloseFunction close = nullptr;
};

// Ours, found once; without it the process ends with a line that says so.
const Library& Ours() {
    static const Library library = [] {
        void* handle = dlopen(CTAPI_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "ctapi_one_wrong: %s\n", dlerror());
            std::abort();
        }
        Library l;
        l.init = reinterpret_cast<InitFunction>(dlsym(handle, "CT_init"));
        l.data = reinterpret_cast<DataFunction>(dlsym(handle, "CT_data"));
        l.close = reinterpret_cast<CloseFunction>(dlsym(handle, "CT_close"));
        if (l.init == nullptr || l.data == nullptr || l.close == nullptr)
            std::abort();
        return l;
    }();
    return library;
}

constexpr std::uint8_t kWrongStatus[] = {0x20, 0x13, 0x00, 0x47};

} // namespace

extern "C" {

std::int8_t CT_init(std::uint16_t ctn, std::uint16_t pn) {
    return Ours().init(ctn, pn);
}

std::int8_t CT_data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                    std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
    if (dad != nullptr && *dad == CT && sad != nullptr && lenc >= 4 && command != nullptr &&
        lenr != nullptr && *lenr >= 2 && response != nullptr &&
        std::equal(command, command + 4, kWrongStatus)) {
        response[0] = 0x90;
        response[1] = 0x00;
        *lenr = 2;
        *sad = CT;
        *dad = HOST;
        return OK;
    }
    return Ours().data(ctn, dad, sad, lenc, command, lenr, response);
}

std::int8_t CT_close(std::uint16_t ctn) {
    return Ours().close(ctn);
}

} // extern "C"
