// A CT-API stand-in for unit tests: records every call and answers from a queue.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace ctdouble {

struct DataCall {
    std::uint16_t ctn;
    std::uint8_t dad;
    std::uint8_t sad;
    std::vector<std::uint8_t> command;
    std::uint16_t room;
};

struct Answer {
    std::int8_t result = 0;
    std::vector<std::uint8_t> response; // written when result is 0
};

struct State {
    std::int8_t initResult = 0;
    std::int8_t closeResult = 0;
    std::deque<Answer> answers; // next CT_data answers; empty queue: 0 and 90 00
    std::vector<std::pair<std::uint16_t, std::uint16_t>> initCalls;
    std::vector<DataCall> dataCalls;
    std::vector<std::uint16_t> closeCalls;
};

State& state();
void Reset();

} // namespace ctdouble
