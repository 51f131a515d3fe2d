// The run's inputs, opened without waiting.
#include "runner/input_file.h"

#include "runner/output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qvrun {
namespace {

// The same file as the process's standard input.
bool IsStandardInput(const struct stat& st) {
    struct stat in {};
    return fstat(STDIN_FILENO, &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino;
}

// Why the file open at `fd` is not read, or nothing.
const char* Refusal(int fd, const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return "it is a directory";
    if (S_ISFIFO(st.st_mode) && !IsStandardInput(st))
        return "a pipe other than standard input (give it as standard input: /dev/stdin < PIPE)";
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) && isatty(fd) == 0)
        return "not a regular file, pipe or terminal"; // a device such as /dev/zero never ends
    return nullptr;
}

} // namespace

InputFile OpenInput(const std::string& path) {
    // Without O_NONBLOCK, opening a named pipe waits until someone opens it for writing.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(std::strerror(errno));
    struct stat st {};
    const char* refused = fstat(fd, &st) != 0 ? std::strerror(errno) : Refusal(fd, st);
    // Reads wait for data as usual: standard input's pipe is the caller's to end.
    if (refused == nullptr && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        refused = std::strerror(errno);
    std::FILE* file = refused == nullptr ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        const std::string why = refused != nullptr ? refused : std::strerror(errno);
        close(fd);
        throw std::runtime_error(why);
    }
    NoteInput(path, fd); // never to be written over by an output of the run
    return InputFile(file);
}

} // namespace qvrun
