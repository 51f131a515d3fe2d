// A REQ file by the base rules or with the extensions turned on.
#include "req/req_script.h"

#include "core/hex.h"
#include "core/text.h"
#include "req/req_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>

namespace qv {

namespace {

constexpr std::string_view kSwitch = "@quorvane-run";
constexpr std::string_view kVersion = "1";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kDashedName = "# -";
constexpr std::string_view kAtrLineStart = "ATR ";
constexpr std::size_t kDashedNameSkip = kDashedName.size() + 1; // the base rules' name start
constexpr std::size_t kMaxIncludeDepth = 16;
constexpr auto kLongestTimeLimit = std::chrono::hours(1);
constexpr std::string_view kWellFormed = "well-formed"; // @atr's word for the decoder's verdict
constexpr std::string_view kFollowing = "for the following tests"; // a lasting @time-limit
constexpr std::string_view kOff = "off";
constexpr const char* kTimeLimitForms =
    " (or TIME for the following tests, or off)"; // the forms of @time-limit

// The lines of a text without their line ends (LF, or CR LF).
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines = SplitAt(text, '\n');
    for (std::string_view& line : lines) {
        if (line.ends_with('\r'))
            line.remove_suffix(1);
    }
    return lines;
}

bool StartsSwitch(std::string_view line) {
    return line.starts_with(kSwitch) &&
           (line.size() == kSwitch.size() || line[kSwitch.size()] == ' ' ||
            line[kSwitch.size()] == '\t');
}

bool IsNameOrBlank(std::string_view line) {
    return Trim(line, kBlanksAndTabs).empty() ||
           (line.starts_with('#') && FindAddressMark(line) == line.npos);
}

// The 1-based number of the switch line, or 0 when the file has none where it may stand. A
// switch anywhere else is an error: the file would silently be read by the base rules.
std::size_t SwitchLine(const std::string& path, const std::vector<std::string_view>& lines) {
    std::size_t found = 0;
    bool beforeFirstTest = true;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::string_view line = k == 0 && lines[0].starts_with(kByteOrderMark)
                                          ? lines[0].substr(kByteOrderMark.size())
                                          : lines[k];
        if (StartsSwitch(line)) {
            if (!beforeFirstTest || found != 0) {
                throw ScriptError({path, k + 1},
                                  found != 0 ? "@quorvane-run given twice (first on line " +
                                                   std::to_string(found) + ")"
                                             : "@quorvane-run 1 must be the first line that is "
                                               "neither blank nor a # line");
            }
            if (Trim(line.substr(kSwitch.size()), kBlanksAndTabs) != kVersion) {
                throw ScriptError({path, k + 1}, "this quorvane-run reads REQ extensions of "
                                                 "version 1 (@quorvane-run 1)");
            }
            found = k + 1;
        } else if (!IsNameOrBlank(line)) {
            beforeFirstTest = false;
        }
    }
    return found;
}

// In a file without the switch: the number of the line where the switch would stand when that
// line is almost the switch (a blank or a second byte-order mark before it, letters in another
// case, no blank before the version), or 0. Such a file is read by the base rules, which its
// author most likely did not mean.
std::size_t NearMissSwitch(const std::vector<std::string_view>& lines) {
    for (std::size_t k = 0; k < lines.size(); ++k) {
        std::string_view line = lines[k];
        if (k == 0 && line.starts_with(kByteOrderMark))
            line.remove_prefix(kByteOrderMark.size());
        if (IsNameOrBlank(line))
            continue;
        while (line.starts_with(kByteOrderMark))
            line.remove_prefix(kByteOrderMark.size());
        line = Trim(line, kBlanksAndTabs).substr(0, kSwitch.size());
        std::string lower(line);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return lower == kSwitch ? k + 1 : 0;
    }
    return 0;
}

// A name line's name by the base rules, line end excluded.
std::string NameOf(std::string_view line) {
    const std::size_t skip = line.starts_with(kDashedName) ? kDashedNameSkip : 1;
    return std::string(line.substr(std::min(skip, line.size())));
}

