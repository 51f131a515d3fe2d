// The reader script's lines read into the reader's properties and the keypad's entries.
#include "pinpad/reader_script.h"

#include "core/text.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace pinpad {
namespace {

using Words = std::vector<std::string_view>;

[[noreturn]] void Fail(const std::string& why) {
    throw std::invalid_argument(why);
}

void ExpectCount(const Words& words, std::size_t count, std::string_view form) {
    if (words.size() != count + 1)
        Fail(std::string(words[0]) + " takes " + std::string(form));
}

unsigned Number(std::string_view word, unsigned least, unsigned most, std::string_view what) {
    const std::optional<unsigned> value = qv::WholeNumber<unsigned>(word);
    if (!value || *value < least || *value > most) {
        Fail(std::string(what) + " must be a number from " + std::to_string(least) + " to " +
             std::to_string(most) + ", not '" + std::string(word) + "'");
    }
    return *value;
}

std::uint8_t ValidationBits(const Words& words) {
    static const std::map<std::string_view, std::uint8_t> kBits{
        {"max-size", 0x01}, {"ok", 0x02}, {"timeout", 0x04}};
    if (words.size() < 2)
        Fail("validation takes one or more of max-size, ok, timeout");
    std::uint8_t bits = 0;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const auto found = kBits.find(words[i]);
        if (found == kBits.end())
            Fail("validation knows max-size, ok and timeout, not '" + std::string(words[i]) + "'");
        bits |= found->second;
    }
    return bits;
}

// "08E6:3437": a USB vendor and product identifier.
std::pair<std::uint16_t, std::uint16_t> UsbId(std::string_view word) {
    const auto parts = qv::SplitAt(word, ':');
    const auto id = [](std::string_view part) {
        return part.size() == 4 ? qv::WholeNumber<std::uint16_t>(part, 16) : std::nullopt;
    };
    if (parts.size() != 2 || !id(parts[0]) || !id(parts[1]))
        Fail("usb-id takes VENDOR:PRODUCT, four hex digits each, not '" + std::string(word) + "'");
    return {*id(parts[0]), *id(parts[1])};
}

Keys ParseKeys(const Words& words) {
    static const std::map<std::string_view, Key> kNames{
        {"ok", Key::Ok}, {"cancel", Key::Cancel}, {"clear", Key::Clear}, {"timeout", Key::Wait}};
    Keys keys;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string_view word = words[i];
        if (!keys.empty() && (keys.back().key == Key::Cancel || keys.back().key == Key::Wait))
            Fail("nothing is typed after " + std::string(words[i - 1]));
        if (word.find_first_not_of("0123456789") == std::string_view::npos) {
            for (const char digit : word)
                keys.push_back({Key::Digit, digit});
            continue;
        }
        const auto found = kNames.find(word);
        if (found == kNames.end()) {
            Fail("an entry's keys are digits, ok, cancel, clear and timeout, not '" +
                 std::string(word) + "'");
        }
        keys.push_back({found->second, 0});
    }
    return keys;
}

// The text after the directive's word, as written (a firmware name keeps its blanks).
std::string_view Rest(std::string_view line, std::string_view directive) {
    line.remove_prefix(line.find(directive) + directive.size());
    const std::size_t from = line.find_first_not_of(" \t");
    line.remove_prefix(from == std::string_view::npos ? line.size() : from);
    const std::size_t to = line.find_last_not_of(" \t\r");
    return line.substr(0, to == std::string_view::npos ? 0 : to + 1);
}

