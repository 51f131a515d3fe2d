// The tests of one REQ file.
#include "runner/suite.h"

#include "runner/input_file.h"
#include "runner/setup_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qvrun {
namespace {

// No REQ file comes near this; an input that never ends (a pipe that keeps writing) stops here.
constexpr std::size_t kMaxText = 64 * 1024 * 1024;

// The whole text of a REQ file. A NUL never stands in one: the reading stops there.
std::string ReadText(const std::string& path) {
    const InputFile file = OpenInput(path);
    std::string text;
    char block[64 * 1024];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) {
        if (std::memchr(block, '\0', got) != nullptr)
            throw std::runtime_error("not a text file");
        if (text.size() + got > kMaxText)
            throw std::runtime_error("longer than 64 MiB, too long for a REQ file");
        text.append(block, got);
    }
    if (std::ferror(file.get()))
        throw std::runtime_error(std::strerror(errno));
    return text;
}

} // namespace

std::string SuiteName(const std::string& path, std::size_t parts) {
    std::string name =
        path.ends_with(".req") && path.size() > 4 ? path.substr(0, path.size() - 4) : path;
    std::size_t from = name.size();
    for (std::size_t k = 0; k < parts && from != std::string::npos && from > 0; ++k)
        from = name.find_last_of('/', from - 1);
    name.erase(0, from == std::string::npos ? 0 : from + 1);
    while (name.starts_with("./"))
        name.erase(0, 2);
    std::replace(name.begin(), name.end(), '/', '.');
    return name;
}

void NameSuites(std::vector<Scenario>& scenarios) {
    for (Scenario& scenario : scenarios) {
        // The fewest trailing parts of the path that no other file of the run ends in.
        const auto clashes = [&](std::size_t parts) {
            const std::string name = SuiteName(scenario.path, parts);
            return std::ranges::any_of(scenarios, [&](const Scenario& other) {
                return other.path != scenario.path && SuiteName(other.path, parts) == name;
            });
        };
        std::size_t parts = 1;
        while (clashes(parts) &&
               SuiteName(scenario.path, parts) != SuiteName(scenario.path, parts + 1))
            ++parts;
        scenario.caseClass = SuiteName(scenario.path, parts);
    }
    // A file given twice (or by two spellings of one path): counted apart.
    std::vector<std::string> names;
    for (Scenario& scenario : scenarios) {
        const auto earlier = std::ranges::count(names, scenario.caseClass);
        names.push_back(scenario.caseClass);
        if (earlier > 0)
            scenario.caseClass += "." + std::to_string(earlier + 1);
    }
}

Scenario LoadScenario(const std::string& path, std::size_t* runText) {
    const auto read = [](const std::string& file) { return ReadText(file); };
    std::string text;
    try {
        text = read(path);
    } catch (const std::runtime_error& error) {
        throw SetupError("cannot read " + path + ": " + error.what());
    }
    qv::Script script;
    try {
        script = qv::ParseScript(path, text, read, runText);
    } catch (const qv::ScriptError& error) {
        throw SetupError(error.what());
    }
    Scenario scenario;
    scenario.path = path;
    scenario.extended = script.extended;
    scenario.runOnly = std::move(script.runOnly);
    scenario.tests = std::move(script.tests);
    // An extended file refuses what the base rules read leniently; the lines of a base-rules
    // file (this one, or one it includes) that they read so become warnings.
    for (const qv::FileWarning& line : script.warnings)
        scenario.warnings.push_back(line.where.Text() + ": " + line.what);
    return scenario;
}

} // namespace qvrun