// "250 ms", "1.5s", "800 us".
std::chrono::microseconds ParseDuration(std::string_view text) {
    text = Trim(text, kBlanksAndTabs);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const std::string_view unit =
        Trim(text.substr(static_cast<std::size_t>(end - text.data())), kBlanksAndTabs);
    double factor = 0;
    if (unit == "us")
        factor = 1;
    else if (unit == "ms")
        factor = 1e3;
    else if (unit == "s")
        factor = 1e6;
    if (error != std::errc{} || end == text.data() || factor == 0)
        throw PatternError("a time is a number and us, ms or s, such as 250 ms");
    const double micros = value * factor;
    if (!(micros >= 1) ||
        micros > std::chrono::duration_cast<std::chrono::microseconds>(kLongestTimeLimit).count())
        throw PatternError("a time limit from 1 us to 1 hour");
    return std::chrono::microseconds(static_cast<std::int64_t>(micros));
}

// "@word argument": the word after "@" and the argument without its outer blanks.
struct DirectiveText {
    std::string_view word;
    std::string_view argument;
};

DirectiveText SplitDirective(std::string_view line) {
    const std::string_view body = line.substr(1);
    const std::size_t blank = body.find_first_of(" \t");
    return {body.substr(0, blank),
            Trim(blank == body.npos ? std::string_view{} : body.substr(blank), kBlanksAndTabs)};
}

// The file an "@include NAME" in `path` names: a relative name from the folder of `path`.
std::string IncludedPath(const std::string& path, const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path target =
        fs::path(name).is_absolute() ? fs::path(name) : fs::path(path).parent_path() / name;
    return target.lexically_normal().string();
}

// The REQ text one reading costs, an included file counted again at each @include, measured
// before any test is built: an include fan-out of a few small files can stand for 10^9 tests.
// Each file is read once; the reading of the tests takes its text from here.
class TextMeasure {
  public:
    explicit TextMeasure(const IncludeReader& read) : read_(read) {}

    // An included file as read: its text, or why it cannot be read (the reading of the tests
    // says so at its @include line).
    struct Included {
        std::optional<std::string> text;
        std::string why;
    };

    const Included& Read(const std::string& file) {
        if (const auto known = files_.find(file); known != files_.end())
            return known->second;
        Included included;
        try {
            included.text = read_(file);
        } catch (const std::exception& error) {
            included.why = error.what();
        }
        return files_.emplace(file, std::move(included)).first->second;
    }

    // The bytes reading `path` costs, held at kMaxRunText + 1. A file that includes itself, or
    // nests too deep, counts what comes before (the reading of the tests refuses it).
    std::size_t Total(const std::string& path, std::string_view text) {
        if (const auto known = totals_.find(path); known != totals_.end())
            return known->second;
        if (open_.size() > kMaxIncludeDepth || !open_.insert(path).second)
            return text.size();
        std::size_t total = text.size();
        for (const auto& [line, file] : Includes(path, text)) {
            if (const Included& included = Read(file); included.text)
                total = std::min(kMaxRunText + 1, total + Total(file, *included.text));
        }
        open_.erase(path);
        return totals_[path] = std::min(kMaxRunText + 1, total);
    }

    // The @include line, in `path` or a file it includes, whose file takes the text read past
    // `room`; nothing when the text of `path` alone does. Total(path) must pass `room`.
    std::optional<SourceLine> Crossing(const std::string& path, std::string_view text,
                                       std::size_t room) {
        std::size_t used = text.size();
        if (used > room)
            return std::nullopt;
        for (const auto& [line, file] : Includes(path, text)) {
            const Included& included = Read(file);
            if (!included.text)
                continue;
            const std::size_t total = Total(file, *included.text);
            if (used + total > room) {
                const auto inner = Crossing(file, *included.text, room - used);
                return inner ? *inner : SourceLine{path, line};
            }
            used += total;
        }
        return std::nullopt;
    }

