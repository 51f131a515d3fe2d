// Running a program with given standard input and its output captured.
#include "bed/bed.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace bed {
namespace {

// A file descriptor closed when it goes out of scope.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe MakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    return {Fd(fds[0]), Fd(fds[1])};
}

// Writing to a child that no longer reads must fail with EPIPE, not kill the test: SIGPIPE is
// blocked on this thread while the program runs, and one left pending is taken away after.
class SigpipeBlocked {
  public:
    SigpipeBlocked() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &old_);
    }
    ~SigpipeBlocked() {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeSet_, nullptr, &zero) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

  private:
    sigset_t pipeSet_{};
    sigset_t old_{};
};

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Feeds `input` and collects the output until the output ends or the deadline passes.
void Exchange(Fd& in, Fd& out, std::string_view input,
              std::chrono::steady_clock::time_point deadline, std::string& collected) {
    std::size_t written = 0;
    if (input.empty())
        in.Close();
    else
        fcntl(in.Get(), F_SETFL, fcntl(in.Get(), F_GETFL) | O_NONBLOCK);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd fds[2] = {{out.Get(), POLLIN, 0}, {in.Get(), POLLOUT, 0}};
        const int n = poll(fds, in.Get() >= 0 ? 2 : 1,
                           static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (in.Get() >= 0 && fds[1].revents != 0) {
            const ssize_t w = write(in.Get(), input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<std::size_t>(w);
            // All written (end of input follows) or the child stopped reading.
            if (written == input.size() || (w < 0 && errno != EAGAIN && errno != EINTR))
                in.Close();
        }
        if (fds[0].revents != 0) {
            const ssize_t r = read(out.Get(), buffer, sizeof buffer);
            if (r > 0)
                collected.append(buffer, static_cast<std::size_t>(r));
            else if (r == 0 || (errno != EINTR && errno != EAGAIN))
                return;
        }
    }
}

} // namespace

std::string BuildPath(std::string_view relative) {
    return std::string(QUORVANE_BUILD_DIR) + "/" + std::string(relative);
}

std::string SourcePath(std::string_view relative) {
    return std::string(QUORVANE_SOURCE_DIR) + "/" + std::string(relative);
}

std::string ProgramPath() {
    return BuildPath("bin/quorvane");
}

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options) {
    if (argv.empty())
        throw std::invalid_argument("Run: no program");
    const SigpipeBlocked sigpipe;
    Pipe input = MakePipe();
    Pipe output = MakePipe();

    // Prepared before fork: only async-signal-safe calls happen in the child.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string failure = "bed::Run: cannot start " + argv[0] + "\n";
    const char* workDir = options.workDir.empty() ? nullptr : options.workDir.c_str();

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        setpgid(0, 0); // its own group, so a timeout ends everything it started
        sigset_t pipeSet;
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        sigprocmask(SIG_UNBLOCK, &pipeSet, nullptr);
        dup2(input.read.Get(), 0);
        dup2(output.write.Get(), 1);
        dup2(output.write.Get(), 2);
        if (workDir == nullptr || chdir(workDir) == 0)
            execvp(args[0], args.data());
        if (write(1, failure.data(), failure.size()) < 0) {
        }
        _exit(127);
    }
    setpgid(pid, pid);
    input.read.Close();
    output.write.Close();

    std::thread side;
    if (options.whileRunning)
        side = std::thread(options.whileRunning);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    try {
        Exchange(input.write, output.read, options.input, deadline, result.out);
    } catch (...) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (side.joinable())
            side.join();
        throw;
    }
    // The output may end before the program does (or outlive it in a grandchild): the deadline
    // holds for the program's end too.
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    result.timedOut = ended != pid;
    kill(-pid, SIGKILL); // whatever it left running in its group
    if (result.timedOut) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    result.status = DecodeStatus(status);
    if (side.joinable())
        side.join();
    return result;
}

} // namespace bed
