// The tests of one REQ file, loaded whole before any reader is opened: by the base rules, or with
// the extensions of quorvane-req(5) when the file turns them on.
#pragma once

#include "core/bytes.h"
#include "req/req_script.h"
#include "req/req_test.h"

#include <cstddef>
#include <string>
#include <vector>

namespace qvrun {

using qv::Bytes;

// A test as the REQ readers give it: bytes by the base rules, or a pattern, captures, a time
// limit and a destination where it uses an extension. Its name is without its line end.
using Test = qv::ReqTest;

struct Scenario {
    std::string path;
    std::vector<Test> tests;
    // FILE:LINE and what the base rules did there that the author most likely did not mean,
    // one line each, printed before the run; errors with --strict.
    std::vector<std::string> warnings;
    bool extended = false; // the file turns the extensions on
    std::string caseClass; // its part of a JUnit class name, unique in the run (NameSuites)
    // The lines the interactive program skips or reads otherwise, with FILE:LINE.
    std::vector<qv::RunOnlyLine> runOnly;
};

// Loads a REQ file and the files it includes; throws SetupError for a file that cannot be
// read, a directory, a file that is not text, and extended lines that cannot be read (the
// message starts with FILE:LINE), and a file that takes the REQ text of the run past
// qv::kMaxRunText (`runText`: what the run has read before it; it grows by this file's text).
Scenario LoadScenario(const std::string& path, std::size_t* runText = nullptr);

// A file's part of a JUnit class name: the last `parts` parts of its path without ".req", joined
// by dots ("a/b/demo.req", 2: "b.demo").
std::string SuiteName(const std::string& path, std::size_t parts);

// Gives each file its caseClass: its name alone where no other file of the run has that name,
// else as many parts of its path as tell it apart (and a count after it for a file given
// twice), so that no two files' test cases share a class.
void NameSuites(std::vector<Scenario>& scenarios);

} // namespace qvrun