  private:
    // The @include lines of a file with the switch, by line number, their files resolved.
    static std::vector<std::pair<std::size_t, std::string>> Includes(const std::string& path,
                                                                     std::string_view text) {
        std::vector<std::pair<std::size_t, std::string>> includes;
        const std::vector<std::string_view> lines = Lines(text);
        try {
            if (SwitchLine(path, lines) == 0)
                return includes;
        } catch (const ScriptError&) {
            return includes; // the reading of the tests says what is wrong
        }
        for (std::size_t k = 0; k < lines.size(); ++k) {
            if (!lines[k].starts_with('@') || FindAddressMark(lines[k]) != lines[k].npos)
                continue;
            const DirectiveText directive = SplitDirective(lines[k]);
            if (directive.word == "include" && !directive.argument.empty())
                includes.emplace_back(k + 1, IncludedPath(path, std::string(directive.argument)));
        }
        return includes;
    }

    const IncludeReader& read_;
    std::map<std::string, Included, std::less<>> files_;
    std::map<std::string, std::size_t, std::less<>> totals_;
    std::set<std::string, std::less<>> open_; // the files being measured, one inside the next
};

// What the reading of one file and the files it includes shares.
struct Context {
    TextMeasure& measure;
    std::vector<ReqTest>& tests;
    std::vector<RunOnlyLine>& runOnly;
    std::vector<FileWarning>& warnings;
    KnownCaptures captured;         // names captured by the tests so far, with their lengths
    std::vector<std::string> chain; // the files being read, outermost first
};

void ReadFile(Context& context, const std::string& path, std::string_view text,
              std::optional<SourceLine>* unfinished, std::vector<RunOnlyLine>* dormant);

// A plain pattern (Pattern::Plain) as the base rules' expected response: a byte it cares
// nothing for is a wildcard, stored as kWildcardValue.
void PlainExpected(const Pattern& pattern, ReqTest& test) {
    const PatternItem& item = pattern.alternatives.front().items.front();
    for (std::size_t k = 0; k < item.value.size(); ++k) {
        const bool any = item.care[k] == 0;
        test.expected.push_back(any ? kWildcardValue : item.value[k]);
        test.wildcard.push_back(any ? 1 : 0);
    }
}

// A base-rules file: the base reader's tests, one for one, names without their line end.
class BaseSink : public ReqSink {
  public:
    BaseSink(Context& context, const std::string& path, std::optional<SourceLine>* unfinished)
        : context_(context), path_(path), unfinished_(unfinished) {}

    void Test(const ReqTest& base) override {
        ReqTest& test = context_.tests.emplace_back(base);
        test.number = context_.tests.size();
        test.file = path_;
        test.name = base.Title();
    }

    void Unfinished(const ReqTest& base) override {
        if (!base.command.empty() && unfinished_ != nullptr)
            *unfinished_ = SourceLine{path_, base.line};
    }

  private:
    Context& context_;
    const std::string& path_;
    std::optional<SourceLine>* unfinished_;
};

// The lines of a file with the extensions on.
class ExtendedReader {
  public:
    ExtendedReader(Context& context, const std::string& path, std::size_t switchLine)
        : context_(context), path_(path), switchLine_(switchLine) {}

    void Line(std::string_view line, std::size_t number) {
        number_ = number;
        if (state_ == State::Continuing) {
            ContinueResponse(line);
            return;
        }
        if (number == 1 && line.starts_with(kByteOrderMark))
            line.remove_prefix(kByteOrderMark.size());
        if (line.starts_with('#')) {
            if (FindAddressMark(line) != line.npos)
                Fail("a name line holding \"2,0\" (the menu program sends it as a command)");
            if (state_ == State::Awaiting)
                FailAwaiting("a name line");
            name_ = NameOf(line);
            nameLine_ = number;
        } else if (const std::size_t mark = FindAddressMark(line); mark != line.npos) {
            Command(line, mark, ICC1);
        } else if (line.starts_with('@')) {
            Directive(line);
        } else if (const std::size_t toCt = FindAddressMark(line, '1'); toCt != line.npos) {
            Command(line, toCt, CT);
        } else if (line.starts_with('>')) {
            if (state_ != State::Awaiting)
                Fail("a > line that no command awaits");
            responseLine_ = number;
            responseText_.clear();
            ContinueResponse(line.substr(1));
        } else if (Trim(line, kBlanksAndTabs).empty()) {
            if (state_ == State::Awaiting)
                Complete(); // the base rules' blank line: any response passes
        } else if (state_ == State::Awaiting) {
            FailAwaiting("a line of text");
        }
    }

