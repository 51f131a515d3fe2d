// libFuzzer target over the REQ reader: whole files through CTReadReqFile, and single lines
// through ReturnHex into an area that ends exactly where the input says.
#include "scenario/req_file.h"

#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ReturnHex(text, area, &count);
    if (count > room) {
        __builtin_trap(); // a count past the room would make callers read beyond the area
    }
    return 0;
}
