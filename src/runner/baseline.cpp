// --baseline: an earlier JUnit report read with expat.
#include "runner/baseline.h"

#include "runner/input_file.h"
#include "runner/setup_error.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expat.h>
#include <memory>

namespace qvrun {

struct BaselineBuilder {
    static void Start(void* data, const XML_Char* element, const XML_Char** attributes) {
        auto& baseline = *static_cast<Baseline*>(data);
        if (std::strcmp(element, "testcase") != 0)
            return;
        const char* className = nullptr;
        const char* name = nullptr;
        const char* time = nullptr;
        for (const XML_Char** a = attributes; *a != nullptr; a += 2) {
            if (std::strcmp(a[0], "classname") == 0)
                className = a[1];
            else if (std::strcmp(a[0], "name") == 0)
                name = a[1];
            else if (std::strcmp(a[0], "time") == 0)
                time = a[1];
        }
        if (className == nullptr || name == nullptr || time == nullptr)
            return;
        char* end = nullptr;
        const double seconds = std::strtod(time, &end);
        if (end != time && *end == '\0' && seconds >= 0)
            baseline.seconds_[{className, name}] = seconds;
    }
};

namespace {

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

} // namespace

Baseline Baseline::Read(const std::string& path) {
    Baseline baseline;
    baseline.path_ = path;
    const auto unreadable = [&path](const std::string& why) {
        return SetupError("cannot read the baseline " + path + ": " + why);
    };
    InputFile file;
    try {
        file = OpenInput(path);
    } catch (const std::runtime_error& error) {
        throw unreadable(error.what());
    }
    const std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate("UTF-8"));
    if (!parser)
        throw unreadable("out of memory");
    XML_SetUserData(parser.get(), &baseline);
    XML_SetStartElementHandler(parser.get(), &BaselineBuilder::Start);
    std::array<char, 64 * 1024> block;
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
        if (std::ferror(file.get()))
            throw unreadable(std::strerror(errno));
        const bool last = got < block.size();
        if (XML_Parse(parser.get(), block.data(), static_cast<int>(got), last) != XML_STATUS_OK) {
            throw SetupError("the baseline " + path + " is no JUnit report: line " +
                             std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
                             XML_ErrorString(XML_GetErrorCode(parser.get())));
        }
        if (last)
            break;
    }
    if (baseline.seconds_.empty())
        throw SetupError("the baseline " + path + " holds no timed test case");
    return baseline;
}

std::optional<double> Baseline::Seconds(std::string_view className, std::string_view name) const {
    const auto found = seconds_.find(std::make_pair(std::string(className), std::string(name)));
    if (found == seconds_.end())
        return std::nullopt;
    return found->second;
}

bool GrewPastBaseline(std::chrono::steady_clock::duration now, double then, double factor) {
    const double seconds = std::chrono::duration<double>(now).count();
    const double slack = std::chrono::duration<double>(kBaselineSlack).count();
    return seconds > then * factor && seconds - then >= slack;
}

} // namespace qvrun
