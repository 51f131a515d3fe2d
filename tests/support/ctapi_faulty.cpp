// A vendor's CT-API library with one fault, for quorvane-run's suites to find: our libctapi-pcsc
// in every call but those the fault takes. Loaded with --ctapi. Built as two libraries:
//   WRONG_STATUS   GET STATUS for a data object that does not exist (P2 47) is answered 90 00
//                  instead of being refused with 6A 00, and a card's 00 EE 00 00 is answered
//                  90 00 from source address 5, which is neither the card nor the terminal;
//   BUFFER_LIMIT   like a reader that buffers at most that many bytes: a longer command is
//                  refused with ERR_INVALID, a longer answer with ERR_MEMORY (the card itself
//                  stays as it was: no lost card).
//   CRASH          crashes where the environment says: CTAPI_CRASH_IN names the call (CT_init,
//                  CT_data, CT_close; CT_data only for a command with INS EE, so that tests
//                  before it pass), CTAPI_CRASH_CTN the terminal (any without it),
//                  CTAPI_CRASH_SIGNAL what it does there: a fault (SEGV, BUS, ILL, FPE), ABORT,
//                  STACK (a stack overflow), THREAD (SIGSEGV on a thread of the library's own),
//                  EXIT0 (_exit(0)), EXIT3 (exit(3)), HANG (the call waits for ever) or LOOP (it
//                  spins for ever);
//   ONE_THREAD     not safe for threads, as many vendors' libraries are: a CT_data that meets
//                  another thread of its process inside CT_data answers 6F 00. Each call stays
//                  inside for 5 ms, as a slow serial reader's does, so that two threads meet.
#include <ctapi.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <unistd.h>

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
// A wrong answer in place of the library's: 90 00 from `source` to a command to `destination`
// that begins with `head`.
struct WrongAnswer {
    std::uint8_t destination;
    std::uint8_t head[4];
    std::uint8_t source;
};
constexpr WrongAnswer kWrongAnswers[] = {
    {CT, {0x20, 0x13, 0x00, 0x47}, CT},  // GET STATUS of a data object that does not exist
    {ICC1, {0x00, 0xEE, 0x00, 0x00}, 5}, // from neither the card nor the terminal
};

bool AnswerWrongly(std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                   const std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
    if (dad == nullptr || sad == nullptr || lenc < 4 || command == nullptr || lenr == nullptr ||
        *lenr < 2 || response == nullptr) {
        return false;
    }
    for (const WrongAnswer& wrong : kWrongAnswers) {
        if (*dad == wrong.destination && std::equal(command, command + 4, wrong.head)) {
            response[0] = 0x90;
            response[1] = 0x00;
            *lenr = 2;
            *sad = wrong.source;
            *dad = HOST;
            return true;
        }
    }
    return false;
}
#endif

#ifdef CRASH
// Each call a frame deeper, until the stack runs out (long before the bound).
int Deeper(int depth) {
    if (depth == INT_MAX)
        return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return Deeper(depth + 1) + frame[0];
}

// Faults as a broken library does, where the environment asks for it.
void CrashIfAsked(const char* call, std::uint16_t ctn) {
    const char* in = std::getenv("CTAPI_CRASH_IN");
    if (in == nullptr || std::strcmp(in, call) != 0)
        return;
    const char* onlyCtn = std::getenv("CTAPI_CRASH_CTN");
    if (onlyCtn != nullptr && std::atoi(onlyCtn) != ctn)
        return;
    const char* kind = std::getenv("CTAPI_CRASH_SIGNAL");
    const std::string_view fault = kind != nullptr ? kind : "SEGV";
    if (fault == "HANG") {
        for (;;)
            pause(); // a call that never comes back
    }
    if (fault == "LOOP") {
        volatile unsigned spin = 0;
        for (;;)
            spin = spin + 1;
    }
    if (fault == "EXIT0")
        _exit(0); // as an old C library ends on a fatal error
    if (fault == "EXIT3")
        std::exit(3);
    if (fault == "ABORT")
        std::abort();
    if (fault == "STACK")
        std::printf("%d\n", Deeper(0));
    if (fault == "THREAD")
        std::thread([] { *static_cast<volatile int*>(nullptr) = 1; }).join();
    if (fault == "ILL")
        __builtin_trap();
    if (fault == "FPE") {
        volatile int zero = 0, one = 1;
        volatile int quotient = one / zero;
        (void)quotient;
    }
    if (fault == "BUS")
        raise(SIGBUS); // a real one needs a file cut short under a mapping
    *static_cast<volatile int*>(nullptr) = 1;
}
#endif

#ifdef ONE_THREAD
std::atomic<int> gInside{0};
std::atomic<unsigned> gMeetings{0}; // how often a thread came in while another was inside

// Ours, 5 ms long; 6F 00 from the card when another thread was inside meanwhile.
std::int8_t DataAlone(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                      std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
    const unsigned before = gMeetings.load();
    if (gInside.fetch_add(1) > 0)
        gMeetings.fetch_add(1);
    std::int8_t result = Ours().data(ctn, dad, sad, lenc, command, lenr, response);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    gInside.fetch_sub(1);
    if (gMeetings.load() != before && result == OK && *lenr >= 2) {
        response[0] = 0x6F;
        response[1] = 0x00;
        *lenr = 2;
    }
    return result;
}
#endif

} // namespace

extern "C" {

std::int8_t CT_init(std::uint16_t ctn, std::uint16_t pn) {
#ifdef CRASH
    CrashIfAsked("CT_init", ctn);
#endif
    return Ours().init(ctn, pn);
}

std::int8_t CT_data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                    std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response) {
#ifdef WRONG_STATUS
    if (AnswerWrongly(dad, sad, lenc, command, lenr, response))
        return OK;
#endif
#ifdef CRASH
    if (lenc >= 2 && command != nullptr && command[1] == 0xEE)
        CrashIfAsked("CT_data", ctn);
#endif
#ifdef ONE_THREAD
    return DataAlone(ctn, dad, sad, lenc, command, lenr, response);
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
#ifdef CRASH
    CrashIfAsked("CT_close", ctn);
#endif
    return Ours().close(ctn);
}

} // extern "C"
