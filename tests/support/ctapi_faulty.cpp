// A vendor's CT-API library with one fault, for quorvane-run's suites to find: our libctapi-pcsc
// in every call but those the fault takes. Loaded with --ctapi. Built as two libraries:
//   WRONG_STATUS   GET STATUS for a data object that does not exist (P2 47) is answered 90 00
//                  instead of being refused with 6A 00;
//   BUFFER_LIMIT   like a reader that buffers at most that many bytes: a longer command is
//                  refused with ERR_INVALID, a longer answer with ERR_MEMORY (the card itself
//                  stays as it was: no lost card).
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

#ifdef WRONG_STATUS
constexpr std::uint8_t kWrongStatus[] = {0x20, 0x13, 0x00, 0x47};

bool AnswerWrongly(std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                   const std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
    if (dad == nullptr || *dad != CT || sad == nullptr || lenc < 4 || command == nullptr ||
        lenr == nullptr || *lenr < 2 || response == nullptr ||
        !std::equal(command, command + 4, kWrongStatus)) {
        return false;
    }
    response[0] = 0x90;
    response[1] = 0x00;
    *lenr = 2;
    *sad = CT;
    *dad = HOST;
    return true;
}
#endif

} // namespace

extern "C" {

std::int8_t CT_init(std::uint16_t ctn, std::uint16_t pn) {
    return Ours().init(ctn, pn);
}

std::int8_t CT_data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                    std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
#ifdef WRONG_STATUS
    if (AnswerWrongly(dad, sad, lenc, command, lenr, response))
        return OK;
#endif
#ifdef BUFFER_LIMIT
    if (lenc > BUFFER_LIMIT)
        return ERR_INVALID;
    const std::int8_t result = Ours().data(ctn, dad, sad, lenc, command, lenr, response);
    if (result == OK && *lenr > BUFFER_LIMIT)
        return ERR_MEMORY;
    return result;
#else
    return Ours().data(ctn, dad, sad, lenc, command, lenr, response);
#endif
}

std::int8_t CT_close(std::uint16_t ctn) {
    return Ours().close(ctn);
}

} // extern "C"
