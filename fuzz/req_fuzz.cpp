// libFuzzer target over the REQ reader: whole files through the scenario core with a sink that
// checks what it is handed and through the lenient-line notes, and through CTReadReqFile into the
// table; single lines through ReturnHex into an area that ends exactly where the input says.
#include "menu/scenario/req_file.h"
#include "req/req_reader.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// Every test handed over must be whole and self-consistent: a flag per expected byte, and a
// wildcard flag only on a byte of the wildcard value.
class CheckingSink : public qv::ReqSink {
  public:
    void Test(const qv::ReqTest& test) override {
        Check(test);
        if (test.number != ++count_) {
            __builtin_trap(); // tests are numbered in file order without gaps
        }
    }
    void Unfinished(const qv::ReqTest& test) override { Check(test); }

  private:
    static void Check(const qv::ReqTest& test) {
        if (test.wildcard.size() != test.expected.size()) {
            __builtin_trap();
        }
        for (std::size_t k = 0; k < test.expected.size(); ++k) {
            if (test.wildcard[k] != 0 && test.expected[k] != qv::kWildcardValue) {
                __builtin_trap();
            }
        }
    }
    std::size_t count_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckingSink sink;
    qv::ReadReqText(text, sink);
    // What quorvane-run tells of the lenient reading: in file order, one line at most once.
    std::size_t last = 0;
    for (const qv::LenientLine& note : qv::LenientLines(text)) {
        if (note.line <= last || note.what.empty()) {
            __builtin_trap();
        }
        last = note.line;
    }
    if (size > 0) {
        // fmemopen reads exactly `size` bytes; a copy keeps the input itself read-only.
        std::vector<std::uint8_t> copy(data, data + size);
        if (std::FILE* stream = fmemopen(copy.data(), copy.size(), "r")) {
            CTReadReqFile(stream);
        }
    }
    // The first byte picks the room of the area, so short areas are reached too.
    const std::size_t room = size > 0 ? data[0] % 64 : 0;
    std::vector<std::uint8_t> area(room);
    std::uint32_t count = 0;
    ReturnHex(text, area, &count);
    if (count > room) {
        __builtin_trap(); // a count past the room would make callers read beyond the area
    }
    return 0;
}