    void End(bool endedWithFeed) {
        if (state_ == State::Continuing)
            Fail("the response of line " + std::to_string(responseLine_) +
                 " goes on past the end of the file");
        if (state_ == State::Awaiting) {
            if (!endedWithFeed)
                Fail("the last command has no line end after it (the menu program does not run "
                     "it)");
            Complete();
        }
        if (timeLimit_)
            Fail("@time-limit of line " + std::to_string(timeLimitLine_) + " has no test after it");
    }

  private:
    enum class State { Between, Awaiting, Continuing };

    [[noreturn]] void Fail(const std::string& message) const {
        throw ScriptError({path_, number_}, message);
    }

    [[noreturn]] void FailAwaiting(const std::string& what) const {
        Fail(what + " between the command of line " + std::to_string(test_.line) +
             " and its response (end a test without one by a blank line)");
    }

    void RunOnly(RunOnlyLine::Kind kind, std::string what) {
        context_.runOnly.push_back({{path_, number_}, kind, std::move(what)});
    }

    void Command(std::string_view line, std::size_t mark, std::uint8_t destination) {
        if (state_ == State::Awaiting)
            Fail("a second command line while the command of line " + std::to_string(test_.line) +
                 " awaits its response");
        const std::size_t skipped = mark + kCommandSkip - 1; // the separator after "2,0"
        if (skipped < line.size() && line[skipped] != ' ' && line[skipped] != ':')
            Fail(std::string("'") + line[skipped] +
                 "' right after the address is skipped: put a blank or ':' there");
        test_ = ReqTest{};
        test_.file = path_;
        test_.line = number_;
        test_.destination = destination;
        try {
            command_ =
                ParseCommand(line.substr(std::min(line.size(), skipped + 1)), &context_.captured);
        } catch (const PatternError& error) {
            Fail(error.what());
        }
        if (destination == CT) {
            RunOnly(RunOnlyLine::Kind::TerminalCommand, "a command to the card terminal");
            test_.extended = true;
        } else if (command_.text.find('{') != std::string::npos) {
            RunOnly(RunOnlyLine::Kind::Command, "a command with captured values or byte runs");
            test_.extended = true;
        }
        state_ = State::Awaiting;
    }

    void Directive(std::string_view line) {
        const auto [word, argument] = SplitDirective(line);
        if (word == kSwitch.substr(1)) {
            if (number_ != switchLine_)
                Fail("@quorvane-run given twice (first on line " + std::to_string(switchLine_) +
                     ")");
            RunOnly(RunOnlyLine::Kind::Switch, "the switch to the extensions");
            return;
        }
        if (state_ == State::Awaiting)
            FailAwaiting("a directive");
        if (word == "include") {
            if (argument.empty())
                Fail("@include needs a file name");
            if (timeLimit_)
                Fail("@time-limit of line " + std::to_string(timeLimitLine_) +
                     " stands before an include, not a test");
            RunOnly(RunOnlyLine::Kind::Include, "an include");
            Include(std::string(argument));
        } else if (word == "time-limit") {
            TimeLimit(argument);
        } else if (word == "get-response") {
            GetResponse(argument);
        } else if (word == "atr") {
            Atr(argument);
        } else {
            Fail("unknown directive '@" + std::string(word) +
                 "' (@include, @time-limit, @get-response, @atr)");
        }
    }

