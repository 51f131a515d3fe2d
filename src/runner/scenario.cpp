// The tests of one REQ file.
#include "runner/scenario.h"

#include "runner/setup_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace qvrun {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

using File = std::unique_ptr<std::FILE, FileCloser>;

// The whole text of a REQ file. A NUL never stands in one: the reading stops there.
std::string ReadText(const std::string& path) {
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw std::runtime_error(std::strerror(errno));
    struct stat st {};
    if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode))
        throw std::runtime_error("it is a directory");
    std::string text;
    char block[64 * 1024];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) {
        if (std::memchr(block, '\0', got) != nullptr)
            throw std::runtime_error("not a text file");
        text.append(block, got);
    }
    if (std::ferror(file.get()))
        throw std::runtime_error(std::strerror(errno));
    return text;
}

// A base-rules expected response from a plain pattern: wildcard bytes hold the value 78.
void PlainExpected(const qv::Pattern& pattern, Test& test) {
    const qv::PatternItem& item = pattern.alternatives.front().items.front();
    for (std::size_t k = 0; k < item.value.size(); ++k) {
        const bool any = item.care[k] == 0;
        test.expected.push_back(any ? qv::kWildcardValue : item.value[k]);
        test.wildcard.push_back(any ? 1 : 0);
    }
}

Test Kept(const qv::ScriptTest& script) {
    Test test;
    test.number = script.number;
    test.line = script.where.line;
    test.file = script.where.file;
    test.name = script.name;
    test.extended = script.extended;
    test.destination = script.destination;
    if (script.command.Uses().empty())
        test.command = *script.command.Expand({});
    else
        test.commandTemplate = script.command;
    if (script.extended)
        test.pattern = script.expected;
    else if (script.expected)
        PlainExpected(*script.expected, test);
    test.timeLimit = script.timeLimit;
    test.timeLimitText = script.timeLimitText;
    return test;
}

} // namespace

Scenario LoadScenario(const std::string& path) {
    const auto read = [](const std::string& file) { return ReadText(file); };
    std::string text;
    try {
        text = read(path);
    } catch (const std::runtime_error& error) {
        throw SetupError("cannot read " + path + ": " + error.what());
    }
    qv::Script script;
    try {
        script = qv::ParseScript(path, text, read);
    } catch (const qv::ScriptError& error) {
        throw SetupError(error.what());
    }
    Scenario scenario;
    scenario.path = path;
    scenario.extended = script.extended;
    scenario.runOnly = std::move(script.runOnly);
    scenario.dormant = std::move(script.dormant);
    scenario.tests.reserve(script.tests.size());
    for (const qv::ScriptTest& test : script.tests)
        scenario.tests.push_back(Kept(test));
    if (script.unfinished) {
        scenario.warnings.push_back(script.unfinished->Text() +
                                    ": the command of the last test has no line end after it "
                                    "and is not run");
    }
    return scenario;
}

} // namespace qvrun
