// The tests of one REQ file, loaded whole before any reader is opened.
#pragma once

#include "core/bytes.h"
#include "core/req_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvrun {

using qv::Bytes;

struct Test {
    std::size_t number = 0; // 1-based within its file
    std::size_t line = 0;
    std::string name; // without its line end
    Bytes command;
    Bytes expected; // empty: any response passes
    Bytes wildcard; // beside `expected`: non-zero where a byte is "xx"

    qv::ExpectedResponse Expected() const { return {expected, wildcard}; }
};

struct Scenario {
    std::string path;
    std::vector<Test> tests;
    std::vector<std::string> warnings; // one line each, printed before the run
};

// Loads a REQ file; throws SetupError for a file that cannot be read, a directory, or a file
// that is not text.
Scenario LoadScenario(const std::string& path);

} // namespace qvrun