    // "@time-limit TIME" for the next test, "@time-limit TIME for the following tests" for every
    // test after it in this file, "@time-limit off" to end that.
    void TimeLimit(std::string_view argument) {
        if (argument == kOff) {
            following_.reset();
            RunOnly(RunOnlyLine::Kind::TimeLimit, "the end of a time limit");
            return;
        }
        const bool following = argument.ends_with(kFollowing);
        if (following)
            argument =
                Trim(argument.substr(0, argument.size() - kFollowing.size()), kBlanksAndTabs);
        if (!following && timeLimit_)
            Fail("a second @time-limit for one test (the first on line " +
                 std::to_string(timeLimitLine_) + ")");
        std::chrono::microseconds limit{};
        try {
            limit = ParseDuration(argument);
        } catch (const PatternError& error) {
            Fail(std::string("@time-limit: ") + error.what() + (following ? "" : kTimeLimitForms));
        }
        if (following) {
            following_ = Limit{limit, std::string(argument)};
            RunOnly(RunOnlyLine::Kind::TimeLimit, "a time limit for the following tests");
            return;
        }
        timeLimit_ = limit;
        timeLimitText_ = argument;
        timeLimitLine_ = number_;
        RunOnly(RunOnlyLine::Kind::TimeLimit, "a time limit");
    }

    // "@get-response on", "off" or "default" (as the command line says) for the tests after it.
    void GetResponse(std::string_view argument) {
        if (argument == "on")
            getResponse_ = true;
        else if (argument == "off")
            getResponse_ = false;
        else if (argument == "default")
            getResponse_.reset();
        else
            Fail("@get-response takes on, off or default (as quorvane-run's command line says)");
        RunOnly(RunOnlyLine::Kind::GetResponse, "GET RESPONSE for the following tests");
    }

    // "@atr PATTERN" or "@atr well-formed": a test of the reset's ATR, named by a name line
    // before it or "ATR".
    void Atr(std::string_view argument) {
        if (argument.empty())
            Fail("@atr needs a pattern for the ATR, or well-formed");
        if (timeLimit_)
            Fail("@time-limit of line " + std::to_string(timeLimitLine_) +
                 " stands before @atr, which sends nothing to time");
        test_ = ReqTest{};
        test_.file = path_;
        test_.line = number_;
        test_.extended = true;
        if (argument == kWellFormed) {
            test_.atr = AtrCheck::WellFormed;
        } else {
            test_.atr = AtrCheck::Pattern;
            try {
                expected_ = ParsePattern(argument, &context_.captured);
            } catch (const PatternError& error) {
                Fail("@atr: " + std::string(error.what()));
            }
        }
        if (nameLine_ == 0) {
            name_ = "ATR";
            nameLine_ = number_;
        }
        RunOnly(RunOnlyLine::Kind::Atr, "a test of the ATR");
        Complete();
    }

    void Include(const std::string& name) {
        const std::string file = IncludedPath(path_, name);
        if (std::find(context_.chain.begin(), context_.chain.end(), file) != context_.chain.end())
            Fail("@include " + name + " includes a file that is being read already");
        if (context_.chain.size() >= kMaxIncludeDepth)
            Fail("@include " + name + ": includes nest deeper than 16 files");
        const TextMeasure::Included& included = context_.measure.Read(file);
        if (!included.text)
            Fail("cannot include " + file + ": " + included.why);
        ReadFile(context_, file, *included.text, nullptr, nullptr);
    }

    // The text of a ">" line after the ">", or a continuation line whole.
    void ContinueResponse(std::string_view text) {
        const RunOnlyLine::Kind kind = test_.destination == CT ? RunOnlyLine::Kind::TerminalResponse
                                                               : RunOnlyLine::Kind::Response;
        std::string_view body = Trim(text, kBlanksAndTabs);
        const bool goesOn = body.ends_with('\\');
        if (goesOn)
            body.remove_suffix(1);
        if (body.find('\\') != body.npos)
            Fail("a backslash inside a response (it may only end the line)");
        if (!responseText_.empty() && !Trim(body, kBlanksAndTabs).empty())
            responseText_ += ' ';
        responseText_ += Trim(body, kBlanksAndTabs);
        responseLines_.push_back(number_);
        state_ = goesOn ? State::Continuing : State::Awaiting;
        if (goesOn)
            return;
        if (!responseText_.empty()) {
            try {
                expected_ = ParsePattern(responseText_, &context_.captured);
            } catch (const PatternError& error) {
                Fail(error.what());
            }
        }
        const bool basic =
            !expected_ || (expected_->Plain() && responseText_.find('{') == std::string::npos);
        if (kind == RunOnlyLine::Kind::TerminalResponse || !basic) {
            for (const std::size_t line : responseLines_) {
                context_.runOnly.push_back(
                    {{path_, line},
                     kind,
                     kind == RunOnlyLine::Kind::TerminalResponse
                         ? "the response of a command to the card terminal"
                         : "an expected response the base rules cannot say"});
            }
            test_.extended = true;
        }
        Complete();
    }

