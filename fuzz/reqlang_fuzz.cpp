// libFuzzer target over quorvane-run's REQ language: whole files read with the extensions on
// (and the same text without the switch, which must give the base reader's tests), an include
// that the input may name, and every test's command and pattern used against bytes the input
// gives. A file is read or refused with a ScriptError; nothing else may come out of it.
#include "req/req_reader.h"
#include "req/req_script.h"
#include "req/test_verdict.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

class Counter : public qv::ReqSink {
  public:
    void Test(const qv::ReqTest&) override { ++count; }
    std::size_t count = 0;
};

void UseTests(const qv::Script& script, std::string_view bytes) {
    const qv::Bytes received(bytes.begin(), bytes.end());
    qv::Captures captures;
    for (const qv::ReqTest& test : script.tests) {
        qv::Bytes room;
        (void)qv::CommandToSend(test, captures, room);
        if (!test.pattern)
            continue;
        const qv::PatternMatch match = qv::MatchPattern(*test.pattern, received, captures);
        if (match.differs && *match.differs > received.size())
            __builtin_trap(); // a difference lies within the response or just after it
        for (const auto& [name, value] : match.bound) {
            if (value.size() > received.size())
                __builtin_trap();
            captures[name] = value;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first line, when there is one, is the text of "other.req"; the rest the file.
    const std::size_t feed = input.find('\n');
    const std::string other(feed == input.npos ? std::string_view{} : input.substr(0, feed));
    const std::string_view text = feed == input.npos ? input : input.substr(feed + 1);
    const qv::IncludeReader read = [&](const std::string& path) -> std::string {
        if (path != "dir/other.req")
            throw std::runtime_error("no such file");
        return other;
    };
    try {
        UseTests(qv::ParseScript("dir/main.req", "@quorvane-run 1\n" + std::string(text), read),
                 other);
    } catch (const qv::ScriptError&) {
    }
    try {
        const qv::Script base = qv::ParseScript("dir/main.req", text, read);
        Counter counter;
        qv::ReadReqText(text, counter);
        if (!base.extended && base.tests.size() != counter.count)
            __builtin_trap(); // without the switch, the base reader's tests one for one
        UseTests(base, other);
    } catch (const qv::ScriptError&) {
    }
    return 0;
}
