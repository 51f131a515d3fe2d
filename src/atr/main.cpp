// quorvane-atr: explains and checks Answers-to-Reset given in hex, one an argument or one a line
// of standard input.
#include "atr/atr_json.h"
#include "core/atr.h"
#include "core/hex.h"

#include <cstdio>
#include <getopt.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kAllWellFormed = 0;
constexpr int kNotWellFormed = 1;
constexpr int kUsage = 2;

// An ATR is at most 33 bytes, 99 characters with blanks; a line this long is no ATR.
constexpr std::size_t kMaxLine = 1024;

constexpr const char* kUsageText =
    "Usage: quorvane-atr [--json] [HEX...]\n"
    "Explains and checks each ATR given in hex (\"3B 80 01\" or 3B8001), one an argument, or\n"
    "without arguments one a line of standard input.\n"
    "  -j, --json     one JSON object a line instead of the text\n"
    "  -h, --help     this help\n"
    "  -V, --version  the version\n"
    "Exit status: 0 every ATR well formed, 1 one is not, 2 usage or text that is no hex.\n";

struct Options {
    bool json = false;
};

class Printer {
  public:
    explicit Printer(const Options& options) : options_(options) {}

    // Decodes and prints one ATR; false when it is not well formed.
    bool Print(const qv::Bytes& bytes) {
        const qv::Atr atr = qv::DecodeAtr(bytes);
        const std::string text =
            options_.json ? qvatr::AtrJson(atr).dump() + "\n" : qv::AtrText(atr);
        if (!options_.json && printed_++ > 0)
            std::fputs("\n", stdout);
        std::fputs(text.c_str(), stdout);
        return atr.verdict.WellFormed();
    }

  private:
    const Options& options_;
    std::size_t printed_ = 0;
};

// Says why `where` holds no ATR, after what was printed before it.
void Refuse(const std::string& where, const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvane-atr: %s: %s\n", where.c_str(), why.c_str());
}

// The bytes of one ATR's text, or nothing after saying why it is none.
std::optional<qv::Bytes> Bytes(std::string_view text, const std::string& where) {
    if (text.size() > kMaxLine) {
        Refuse(where, "longer than " + std::to_string(kMaxLine) + " characters: no ATR");
        return std::nullopt;
    }
    try {
        qv::Bytes bytes = qv::FromHex(text);
        if (bytes.empty())
            Refuse(where, "no ATR in hex: no bytes");
        else
            return bytes;
    } catch (const std::invalid_argument& e) {
        Refuse(where, std::string("no ATR in hex: ") + e.what());
    }
    return std::nullopt;
}

int Status(bool usage, bool faulty) {
    return usage ? kUsage : faulty ? kNotWellFormed : kAllWellFormed;
}

// Every argument read first: text that is no hex prints nothing but the reason.
int FromArguments(int argc, char** argv, const Options& options) {
    std::vector<qv::Bytes> atrs;
    for (int k = optind; k < argc; ++k) {
        const std::optional<qv::Bytes> bytes =
            Bytes(argv[k], "argument " + std::to_string(k - optind + 1));
        if (!bytes)
            return kUsage;
        atrs.push_back(*bytes);
    }
    Printer printer(options);
    bool faulty = false;
    for (const qv::Bytes& atr : atrs)
        faulty = !printer.Print(atr) || faulty;
    return Status(false, faulty);
}

// One line of standard input, at most kMaxLine + 1 characters of it kept (enough to tell that
// it is too long); false at the end of the input.
bool ReadLine(std::string& line) {
    line.clear();
    int c = 0;
    while ((c = std::getc(stdin)) != EOF && c != '\n') {
        if (line.size() <= kMaxLine)
            line += static_cast<char>(c);
    }
    return c != EOF || !line.empty();
}

// Each line as it comes; blank lines are skipped, a line that is no hex is said and skipped.
int FromInput(const Options& options) {
    Printer printer(options);
    bool usage = false, faulty = false;
    std::string line;
    for (std::size_t number = 1; ReadLine(line); ++number) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        const std::optional<qv::Bytes> bytes = Bytes(line, "line " + std::to_string(number));
        if (!bytes)
            usage = true;
        else
            faulty = !printer.Print(*bytes) || faulty;
    }
    if (std::ferror(stdin)) {
        std::fputs("quorvane-atr: standard input could not be read\n", stderr);
        usage = true;
    }
    return Status(usage, faulty);
}

} // namespace

int main(int argc, char** argv) {
    static const option kLong[] = {{"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    Options options;
    for (int c = 0; (c = getopt_long(argc, argv, "jhV", kLong, nullptr)) != -1;) {
        switch (c) {
        case 'j':
            options.json = true;
            break;
        case 'h':
            std::fputs(kUsageText, stdout);
            return kAllWellFormed;
        case 'V':
            std::puts("quorvane-atr " QUORVANE_VERSION);
            return kAllWellFormed;
        default:
            std::fputs(kUsageText, stderr);
            return kUsage;
        }
    }
    const int status = optind < argc ? FromArguments(argc, argv, options) : FromInput(options);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("quorvane-atr: the output could not be written\n", stderr);
        return kUsage;
    }
    return status;
}