    void Complete() {
        test_.number = context_.tests.size() + 1;
        if (nameLine_ != 0)
            test_.name = std::move(name_);
        // The next test's own limit before the one for the following tests; a test of the ATR
        // has nothing to time.
        if (timeLimit_) {
            test_.timeLimit = timeLimit_;
            test_.timeLimitText = timeLimitText_;
            test_.extended = true;
        } else if (following_ && test_.atr == AtrCheck::None) {
            test_.timeLimit = following_->limit;
            test_.timeLimitText = following_->text;
            test_.extended = true;
        }
        if (getResponse_ && test_.atr == AtrCheck::None) {
            test_.getResponse = getResponse_;
            test_.extended = true;
        }
        if (expected_)
            expected_->Define(context_.captured);
        // What is sent: the command's bytes, or, for a command written with braces, its
        // template, spelled out only when it is sent (a run of 65535 bytes costs its text until
        // then) and kept as written for a record.
        if (command_.text.find('{') != std::string::npos)
            test_.commandTemplate = std::move(command_);
        else
            test_.command = *command_.Expand({});
        // A test that uses an extension is judged by its pattern, any other by the base rules.
        if (test_.extended)
            test_.pattern = std::move(expected_);
        else if (expected_)
            PlainExpected(*expected_, test_);
        context_.tests.push_back(std::move(test_));
        test_ = ReqTest{};
        command_ = CommandTemplate{};
        expected_.reset();
        name_.clear();
        nameLine_ = 0;
        timeLimit_.reset();
        responseLines_.clear();
        state_ = State::Between;
    }

    Context& context_;
    const std::string& path_;
    std::size_t switchLine_;
    std::size_t number_ = 0;
    State state_ = State::Between;
    ReqTest test_;
    CommandTemplate command_;         // as written
    std::optional<Pattern> expected_; // as written; nothing: any response passes
    std::string name_;
    std::size_t nameLine_ = 0;
    std::optional<std::chrono::microseconds> timeLimit_; // the next test's
    std::string timeLimitText_;
    std::size_t timeLimitLine_ = 0;
    struct Limit {
        std::chrono::microseconds limit;
        std::string text; // as written
    };
    std::optional<Limit> following_;  // the following tests' limit
    std::optional<bool> getResponse_; // @get-response on or off; nothing: as the command line
    std::size_t responseLine_ = 0;
    std::string responseText_;
    std::vector<std::size_t> responseLines_; // the lines of the response being read
};

// The lines of a file without the switch that would be extensions with it.
std::vector<RunOnlyLine> Dormant(const std::string& path,
                                 const std::vector<std::string_view>& lines) {
    std::vector<RunOnlyLine> dormant;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::string_view line = lines[k];
        const SourceLine where{path, k + 1};
        if (line.starts_with("@include ")) {
            dormant.push_back(
                {where, RunOnlyLine::Kind::Include, "an include, skipped without @quorvane-run 1"});
        } else if (line.starts_with("@time-limit ")) {
            dormant.push_back({where, RunOnlyLine::Kind::TimeLimit,
                               "a time limit, skipped without @quorvane-run 1"});
        } else if (line.starts_with("@get-response ")) {
            dormant.push_back({where, RunOnlyLine::Kind::GetResponse,
                               "GET RESPONSE for the following tests, skipped without "
                               "@quorvane-run 1"});
        } else if (line.starts_with("@atr ")) {
            dormant.push_back({where, RunOnlyLine::Kind::Atr,
                               "a test of the ATR, skipped without @quorvane-run 1"});
        } else if (const std::size_t mark = FindAddressMark(line, '1');
                   mark != line.npos && !line.starts_with('#') &&
                   FindAddressMark(line) == line.npos) {
            try {
                ParseCommand(line.substr(std::min(line.size(), mark + kCommandSkip)));
                dormant.push_back({where, RunOnlyLine::Kind::TerminalCommand,
                                   "a command to the terminal, skipped without @quorvane-run 1"});
            } catch (const PatternError&) {
                // text that merely holds "2,1"
            }
        }
    }
    return dormant;
}

