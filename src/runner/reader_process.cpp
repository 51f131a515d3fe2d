// A reader's process.
#include "runner/reader_process.h"

#include "runner/ct_library.h"
#include "runner/pcsc_service.h"
#include "runner/signals.h"
#include "runner/terminal.h"
#include "runner/wire.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

namespace qvrun {
namespace {

constexpr int kSetupFailed = 2;
constexpr int kRunGone = 3; // the run ended before the process was set up

// Waits for the run's word `wanted`, passing over the others; false at the pipe's end.
bool AwaitWord(int control, char wanted) {
    fcntl(control, F_SETFL, fcntl(control, F_GETFL) & ~O_NONBLOCK);
    for (;;) {
        char word = 0;
        const ssize_t n = read(control, &word, 1);
        if (n == 1 && word == wanted)
            return true;
        if (n == 0 || (n < 0 && errno != EINTR))
            return false;
    }
}

} // namespace

void RunReaderProcess(const ReaderStart& start, const std::vector<Scenario>& scenarios,
                      const RunSettings& settings, int report, int control, pid_t run) {
    // Ends with the run however it ends; a run that ended before this took hold is gone already.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != run)
        _exit(kRunGone);
    LeaveRunSignals();
    ReaderReport records(report);
    // Declared before the terminal: it outlives the terminal's CT_close.
    std::optional<CtLibrary> library;
    std::optional<CtTerminal> terminal;
    Bytes atr;
    try {
        // The reader's service, before the library's first PC/SC call.
        UseService(start.reader.service);
        library.emplace(start.library.empty() ? CtLibrary::Linked()
                                              : CtLibrary::Load(start.library));
        terminal.emplace(*library, start.reader, records);
        if (start.reset)
            atr = terminal->Reset(start.waitInUse);
    } catch (const std::exception& error) { // a SetupError among them
        records.Failed(error.what());
        terminal.reset();
        _exit(kSetupFailed);
    }
    records.Ready(atr);
    if (AwaitWord(control, kGo)) {
        fcntl(control, F_SETFL, fcntl(control, F_GETFL) | O_NONBLOCK);
        // kStop is the only word after kGo.
        const auto stopAsked = [control]() -> std::optional<std::string> {
            char word = 0;
            if (read(control, &word, 1) == 1 && word == kStop)
                return kStoppedAtFirstFailure;
            return std::nullopt;
        };
        RunReaderTests(*terminal, start.reader, atr, scenarios, settings, records, stopAsked);
        AwaitWord(control, kClose);
    }
    terminal.reset();
    // Not exit: the run's buffered outputs, copied into this process, are the run's to write.
    _exit(0);
}

} // namespace qvrun
