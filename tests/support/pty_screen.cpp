#include "pty_screen.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace ptyscreen {

namespace {

using Clock = std::chrono::steady_clock;

// In the child after fork: environment, directory, then the program; never returns.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const std::string& workDir,
                            const std::vector<std::string>& env) {
    // A program that a test ends with SIGQUIT leaves no core file behind.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    setenv("TERM", "xterm", 1);
    for (const std::string& setting : env) {
        const auto eq = setting.find('=');
        if (eq == std::string::npos) {
            unsetenv(setting.c_str());
        } else {
            setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
        }
    }
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
        _exit(126);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// An anonymous file holding `bytes`, read from its start.
int InputFile(std::string_view bytes) {
    const int fd = memfd_create("input", MFD_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error(std::string("memfd_create: ") + std::strerror(errno));
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            close(fd);
            throw std::runtime_error("cannot write the input file");
        }
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

int StatusOf(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

void AppendUtf8(std::string& out, std::uint32_t ch) {
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

} // namespace

Screen::Screen(const std::vector<std::string>& argv, const Options& options)
    : rows_(options.rows), cols_(options.cols) {
    if (argv.empty()) {
        throw std::invalid_argument("no program to run");
    }
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows_);
    size.ws_col = static_cast<unsigned short>(cols_);
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0) {
        throw std::runtime_error(std::string("forkpty: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        if (options.stdinFromNull) {
            const int null = open("/dev/null", O_RDONLY);
            if (null < 0 || dup2(null, STDIN_FILENO) < 0) {
                _exit(126);
            }
            close(null);
        }
        ExecChild(argv, options.workDir, options.env);
    }
    vt_ = vterm_new(rows_, cols_);
    vterm_set_utf8(vt_, 1);
    vterm_output_set_callback(vt_, &Screen::FromTerminal, this);
    screen_ = vterm_obtain_screen(vt_);
    static const VTermScreenCallbacks callbacks = [] {
        VTermScreenCallbacks only{};
        only.settermprop = &Screen::OnTermProp;
        return only;
    }();
    vterm_screen_set_callbacks(screen_, &callbacks, this);
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_reset(screen_, 1);
}

Screen::~Screen() {
    if (!status_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        Reap(true);
    }
    if (master_ >= 0) {
        close(master_);
    }
    if (vt_ != nullptr) {
        vterm_free(vt_);
    }
}

void Screen::FromTerminal(const char* bytes, std::size_t length, void* self) {
    const int fd = static_cast<Screen*>(self)->master_;
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return; // the program is gone
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
}

int Screen::OnTermProp(VTermProp prop, VTermValue* value, void* self) {
    auto* screen = static_cast<Screen*>(self);
    if (prop == VTERM_PROP_CURSORVISIBLE) {
        screen->cursorVisible_ = value->boolean != 0;
    } else if (prop == VTERM_PROP_ALTSCREEN) {
        screen->altScreen_ = value->boolean != 0;
    }
    return 1;
}

void Screen::Signal(int signal) const {
    if (!status_ && pid_ > 0) {
        kill(pid_, signal);
    }
}

bool Screen::EchoAndLineEditing() const {
    termios modes{};
    return tcgetattr(master_, &modes) == 0 && (modes.c_lflag & ECHO) != 0 &&
           (modes.c_lflag & ICANON) != 0;
}

void Screen::Key(VTermKey key) {
    vterm_keyboard_key(vt_, key, VTERM_MOD_NONE);
}

void Screen::Type(std::string_view text) {
    for (const char ch : text) {
        if (ch == '\n') {
            Key(VTERM_KEY_ENTER);
        } else {
            vterm_keyboard_unichar(vt_, static_cast<unsigned char>(ch), VTERM_MOD_NONE);
        }
    }
}

void Screen::Reap(bool block) {
    if (status_ || pid_ <= 0) {
        return;
    }
    int raw = 0;
    const pid_t done = waitpid(pid_, &raw, block ? 0 : WNOHANG);
    if (done == pid_) {
        status_ = StatusOf(raw);
    }
}

bool Screen::Pump(std::chrono::milliseconds wait) {
    if (eof_) {
        Reap(false);
        if (!status_) {
            std::this_thread::sleep_for(wait);
        }
        return false;
    }
    pollfd fd{master_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(wait.count())) <= 0) {
        Reap(false);
        return false;
    }
    char buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) {
            return false;
        }
        eof_ = true; // EIO: every holder of the terminal has closed it
        Reap(false);
        return false;
    }
    vterm_input_write(vt_, buf, static_cast<std::size_t>(n));
    for (ssize_t i = 0; i < n; ++i) {
        const char ch = buf[i];
        if (pendingCr_ && ch != '\n') {
            output_ += '\r';
        }
        pendingCr_ = ch == '\r';
        if (!pendingCr_) {
            output_ += ch;
        }
    }
    return true;
}

