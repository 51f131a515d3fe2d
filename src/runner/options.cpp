// The command line of quorvane-run.
#include "runner/options.h"

#include "core/text.h"

#include <algorithm>
#include <getopt.h>
#include <optional>
#include <string_view>

namespace qvrun {
namespace {

constexpr unsigned kMaxRepeat = 1000000;
constexpr unsigned kLongestReaderWait = 24 * 60 * 60; // a day: never a wait without a limit
constexpr double kMaxTimeout = 86400;

// Splits "a,b,c" into its non-empty parts.
std::vector<std::string> SplitList(std::string_view list) {
    std::vector<std::string> parts;
    for (const std::string_view part : qv::SplitAt(list, ',')) {
        if (!part.empty())
            parts.emplace_back(part);
    }
    return parts;
}

unsigned ParseRepeat(std::string_view text) {
    const std::optional<unsigned> value = qv::WholeNumber<unsigned>(text);
    if (!value || *value == 0 || *value > kMaxRepeat)
        throw SetupError("--repeat needs a count from 1 to 1000000, not '" + std::string(text) +
                         "'");
    return *value;
}

std::chrono::seconds ParseReaderWait(std::string_view text) {
    const std::optional<unsigned> value = qv::WholeNumber<unsigned>(text);
    if (!value || *value > kLongestReaderWait)
        throw SetupError("--wait-reader needs seconds from 0 to 86400, not '" + std::string(text) +
                         "'");
    return std::chrono::seconds(*value);
}

// A file name option's value: an empty one ("--junit=") names no file.
std::string FileName(const char* option, const std::string& value) {
    if (value.empty())
        throw SetupError(std::string(option) + " needs a file name");
    return value;
}

// `text` as a number from `least` to `most`, or nothing.
std::optional<double> NumberIn(const std::string& text, double least, double most) {
    const std::optional<double> value = qv::WholeNumber<double>(text);
    if (!value || !(*value >= least) || *value > most) {
        return std::nullopt;
    }
    return *value;
}

double ParseFactor(const std::string& text) {
    if (const std::optional<double> value = NumberIn(text, 1, 1e6))
        return *value;
    throw SetupError("--baseline-factor needs a number of at least 1, such as 1.5, not '" + text +
                     "'");
}

double ParseTimeout(const std::string& text) {
    if (const std::optional<double> value = NumberIn(text, 0, kMaxTimeout))
        return *value;
    throw SetupError("--timeout needs seconds from 0 (no limit) to 86400, such as 2.5, not '" +
                     text + "'");
}

using Apply = void (*)(Options& options, const std::string& value);

// An option without a value sets one member to one value.
template <auto Member, auto Value> void Set(Options& options, const std::string&) {
    options.*Member = Value;
}

// An option's name as a template argument, for the messages of the rows below.
template <std::size_t N> struct OptionName {
    char text[N];
    constexpr OptionName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// An option whose value is a file name sets one member to it.
template <auto Member, OptionName Name> void SetFile(Options& options, const std::string& value) {
    options.*Member = FileName(Name.text, value);
}

// Every option: its long name, whether it takes a value, its short letter or a code above the
// letters, and what it does.
struct OptionRow {
    const char* name;
    int hasArg;
    int code;
    Apply apply;
};

constexpr int kLongOnly = 256;
constexpr OptionRow kOptions[] = {
    {"reader", required_argument, 'r',
     [](Options& o, const std::string& v) { o.choices.back().readers.push_back(v); }},
    {"readers", required_argument, kLongOnly,
     [](Options& o, const std::string& v) {
         const auto list = SplitList(v);
         if (list.empty())
             throw SetupError("--readers needs a list of readers, such as 1,2");
         std::vector<std::string>& readers = o.choices.back().readers;
         readers.insert(readers.end(), list.begin(), list.end());
     }},
    {"all-readers", no_argument, kLongOnly + 1,
     [](Options& o, const std::string&) { o.choices.back().all = true; }},
    {"pcsc-socket", required_argument, kLongOnly + 31,
     [](Options& o, const std::string& v) {
         o.choices.push_back({FileName("--pcsc-socket", v), {}, false});
     }},
    {"ctapi", required_argument, kLongOnly + 2, SetFile<&Options::ctapiLibrary, "--ctapi">},
    {"no-reset", no_argument, kLongOnly + 3, Set<&Options::reset, false>},
    {"junit", required_argument, kLongOnly + 4, SetFile<&Options::junitPath, "--junit">},
    {"trace", required_argument, kLongOnly + 5, SetFile<&Options::tracePath, "--trace">},
    {"record", required_argument, kLongOnly + 6, SetFile<&Options::recordPath, "--record">},
    {"repeat", required_argument, kLongOnly + 7,
     [](Options& o, const std::string& v) { o.repeat = ParseRepeat(v); }},
    {"fail-fast", no_argument, kLongOnly + 8, Set<&Options::failFast, true>},
    {"get-response", no_argument, kLongOnly + 9, Set<&Options::getResponse, true>},
    {"baseline", required_argument, kLongOnly + 10, SetFile<&Options::baselinePath, "--baseline">},
    {"baseline-factor", required_argument, kLongOnly + 11,
     [](Options& o, const std::string& v) { o.baselineFactor = ParseFactor(v); }},
    {"strict", no_argument, kLongOnly + 20, Set<&Options::strict, true>},
    {"allow-empty", no_argument, kLongOnly + 21, Set<&Options::allowEmpty, true>},
    {"wait-reader", required_argument, kLongOnly + 30,
     [](Options& o, const std::string& v) { o.waitReader = ParseReaderWait(v); }},
    {"timeout", required_argument, kLongOnly + 12,
     [](Options& o, const std::string& v) { o.timeout = ParseTimeout(v); }},
    {"quiet", no_argument, 'q', Set<&Options::verbosity, Verbosity::Quiet>},
    {"verbose", no_argument, 'v', Set<&Options::verbosity, Verbosity::Verbose>},
    {"help", no_argument, 'h', Set<&Options::help, true>},
    {"version", no_argument, 'V', Set<&Options::version, true>},
};

// The table as getopt_long takes it. "-" first: a file comes back as the value of option 1,
// in its place among the options, also under POSIXLY_CORRECT; ":" next: a missing value comes
// back as ':', and getopt prints nothing.
struct GetoptTable {
    std::string shortOptions = "-:";
    std::vector<option> longOptions;

    GetoptTable() {
        for (const OptionRow& row : kOptions) {
            longOptions.push_back({row.name, row.hasArg, nullptr, row.code});
            if (row.code < kLongOnly) {
                shortOptions += static_cast<char>(row.code);
                if (row.hasArg == required_argument)
                    shortOptions += ':';
            }
        }
        longOptions.push_back({nullptr, 0, nullptr, 0});
    }
};

// An option's name as written: "--junit" of "--junit=x", or "-r".
std::string_view WrittenName(std::string_view arg) {
    return arg.substr(0, arg.find('='));
}

// The option `written` names exactly as a long one, or nullptr.
const OptionRow* LongOption(std::string_view written) {
    if (!written.starts_with("--"))
        return nullptr;
    for (const OptionRow& row : kOptions) {
        if (written.substr(2) == row.name)
            return &row;
    }
    return nullptr;
}

const OptionRow& ByCode(int code) {
    for (const OptionRow& row : kOptions) {
        if (row.code == code)
            return row;
    }
    throw SetupError("unknown option code " + std::to_string(code)); // getopt gives none other
}

// getopt's refusals in the runner's words: a missing value (':'), a value given to an option
// that takes none, an unknown option ('?'). `lastArg` is the argument before optind: the long
// option refused, or the argument that held a short one (or an earlier argument, for a short
// option refused inside a group such as -qx).
[[noreturn]] void Refuse(int code, std::string_view lastArg) {
    const OptionRow* named = LongOption(WrittenName(lastArg));
    if (lastArg.starts_with("--") && named == nullptr)
        throw SetupError("unknown option " + std::string(lastArg) + " (see --help)");
    const bool isLong = named != nullptr && named->code == optopt;
    const std::string name =
        isLong ? "--" + std::string(named->name) : std::string{'-', static_cast<char>(optopt)};
    if (code == ':')
        throw SetupError("option " + name + " needs a value");
    if (isLong)
        throw SetupError("option " + name + " takes no value");
    throw SetupError("unknown option " + name + " (see --help)");
}

} // namespace

void ParseOptions(std::span<const char* const> args, Options& options) {
    static const GetoptTable table;
    // getopt_long reorders an argv of its own; the strings are only read.
    std::vector<char*> argv{const_cast<char*>("quorvane-run")};
    for (const char* arg : args)
        argv.push_back(const_cast<char*>(arg));
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size() - 1);
    optind = 0; // a fresh scan: getopt keeps its state in globals
    opterr = 0;

