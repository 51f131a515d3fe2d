// What the simulated card answers: its script's rules, the echo command set, the default.
#include "bed/card.h"
#include "detail.h"

#include "core/apdu.h"

#include <algorithm>

namespace bed {
namespace {

constexpr std::uint8_t kEchoClass = 0x80;
// Data and status word together must fit the CT-API's 16-bit response length.
constexpr std::size_t kMaxEchoData = 65533;

Bytes Status(std::uint8_t sw1, std::uint8_t sw2) {
    return Bytes{sw1, sw2};
}

Bytes WithOk(Bytes data) {
    data.push_back(0x90);
    data.push_back(0x00);
    return data;
}

} // namespace

std::optional<Bytes> EchoAnswer(std::span<const std::uint8_t> apdu) {
    if (apdu.size() < 4 || apdu[0] != kEchoClass || apdu[1] < 0xE1 || apdu[1] > 0xE5)
        return std::nullopt;
    if (apdu[2] != 0 || apdu[3] != 0)
        return Status(0x6B, 0x00);
    const qv::CommandApdu l = qv::ParseCommandApdu(apdu);
    const Bytes wrongLength = Status(0x67, 0x00);
    switch (apdu[1]) {
    case 0xE1:
        return l.apduCase == 1 ? Status(0x90, 0x00) : wrongLength;
    case 0xE2: {
        if (l.apduCase != 2)
            return wrongLength;
        Bytes data(std::min(l.ne, kMaxEchoData));
        for (std::size_t k = 0; k < data.size(); ++k)
            data[k] = static_cast<std::uint8_t>(k);
        return WithOk(std::move(data));
    }
    case 0xE3:
        return l.apduCase == 3 ? Status(0x90, 0x00) : wrongLength;
    case 0xE4: {
        if (l.apduCase != 4)
            return wrongLength;
        const auto data = l.data.first(std::min({l.data.size(), l.ne, kMaxEchoData}));
        return WithOk(Bytes(data.begin(), data.end()));
    }
    default: // E5
        if (l.apduCase != 1 && l.apduCase != 3)
            return wrongLength;
        return WithOk(Bytes{static_cast<std::uint8_t>(apdu.size() >> 8),
                            static_cast<std::uint8_t>(apdu.size())});
    }
}

CardLogic::CardLogic(CardScript script)
    : script_(std::move(script)), random_(std::random_device{}()), uses_(script_.rules.size()) {
    detail::CheckScript(script_);
}

Reply CardLogic::Respond(std::span<const std::uint8_t> apdu) {
    ++commands_;
    Reply reply;
    if (script_.muteAfter > 0 && commands_ > script_.muteAfter) {
        reply.mute = true;
        return reply;
    }
    if (std::optional<Reply> piece = FromChain(apdu)) {
        reply = std::move(*piece);
    } else {
        std::size_t i = 0;
        for (; i < script_.rules.size(); ++i) {
            const Rule& r = script_.rules[i];
            if ((r.uses == 0 || uses_[i] < r.uses) && r.pattern.Matches(apdu))
                break;
        }
        if (i < script_.rules.size()) {
            reply = FromRule(script_.rules[i], ++uses_[i], apdu);
        } else {
            std::optional<Bytes> echo;
            if (script_.echo)
                echo = EchoAnswer(apdu);
            reply.answer = echo ? std::move(*echo) : script_.fallback;
        }
    }
    reply.pullAfter = script_.pullAfter == commands_ && !reply.pull && !reply.mute;
    return reply;
}

// A GET RESPONSE while a 61xx chain is open takes its next piece; any other command ends it.
std::optional<Reply> CardLogic::FromChain(std::span<const std::uint8_t> apdu) {
    if (chainStatus_.empty())
        return std::nullopt;
    const qv::CommandApdu l = qv::ParseCommandApdu(apdu);
    if (l.apduCase != 2 || l.extended || apdu[1] != 0xC0 || apdu[2] != 0 || apdu[3] != 0) {
        chainRest_.clear();
        chainStatus_.clear();
        return std::nullopt;
    }
    const std::size_t n = std::min({l.ne, chainRest_.size(), chainPiece_});
    Reply reply;
    reply.answer.assign(chainRest_.begin(), chainRest_.begin() + static_cast<std::ptrdiff_t>(n));
    chainRest_.erase(chainRest_.begin(), chainRest_.begin() + static_cast<std::ptrdiff_t>(n));
    if (chainRest_.empty()) {
        reply.answer.insert(reply.answer.end(), chainStatus_.begin(), chainStatus_.end());
        chainStatus_.clear();
    } else {
        reply.answer.push_back(0x61);
        reply.answer.push_back(static_cast<std::uint8_t>(std::min(chainRest_.size(), chainPiece_)));
    }
    return reply;
}

Reply CardLogic::FromRule(const Rule& rule, std::size_t use, std::span<const std::uint8_t> apdu) {
    Reply reply;
    reply.delay = rule.delay;
    reply.pull = rule.drop;
    reply.mute = rule.mute;
    if (reply.pull || reply.mute)
        return reply;
    Bytes& answer = reply.answer;
    answer.resize(rule.randomBytes);
    for (auto& b : answer)
        b = static_cast<std::uint8_t>(random_());
    answer.insert(answer.end(), rule.response.begin(), rule.response.end());
    const std::span<std::uint8_t> response = std::span(answer).subspan(rule.randomBytes);
    for (const std::size_t at : rule.randomAt)
        response[at] = static_cast<std::uint8_t>(random_());
    for (std::size_t k = 0; k < rule.counterBytes; ++k) {
        const std::size_t shift = 8 * (rule.counterBytes - 1 - k);
        response[rule.counterAt + k] = shift < 64 ? static_cast<std::uint8_t>(use >> shift) : 0;
    }
    if (answer.size() >= 2 && (rule.exactLe || rule.chain > 0)) {
        const std::size_t data = answer.size() - 2;
        const qv::CommandApdu l = qv::ParseCommandApdu(apdu);
        if (rule.exactLe && l.HasLe() && l.ne != data && data <= 256) {
            answer = Status(0x6C, static_cast<std::uint8_t>(data));
        } else if (rule.chain > 0 && data > 0) {
            chainStatus_.assign(answer.end() - 2, answer.end());
            chainRest_.assign(answer.begin(), answer.end() - 2);
            chainPiece_ = rule.chain;
            answer = Status(0x61, static_cast<std::uint8_t>(std::min(data, rule.chain)));
        }
    }
    if (rule.truncate)
        answer.resize(std::min(answer.size(), *rule.truncate));
    return reply;
}

} // namespace bed