bool Screen::WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!ready()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        Pump(20ms);
    }
    return true;
}

bool Screen::WaitForScreen(std::string_view text, std::chrono::milliseconds timeout) {
    return WaitFor([&] { return Text().find(text) != std::string::npos; }, timeout);
}

bool Screen::WaitForOutput(std::string_view text, std::size_t from,
                           std::chrono::milliseconds timeout) {
    return WaitFor(
        [&] { return output_.size() > from && output_.find(text, from) != std::string::npos; },
        timeout);
}

std::optional<int> Screen::Wait(std::chrono::milliseconds timeout) {
    WaitFor([&] { return status_.has_value() && eof_; }, timeout);
    if (status_ && !eof_) {
        while (Pump(20ms)) {
        }
    }
    return status_;
}

std::string Screen::Cell(int row, int col) const {
    VTermScreenCell cell{};
    if (vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell) == 0 || cell.chars[0] == 0) {
        return " ";
    }
    std::string out;
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i] != 0; ++i) {
        AppendUtf8(out, cell.chars[i]);
    }
    return out;
}

bool Screen::Reverse(int row, int col) const {
    VTermScreenCell cell{};
    return vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell) != 0 && cell.attrs.reverse;
}

std::string Screen::Row(int row) const {
    std::string out;
    for (int col = 0; col < cols_; ++col) {
        out += Cell(row, col);
    }
    return out;
}

std::string Screen::Text() const {
    std::string out;
    for (int row = 0; row < rows_; ++row) {
        out += Row(row);
        out += '\n';
    }
    return out;
}

std::string BrowserTitle(const std::string& dir) {
    if (dir == "/") {
        return " /  ";
    }
    return dir.size() <= 40 ? " " + dir + "/  " : " ... " + dir.substr(dir.size() - 35) + "/  ";
}

std::vector<std::string> BrowserListing(const std::filesystem::path& dir,
                                        const std::string& filter) {
    std::vector<std::string> names;
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) {
        return {".."};
    }
    while (const dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        std::error_code ignored;
        if (name != "." && (name.find(filter) != std::string::npos || name == ".." ||
                            std::filesystem::is_directory(dir / name, ignored))) {
            names.push_back(name);
        }
    }
    closedir(stream);
    return names;
}

bool SelectInBrowser(Screen& screen, const std::filesystem::path& dir, const std::string& name,
                     const std::string& filter) {
    if (!screen.WaitForScreen(BrowserTitle(dir.string()))) {
        return false;
    }
    const std::vector<std::string> names = BrowserListing(dir, filter);
    std::size_t at = 0;
    while (at < names.size() && names[at] != name) {
        ++at;
    }
    if (at == names.size()) {
        return false;
    }
    for (std::size_t i = 0; i < at; ++i) {
        screen.Key(VTERM_KEY_DOWN);
    }
    screen.Key(VTERM_KEY_ENTER);
    return true;
}

PlainRun RunWithoutTerminal(const std::vector<std::string>& argv, std::string_view input,
                            const std::vector<std::string>& env) {
    // The input is in a file before the program starts, so a program that ends without reading
    // it cannot break a pipe under the test, and any size fits.
    const int inputFile = InputFile(input);
    int fromChild[2];
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(inputFile);
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(inputFile);
        close(fromChild[0]);
        close(fromChild[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        setsid(); // no controlling terminal either
        dup2(inputFile, STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        dup2(fromChild[1], STDERR_FILENO);
        ExecChild(argv, {}, env);
    }
    close(inputFile);
    close(fromChild[1]);
    PlainRun run;
    char buf[4096];
    for (ssize_t n; (n = read(fromChild[0], buf, sizeof buf)) != 0;) {
        if (n > 0) {
            run.out.append(buf, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(fromChild[0]);
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    run.status = StatusOf(raw);
    return run;
}

} // namespace ptyscreen
