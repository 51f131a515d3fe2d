// The tests of one REQ file.
#include "runner/scenario.h"

#include "runner/setup_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace qvrun {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenFile(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw SetupError("cannot read " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode))
        throw SetupError("cannot read " + path + ": it is a directory");
    return file;
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

    // A REQ file is text: a NUL never stands in one. The reading stops there.
    bool ReadOnAfterNul(std::size_t line) override {
        (void)line;
        notText_ = true;
        return false;
    }

    bool NotText() const { return notText_; }

  private:
    Scenario& scenario_;
    bool notText_ = false;
};

} // namespace

Scenario LoadScenario(const std::string& path) {
    const File file = OpenFile(path);
    Scenario scenario;
    scenario.path = path;
    ScenarioSink sink(scenario);
    if (!qv::ReadReqStream(file.get(), sink))
        throw SetupError("cannot read " + path + ": " + std::strerror(errno));
    if (sink.NotText())
        throw SetupError("cannot read " + path + ": not a text file");
    return scenario;
}

} // namespace qvrun
