// One exchange with the card terminal.
#include "core/exchange.h"

#include <algorithm>
#include <vector>

namespace qv {

ExchangeResult SendCommand(std::uint16_t ctn, std::uint8_t dad, std::uint8_t sad,
                           std::span<const std::uint8_t> command, std::span<std::uint8_t> response,
                           CtDataFunction ctData) {
    ExchangeResult out;
    if (command.size() > kMaxCtLength) {
        return out;
    }
    std::vector<std::uint8_t> sent(command.begin(), command.end());
    const std::size_t room = std::min(response.size(), kMaxCtLength);
    auto length = static_cast<std::uint16_t>(room);

    const auto start = std::chrono::steady_clock::now();
    out.result = ctData(ctn, &dad, &sad, static_cast<std::uint16_t>(sent.size()), sent.data(),
                        &length, response.data());
    out.duration = std::chrono::steady_clock::now() - start;

    // CT_data writes the reply's addresses back: the source is the unit that answered.
    out.source = sad;
    if (out.result == OK) {
        out.received = response.first(std::min<std::size_t>(length, room));
    }
    return out;
}

} // namespace qv
