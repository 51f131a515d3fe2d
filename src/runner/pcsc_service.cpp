// A PC/SC service asked from a process of its own.
#include "runner/pcsc_service.h"

#include "pcsc/readers.h"
#include "runner/setup_error.h"
#include "runner/signals.h"
#include "runner/wire.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvrun {
namespace {

// A service lists its readers in milliseconds; one that has not answered by then is hung (a
// pcscd whose reader driver blocks, or a socket nobody serves), and the run stops on it rather
// than waiting without end: pcsc-lite's client waits for pcscd's reply for as long as it takes.
constexpr auto kServicePatience = std::chrono::seconds(10);

// "the PC/SC service at /run/pcscd/service-1/pcscd.comm", or the default one.
std::string ServiceText(const std::string& service) {
    return service.empty() ? "the PC/SC service" : "the PC/SC service at " + service;
}

// The asking process: `ask`'s texts, or what it threw, as records on `out`.
[[noreturn]] void Answer(const std::string& service,
                         const std::function<std::vector<std::string>()>& ask, int out, pid_t run) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != run)
        _exit(1);
    LeaveRunSignals();
    RecordWriter writer(out);
    try {
        UseService(service);
        for (const std::string& text : ask()) {
            writer.Begin(Record::Answer);
            writer.PutText(text);
            writer.End();
        }
    } catch (const std::exception& error) {
        writer.Begin(Record::Failed);
        writer.PutText(error.what());
        writer.End();
    }
    // Not exit: the run's buffered outputs, copied into this process, are the run's to write.
    _exit(writer.Flush() ? 0 : 1);
}

} // namespace

void UseService(const std::string& service) {
    if (!service.empty())
        setenv(qv::pcsc::kClientSocketVariable, service.c_str(), 1);
}

std::vector<std::string> AskService(const std::string& service,
                                    const std::function<std::vector<std::string>()>& ask) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw SetupError("cannot ask " + ServiceText(service) + ": " + std::strerror(errno));
    std::fflush(nullptr);
    const pid_t run = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Answer(service, ask, fds[1], run);
    }
    const int error = errno;
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        throw SetupError("cannot ask " + ServiceText(service) + ": " + std::strerror(error));
    }
    std::vector<std::string> texts;
    std::optional<std::string> failed;
    RecordStream stream;
    const auto until = std::chrono::steady_clock::now() + kServicePatience;
    for (RecordStream::Read read = RecordStream::Read::Some; read != RecordStream::Read::End;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd wait{fds[0], POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&wait, 1, static_cast<int>(left.count())) : 0;
        if (ready == 0) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            close(fds[0]);
            throw SetupError(ServiceText(service) + " did not answer within " +
                             std::to_string(kServicePatience.count()) + " s");
        }
        if (ready < 0)
            continue; // a signal: the run's handlers have noted it
        read = stream.ReadFrom(fds[0]);
        while (const auto item = stream.Next()) {
            RecordFields fields(item->payload);
            std::string text(fields.GetText());
            if (item->type == Record::Failed)
                failed = std::move(text);
            else
                texts.push_back(std::move(text));
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (failed)
        throw SetupError(*failed);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw SetupError("the process that asked " + ServiceText(service) + " ended " +
                         (WIFSIGNALED(status)
                              ? "by " + SignalName(WTERMSIG(status))
                              : "with status " + std::to_string(WEXITSTATUS(status))));
    }
    return texts;
}

} // namespace qvrun