    // The first fault is said; the scan goes on, so that every file and output named is known
    // (a report named there is removed: no earlier run's report outlives a status 2).
    std::optional<SetupError> fault;
    for (int code = 0, longIndex = -1;
         (code = getopt_long(argc, argv.data(), table.shortOptions.c_str(),
                             table.longOptions.data(), &longIndex)) != -1;
         longIndex = -1) {
        try {
            if (code == '?' || code == ':')
                Refuse(code, argv[optind - 1]);
            if (code == 1) {
                options.files.emplace_back(optarg);
                continue;
            }
            // A long option must be written whole: getopt_long takes an unambiguous
            // abbreviation, which would make a new option break command lines that abbreviate
            // another one.
            const bool valueApart = optarg != nullptr && optarg == argv[optind - 1];
            const std::string_view written = argv[optind - (valueApart ? 2 : 1)];
            if (longIndex >= 0 && LongOption(WrittenName(written)) == nullptr)
                throw SetupError("unknown option " + std::string(written) + " (see --help)");
            ByCode(code).apply(options, optarg != nullptr ? optarg : "");
        } catch (const SetupError& error) {
            if (!fault)
                fault = error;
        }
    }
    for (int k = optind; k < argc; ++k) // after "--"
        options.files.emplace_back(argv[k]);
    if (fault)
        throw *fault;
    if (options.help || options.version)
        return;
    if (options.baselineFactor && options.baselinePath.empty())
        throw SetupError("--baseline-factor needs --baseline FILE");
    if (options.files.empty())
        throw SetupError("no REQ file given (see --help)");
    for (const ReaderChoice& choice : options.choices) {
        if (choice.all && !choice.readers.empty()) {
            throw SetupError(
                "--all-readers and --reader/--readers exclude each other" +
                (choice.socket.empty() ? "" : " after --pcsc-socket " + choice.socket));
        }
    }
    const ReaderChoice& first = options.choices.front();
    if (options.choices.size() > 1 && first.readers.empty() && !first.all)
        options.choices.erase(options.choices.begin());
}

Options ParseOptions(std::span<const char* const> args) {
    Options options;
    ParseOptions(args, options);
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
           "  --pcsc-socket PATH    the reader options after it choose among the readers of the\n"
           "                        PC/SC service at PATH (default: every service of a test\n"
           "                        bed, QUORVANE_PCSC_SOCKETS, else PC/SC's own)\n"
           "  --ctapi PATH          load this CT-API library instead of libctapi-pcsc\n"
           "  --no-reset            send no RESET CT and RESET ICC before the tests\n"
           "  --junit FILE          write a JUnit XML report (-: to standard output)\n"
           "  --trace FILE          write every exchange: time, bytes sent and received, duration\n"
           "  --record FILE.req     write a REQ file with the responses received as expected\n"
           "  --baseline FILE.xml   fail a test whose time grew past a factor of its time in\n"
           "                        an earlier run's JUnit report\n"
           "  --baseline-factor F   that factor (default 2)\n"
           "  --repeat N            run the files N times\n"
           "  --fail-fast           stop at the first failure\n"
           "  --get-response        follow 61xx with GET RESPONSE and 6Cxx with the right Le\n"
           "  --strict              refuse a file with a line the REQ rules read leniently\n"
           "  --allow-empty         a file without tests, or no test sent, is no error\n"
           "  --wait-reader SECONDS wait that long for a reader or card in use by another run\n"
           "                        or program (default 0: refuse at once)\n"
           "  --timeout SECONDS     the longest wait for one exchange (default 60; 0: none)\n"
           "  -q, --quiet           print failures and the summary only\n"
           "  -v, --verbose         print the bytes of every exchange\n"
           "  -h, --help            print this help\n"
           "  -V, --version         print the version\n"
           "\n"
           "Exit status: 0 all tests passed, 1 a test failed or was not run, 2 usage, set-up or\n"
           "write error; ended by SIGHUP, SIGINT or SIGTERM, the reports written, by that "
           "signal.\n";
}

} // namespace qvrun
