#include "ctapi_double.h"

#include <algorithm>
#include <ctapi.h>

namespace ctdouble {

State& state() {
    static State s;
    return s;
}

void Reset() {
    state() = State{};
}

} // namespace ctdouble

using ctdouble::state;

extern "C" std::int8_t CT_init(std::uint16_t ctn, std::uint16_t pn) {
    state().initCalls.emplace_back(ctn, pn);
    return state().initResult;
}

extern "C" std::int8_t CT_data(std::uint16_t ctn, std::uint8_t* dad, std::uint8_t* sad,
                               std::uint16_t lenc, std::uint8_t* command, std::uint16_t* lenr,
                               std::uint8_t* response) {
    auto& s = state();
    s.dataCalls.push_back({ctn, *dad, *sad, {command, command + lenc}, *lenr});
    ctdouble::Answer a{0, {0x90, 0x00}};
    if (!s.answers.empty()) {
        a = s.answers.front();
        s.answers.pop_front();
    }
    if (a.result != OK) {
        return a.result;
    }
    if (a.response.size() > *lenr) {
        return ERR_MEMORY;
    }
    std::copy(a.response.begin(), a.response.end(), response);
    *lenr = static_cast<std::uint16_t>(a.response.size());
    std::swap(*dad, *sad);
    return OK;
}

extern "C" std::int8_t CT_close(std::uint16_t ctn) {
    state().closeCalls.push_back(ctn);
    return state().closeResult;
}