void ParseLine(std::string_view line, const Words& words, ReaderScript& script) {
    ReaderProperties& p = script.properties;
    const std::string_view directive = words[0];
    if (directive == "entry") {
        script.entries.push_back(ParseKeys(words));
    } else if (directive == "lcd") {
        ExpectCount(words, 2, "LINES CHARACTERS");
        p.lcdLines = Number(words[1], 0, 255, "the display's lines");
        p.lcdCharacters = Number(words[2], 0, 255, "the display's characters");
        if ((p.lcdLines == 0) != (p.lcdCharacters == 0))
            Fail("a display without lines or characters is written 'lcd 0 0'");
    } else if (directive == "validation") {
        p.validation = ValidationBits(words);
    } else if (directive == "timeout") {
        ExpectCount(words, 1, "SECONDS");
        p.defaultTimeout = static_cast<std::uint8_t>(Number(words[1], 1, 255, "timeout"));
    } else if (directive == "timeout2") {
        ExpectCount(words, 1, "SECONDS");
        p.timeout2 = static_cast<std::uint8_t>(Number(words[1], 0, 255, "timeout2"));
    } else if (directive == "pin-size") {
        ExpectCount(words, 2, "MIN MAX");
        p.limits.minDigits = Number(words[1], 1, 255, "the least PIN size");
        p.limits.maxDigits = Number(words[2], p.limits.minDigits, 255, "the largest PIN size");
    } else if (directive == "max-apdu") {
        ExpectCount(words, 1, "BYTES");
        p.maxApduData = Number(words[1], 5, 65544, "max-apdu");
    } else if (directive == "usb-id") {
        ExpectCount(words, 1, "VENDOR:PRODUCT");
        std::tie(p.vendorId, p.productId) = UsbId(words[1]);
    } else if (directive == "firmware") {
        const std::string_view name = Rest(line, directive);
        if (name.empty() || name.size() > 255)
            Fail("firmware takes a name of 1 to 255 characters");
        p.firmware = std::string(name);
    } else if (directive == "log") {
        ExpectCount(words, 1, "FILE");
        script.log = std::string(words[1]);
    } else {
        Fail("unknown directive '" + std::string(directive) + "'");
    }
}

} // namespace

ReaderScript ParseReaderScript(std::string_view text) {
    ReaderScript script;
    std::size_t number = 0;
    for (std::string_view line : qv::SplitAt(text, '\n')) {
        ++number;
        line = line.substr(0, line.find('#'));
        const Words words = qv::Words(line);
        if (words.empty())
            continue;
        try {
            ParseLine(line, words, script);
        } catch (const std::invalid_argument& e) {
            Fail("line " + std::to_string(number) + ": " + e.what());
        }
    }
    return script;
}

ReaderScript LoadReaderScript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in.is_open())
        text << in.rdbuf();
    if (!in.is_open() || in.bad())
        Fail("cannot read the reader script " + path);
    ReaderScript script;
    try {
        script = ParseReaderScript(text.str());
    } catch (const std::invalid_argument& e) {
        Fail(path + ": " + e.what());
    }
    if (!script.log.empty())
        script.log = (std::filesystem::path(path).parent_path() / script.log).string();
    return script;
}

DeviceName ParseDeviceName(std::string_view text) {
    const std::size_t portAt = text.find(':');
    const std::size_t logAt = text.find(':', portAt == std::string_view::npos ? 0 : portAt + 1);
    DeviceName name;
    if (portAt != std::string_view::npos && portAt > 0) {
        name.script = std::string(text.substr(0, portAt));
        name.port = qv::WholeNumber<int>(text.substr(portAt + 1, logAt - portAt - 1)).value_or(0);
        if (logAt != std::string_view::npos)
            name.log = std::string(text.substr(logAt + 1));
    }
    if (name.port < 1 || name.port > 65535 ||
        (logAt != std::string_view::npos && name.log.empty())) {
        Fail("DEVICENAME takes SCRIPT:PORT or SCRIPT:PORT:LOG (a port from 1 to 65535), not '" +
             std::string(text) + "'");
    }
    return name;
}

std::string KeysText(const Keys& keys) {
    static const std::map<Key, std::string_view> kNames{
        {Key::Ok, "ok"}, {Key::Cancel, "cancel"}, {Key::Clear, "clear"}, {Key::Wait, "timeout"}};
    std::string text;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const bool joined = i > 0 && keys[i].key == Key::Digit && keys[i - 1].key == Key::Digit;
        if (i > 0 && !joined)
            text += ' ';
        if (keys[i].key == Key::Digit) {
            text += keys[i].digit;
        } else {
            text += kNames.at(keys[i].key);
        }
    }
    return text;
}

} // namespace pinpad
