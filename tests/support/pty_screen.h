// A program run in a pseudo-terminal of a chosen size and read back through a terminal emulator:
// the screen as a person sees it (characters and reverse video per cell), keys typed as the
// terminal would send them, and everything the program wrote.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>
#include <vterm.h>

namespace ptyscreen {

using namespace std::chrono_literals;

struct Options {
    int rows = 24;
    int cols = 80;
    std::string workDir;          // empty: the caller's working directory
    std::vector<std::string> env; // "NAME=value" sets, a bare "NAME" removes; TERM=xterm is preset
    bool stdinFromNull = false;   // standard input from /dev/null instead of the terminal
};

class Screen {
  public:
    Screen(const std::vector<std::string>& argv, const Options& options = {});
    ~Screen(); // ends the program if it still runs
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // Keys as the terminal sends them in the modes the program has set (cursor keys, Esc, Enter).
    void Key(VTermKey key);
    // Text as typed: a '\n' is the Return key.
    void Type(std::string_view text);

    // Reads the program's output until `ready` holds; false when `timeout` passes first.
    bool WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout = 10s);
    bool WaitForScreen(std::string_view text, std::chrono::milliseconds timeout = 10s);
    // `text` in the output written after byte `from` of Output().
    bool WaitForOutput(std::string_view text, std::size_t from = 0,
                       std::chrono::milliseconds timeout = 10s);
    // Exit status once the program ended (128 + signal when killed), nothing on timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout = 10s);

    // Sends `signal` to the program.
    void Signal(int signal) const;
    // The terminal as the program has set it: cursor shown, alternate screen in use, and the
    // line discipline echoing and editing lines as a shell expects.
    bool CursorVisible() const { return cursorVisible_; }
    bool AltScreen() const { return altScreen_; }
    bool EchoAndLineEditing() const;

    int Rows() const { return rows_; }
    int Cols() const { return cols_; }
    std::string Cell(int row, int col) const; // UTF-8; " " for an empty cell
    bool Reverse(int row, int col) const;
    std::string Row(int row) const; // every cell of the row
    std::string Text() const;       // all rows, each ended by '\n'
    // Everything written so far, the terminal's "\r\n" line ends given as "\n".
    const std::string& Output() const { return output_; }

  private:
    bool Pump(std::chrono::milliseconds wait);
    void Reap(bool block);
    static void FromTerminal(const char* bytes, std::size_t length, void* self);
    static int OnTermProp(VTermProp prop, VTermValue* value, void* self);

    int rows_;
    int cols_;
    int master_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
    bool eof_ = false;
    VTerm* vt_ = nullptr;
    VTermScreen* screen_ = nullptr;
    std::string output_;
    bool pendingCr_ = false;
    bool cursorVisible_ = true;
    bool altScreen_ = false;
};

// ---- the REQ file browser as a tester drives it ------------------------------------------------

// The title the browser writes over its top border for directory `dir`.
std::string BrowserTitle(const std::string& dir);
// What the browser lists in `dir` with the filter `filter`, in the directory's own order.
std::vector<std::string> BrowserListing(const std::filesystem::path& dir,
                                        const std::string& filter = ".req");
// Waits for the browser to show `dir`, moves the highlight from entry 1 down to `name` and
// selects it with Return. False when the browser did not show `dir` or `name` is not listed.
bool SelectInBrowser(Screen& screen, const std::filesystem::path& dir, const std::string& name,
                     const std::string& filter = ".req");

// A program run without any terminal: standard input from `input`, output captured.
struct PlainRun {
    std::string out;
    int status = -1;
};
PlainRun RunWithoutTerminal(const std::vector<std::string>& argv, std::string_view input,
                            const std::vector<std::string>& env = {});

} // namespace ptyscreen
