// The tests of one REQ file.
#include "runner/scenario.h"

#include "runner/options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <sys/stat.h>

namespace qvrun {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string ReadWholeFile(const std::string& path) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw SetupError("cannot read " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode))
        throw SetupError("cannot read " + path + ": it is a directory");
    std::string text;
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, got);
    if (std::ferror(file.get()))
        throw SetupError("cannot read " + path + ": " + std::strerror(errno));
    return text;
}

// Keeps every test the reader hands over.
class ScenarioSink : public qv::ReqSink {
  public:
    explicit ScenarioSink(Scenario& scenario) : scenario_(scenario) {}

    void Test(const qv::ReqTest& test) override {
        qvrun::Test kept;
        kept.number = test.number;
        kept.line = test.line;
        kept.name = test.Title();
        kept.command.assign(test.command.begin(), test.command.end());
        kept.expected.assign(test.expected.bytes.begin(), test.expected.bytes.end());
        kept.wildcard.assign(test.expected.wildcard.begin(), test.expected.wildcard.end());
        scenario_.tests.push_back(std::move(kept));
    }

    void Unfinished(const qv::ReqTest& test) override {
        if (test.command.empty())
            return;
        scenario_.warnings.push_back(scenario_.path + ":" + std::to_string(test.line) +
                                     ": the command of the last test has no line end after it "
                                     "and is not run");
    }

  private:
    Scenario& scenario_;
};

} // namespace

Scenario LoadScenario(const std::string& path) {
    const std::string text = ReadWholeFile(path);
    // A REQ file is text: a NUL never stands in one, and the reader would end lines at it.
    if (text.find('\0') != std::string::npos)
        throw SetupError("cannot read " + path + ": not a text file");
    Scenario scenario;
    scenario.path = path;
    ScenarioSink sink(scenario);
    qv::ReadReqText(text, sink);
    return scenario;
}

} // namespace qvrun
