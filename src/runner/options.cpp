// The command line of quorvane-run.
#include "runner/options.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace qvrun {
namespace {

constexpr unsigned kMaxRepeat = 1000000;

// Splits "a,b,c" into its non-empty parts.
std::vector<std::string> SplitList(std::string_view list) {
    std::vector<std::string> parts;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view part = list.substr(0, comma);
        if (!part.empty())
            parts.emplace_back(part);
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return parts;
}

unsigned ParseRepeat(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0 ||
        value > kMaxRepeat) {
        throw SetupError("--repeat needs a count from 1 to 1000000, not '" + std::string(text) +
                         "'");
    }
    return value;
}

// Walks the arguments: an option's value is the next argument or follows "=" in a long option.
class ArgWalker {
  public:
    explicit ArgWalker(std::span<const char* const> args) : args_(args) {}

    bool Done() const { return at_ >= args_.size(); }
    std::string_view Next() { return args_[at_++]; }

    // The value of `option`, given as `inlineValue` after "=" or as the next argument.
    std::string Value(std::string_view option, std::optional<std::string_view> inlineValue) {
        if (inlineValue)
            return std::string(*inlineValue);
        if (Done())
            throw SetupError("option " + std::string(option) + " needs a value");
        return std::string(Next());
    }

  private:
    std::span<const char* const> args_;
    std::size_t at_ = 0;
};

} // namespace

Options ParseOptions(std::span<const char* const> args) {
    Options options;
    ArgWalker walk(args);
    bool optionsEnded = false;
    while (!walk.Done()) {
        const std::string_view arg = walk.Next();
        if (optionsEnded || arg == "-" || !arg.starts_with('-')) {
            options.files.emplace_back(arg);
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (arg.starts_with("--")) {
            if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
            }
        }
        const auto flag = [&](bool& target) {
            if (inlineValue)
                throw SetupError("option " + std::string(name) + " takes no value");
            target = true;
        };
        bool unused = false;
        if (arg == "--") {
            optionsEnded = true;
        } else if (name == "-r" || name == "--reader") {
            options.readers.push_back(walk.Value(name, inlineValue));
        } else if (name == "--readers") {
            const auto list = SplitList(walk.Value(name, inlineValue));
            if (list.empty())
                throw SetupError("--readers needs a list of readers, such as 1,2");
            options.readers.insert(options.readers.end(), list.begin(), list.end());
        } else if (name == "--all-readers") {
            flag(options.allReaders);
        } else if (name == "--ctapi") {
            options.ctapiLibrary = walk.Value(name, inlineValue);
        } else if (name == "--no-reset") {
            flag(unused);
            options.reset = false;
        } else if (name == "--junit") {
            options.junitPath = walk.Value(name, inlineValue);
        } else if (name == "--trace") {
            options.tracePath = walk.Value(name, inlineValue);
        } else if (name == "--record") {
            options.recordPath = walk.Value(name, inlineValue);
        } else if (name == "--repeat") {
            options.repeat = ParseRepeat(walk.Value(name, inlineValue));
        } else if (name == "--fail-fast") {
            flag(options.failFast);
        } else if (name == "--get-response") {
            flag(options.getResponse);
        } else if (name == "-q" || name == "--quiet") {
            flag(unused);
            options.verbosity = Verbosity::Quiet;
        } else if (name == "-v" || name == "--verbose") {
            flag(unused);
            options.verbosity = Verbosity::Verbose;
        } else if (name == "-h" || name == "--help") {
            flag(options.help);
        } else if (name == "-V" || name == "--version") {
            flag(options.version);
        } else {
            throw SetupError("unknown option " + std::string(arg) + " (see --help)");
        }
    }
    if (options.help || options.version)
        return options;
    if (options.files.empty())
        throw SetupError("no REQ file given (see --help)");
    if (options.allReaders && !options.readers.empty())
        throw SetupError("--all-readers and --reader/--readers exclude each other");
    return options;
}

const char* UsageText() {
    return "usage: quorvane-run [OPTIONS] FILE.req...\n"
           "Runs the tests of REQ files against the card in a reader through the CT-API.\n"
           "\n"
           "  -r, --reader N|TEXT   reader by 1-based position or by a unique part of its name;\n"
           "                        default: the first reader that holds a card\n"
           "  --readers LIST        several readers at once (comma-separated, as for -r)\n"
           "  --all-readers         every reader that holds a card, at once\n"
           "  --ctapi PATH          load this CT-API library instead of libctapi-pcsc\n"
           "  --no-reset            send no RESET CT and RESET ICC before the tests\n"
           "  --junit FILE          write a JUnit XML report\n"
           "  --trace FILE          write every exchange: time, bytes sent and received, duration\n"
           "  --record FILE.req     write a REQ file with the responses received as expected\n"
           "  --repeat N            run the files N times\n"
           "  --fail-fast           stop at the first failure\n"
           "  --get-response        follow 61xx with GET RESPONSE and 6Cxx with the right Le\n"
           "  -q, --quiet           print failures and the summary only\n"
           "  -v, --verbose         print the bytes of every exchange\n"
           "  -h, --help            print this help\n"
           "  -V, --version         print the version\n"
           "\n"
           "Exit status: 0 all tests passed, 1 a test failed, 2 usage or set-up error.\n";
}

} // namespace qvrun
