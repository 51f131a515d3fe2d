// Running a program with given standard input and its output captured.
#include "bed_run.h"

#include "bed/fd.h"

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

// Starts the side action on a thread of its own once the output contains the trigger text (at
// once when there is none); joins it when the run is over.
class SideAction {
  public:
    explicit SideAction(const RunOptions& options)
        : action_(options.whileRunning), trigger_(options.whenOutputHas) {}
    ~SideAction() {
        if (thread_.joinable())
            thread_.join();
    }
    SideAction(const SideAction&) = delete;
    SideAction& operator=(const SideAction&) = delete;

    // Called with all the output so far, each time it grows, and once before any.
    void Look(std::string_view output) {
        if (!action_ || thread_.joinable())
            return;
        // Only the text not searched yet, and the end of the earlier text a trigger may span.
        const std::size_t from = searched_ >= trigger_.size() ? searched_ - trigger_.size() + 1 : 0;
        searched_ = output.size();
        if (trigger_.empty() || output.find(trigger_, from) != std::string_view::npos)
            thread_ = std::thread(action_);
    }

  private:
    const std::function<void()>& action_;
    const std::string& trigger_;
    std::size_t searched_ = 0;
    std::thread thread_;
};

// Feeds `input` and collects the output until the output ends or the deadline passes.
void Exchange(Fd& in, Fd& out, std::string_view input,
              std::chrono::steady_clock::time_point deadline, std::string& collected,
              SideAction& side) {
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
            if (r > 0) {
                collected.append(buffer, static_cast<std::size_t>(r));
                side.Look(collected);
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN))
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

    RunResult result;
    SideAction side(options);
    side.Look(result.out);
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    try {
        Exchange(input.write, output.read, options.input, deadline, result.out, side);
    } catch (...) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
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
    return result;
}

} // namespace bed