// A base-rules file's warnings, in line order, after those of the files read before it.
void AddWarnings(std::vector<FileWarning>& warnings, const std::string& path, std::string_view text,
                 const std::vector<RunOnlyLine>& skipped,
                 const std::optional<SourceLine>& unfinished, std::size_t nearMissSwitch) {
    std::vector<LenientLine> lines;
    if (nearMissSwitch != 0) {
        lines.push_back({nearMissSwitch,
                         "looks like the switch \"@quorvane-run 1\" but is none (it starts its "
                         "line, in lower case, after at most one byte-order mark): the file is "
                         "read by the base rules"});
    }
    std::vector<LenientLine> lenient = LenientLines(text);
    lines.insert(lines.end(), lenient.begin(), lenient.end());
    for (const RunOnlyLine& line : skipped)
        lines.push_back({line.where.line, line.what});
    if (unfinished) {
        lines.push_back({unfinished->line,
                         "the command of the last test has no line end after it and is not run"});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const LenientLine& a, const LenientLine& b) { return a.line < b.line; });
    for (LenientLine& line : lines)
        warnings.push_back({{path, line.line}, std::move(line.what)});
}

void ReadFile(Context& context, const std::string& path, std::string_view text,
              std::optional<SourceLine>* unfinished, std::vector<RunOnlyLine>* dormant) {
    const std::vector<std::string_view> lines = Lines(text);
    const std::size_t switchLine = SwitchLine(path, lines);
    if (switchLine == 0) {
        std::optional<SourceLine> last;
        BaseSink sink(context, path, &last);
        ReadReqText(text, sink);
        std::vector<RunOnlyLine> skipped = Dormant(path, lines);
        AddWarnings(context.warnings, path, text, skipped, last, NearMissSwitch(lines));
        if (unfinished != nullptr)
            *unfinished = std::move(last);
        if (dormant != nullptr)
            *dormant = std::move(skipped);
        return;
    }
    context.chain.push_back(std::filesystem::path(path).lexically_normal().string());
    ExtendedReader reader(context, path, switchLine);
    for (std::size_t k = 0; k < lines.size(); ++k)
        reader.Line(lines[k], k + 1);
    reader.End(text.empty() || text.ends_with('\n'));
    context.chain.pop_back();
}

// How `read`, the tests that a test's lines read back as, differ from `test`; nothing when they
// are the same test.
std::optional<std::string> Difference(const ReqTest& test, const std::vector<ReqTest>& read) {
    if (read.size() != 1)
        return "its lines read back as " + std::to_string(read.size()) + " tests";
    const ReqTest& back = read.front();
    if (back.Title() != test.Title())
        return "its name reads back as \"" + std::string(back.Title()) + "\"";
    const auto text = [](const auto& written) { return written ? written->text : std::string(); };
    if (back.destination != test.destination || back.command != test.command ||
        text(back.commandTemplate) != text(test.commandTemplate))
        return "its command reads back otherwise";
    if (back.extended != test.extended || back.expected != test.expected ||
        back.wildcard != test.wildcard || text(back.pattern) != text(test.pattern))
        return "its expected response reads back otherwise";
    if (back.timeLimitText != test.timeLimitText)
        return "its time limit reads back otherwise";
    if (back.atr != test.atr || back.getResponse != test.getResponse)
        return "its ATR test or its GET RESPONSE reads back otherwise";
    return std::nullopt;
}

} // namespace

std::string AtrLine(std::span<const std::uint8_t> atr) {
    return std::string(kAtrLineStart) + ToHex(atr) + "\n";
}

std::optional<Bytes> ReadAtrLine(std::string_view line) {
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    if (!line.starts_with(kAtrLineStart))
        return std::nullopt;
    try {
        Bytes atr = FromHex(line.substr(kAtrLineStart.size()));
        if (!atr.empty())
            return atr;
    } catch (const std::invalid_argument&) {
    }
    return std::nullopt;
}

ReadBack::ReadBack(std::string path, bool extended)
    : path_(std::move(path)), header_(extended ? std::string(kSwitchLine) + "\n" : ""),
      headerLines_(static_cast<std::size_t>(std::count(header_.begin(), header_.end(), '\n'))),
      line_(headerLines_) {}

std::optional<std::string> ReadBack::Next(const ReqTest& test, std::string_view lines) {
    const IncludeReader none = [](const std::string&) -> std::string {
        throw std::runtime_error("a record includes nothing");
    };
    TextMeasure measure(none);
    Script script;
    Context context{measure, script.tests, script.runOnly, script.warnings, captured_, {}};
    // The test is read after the header, as in the file; its lines are numbered as there.
    std::optional<std::string> fault;
    try {
        ReadFile(context, path_, header_ + std::string(lines), nullptr, nullptr);
        if (const auto differs = Difference(test, script.tests))
            fault = path_ + ":" + std::to_string(line_ + 1) + ": " + *differs;
    } catch (const ScriptError& error) {
        fault = path_ + ":" + std::to_string(error.Where().line - headerLines_ + line_) + ": " +
                std::string(error.what()).substr(error.Where().Text().size() + 2);
    }
    captured_ = std::move(context.captured);
    line_ += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
    return fault;
}

ScriptError::ScriptError(SourceLine where, const std::string& message)
    : std::runtime_error((where.line == 0 ? where.file : where.Text()) + ": " + message),
      where_(std::move(where)) {}

Script ParseScript(const std::string& path, std::string_view text, const IncludeReader& read,
                   std::size_t* runText) {
    std::size_t ownText = 0;
    std::size_t& before = runText != nullptr ? *runText : ownText;
    TextMeasure measure(read);
    const std::string top = std::filesystem::path(path).lexically_normal().string();
    const std::size_t total = measure.Total(top, text);
    if (before + total > kMaxRunText) {
        const auto where = measure.Crossing(top, text, kMaxRunText - before);
        throw ScriptError(where.value_or(SourceLine{path, 0}),
                          path + " and what it includes" +
                              (before > 0 ? ", after the files read before it," : "") +
                              " pass 64 MiB of REQ text (each include counted again)");
    }
    before += total;
    Script script;
    script.path = path;
    Context context{measure, script.tests, script.runOnly, script.warnings, {}, {}};
    ReadFile(context, path, text, &script.unfinished, &script.dormant);
    script.extended = !script.runOnly.empty();
    return script;
}

std::vector<RunOnlyLine> RunOnlyLines(const std::string& path, std::string_view text,
                                      const IncludeReader& read) {
    return ParseScript(path, text, read).runOnly;
}

std::string TestLines(const ReqTest& test) {
    std::string lines;
    // "# - " then the name: the reader takes the name from the line's fifth character.
    if (!test.Title().empty())
        lines.append(kDashedName).append(" ").append(test.Title()).append("\n");
    if (test.atr != AtrCheck::None) {
        lines += "@atr " +
                 (test.atr == AtrCheck::WellFormed ? std::string(kWellFormed) : test.pattern->text);
        return lines + "\n\n";
    }
    if (test.timeLimit)
        lines += "@time-limit " + test.timeLimitText + "\n";
    // For this test alone: the tests after it are as the command line says.
    if (test.getResponse)
        lines += std::string("@get-response ") + (*test.getResponse ? "on" : "off") + "\n";
    lines += test.destination == CT ? "2,1 " : "2,0 ";
    lines += test.commandTemplate ? test.commandTemplate->text : ToHex(test.command);
    lines += "\n";
    if (test.extended && test.pattern)
        lines += "> " + test.pattern->text + "\n";
    else if (!test.extended && !test.expected.empty())
        lines += "> " + ToHex(test.expected, kHexSpaced, test.wildcard) + "\n";
    lines += "\n"; // a blank line ends a test without an expected response too
    if (test.getResponse)
        lines += "@get-response default\n";
    return lines;
}

} // namespace qv
