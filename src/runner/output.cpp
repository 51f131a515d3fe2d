// The files the run writes.
#include "runner/output.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace qvrun {
namespace {

namespace fs = std::filesystem;

std::string Why(int error) {
    return error != 0 ? std::strerror(error) : "write error";
}

// The kernel's limit on symbolic links followed in one path.
constexpr int kMaxLinks = 40;

// Where the symbolic links that `path` ends in lead (a link to a link too), so that a file
// renamed there replaces the target, not the link. The folders on the way need no resolving: a
// rename through a linked folder is a rename in its target.
std::string FinalTarget(std::string path) {
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st {};
        std::error_code error;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        const fs::path target = fs::read_symlink(path, error);
        if (error)
            return path;
        path = target.is_absolute() ? target.string()
                                    : (fs::path(path).parent_path() / target).string();
    }
    return path;
}

// Standard output (1) or error (2) where `st` is the file one of them is open for writing on,
// else -1. A stream the caller closed holds a read-only /dev/null (main.cpp): not that one.
int StandardStreamOf(const struct stat& st) {
    for (const int fd : {1, 2}) {
        struct stat open {};
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &open) == 0 &&
            open.st_dev == st.st_dev && open.st_ino == st.st_ino) {
            return fd;
        }
    }
    return -1;
}

// A file as the system knows it: its device and inode, or, where nothing exists there yet, the
// absolute path it would have.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string absolute;

    static FileIdentity Of(const struct stat& st) { return {true, st.st_dev, st.st_ino, {}}; }

    // What `path` names, through its links.
    static FileIdentity At(const std::string& path) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0)
            return Of(st);
        std::error_code error;
        const fs::path absolute = fs::absolute(FinalTarget(path), error);
        fs::path canonical = fs::weakly_canonical(absolute, error);
        if (error)
            canonical = absolute.lexically_normal();
        return {false, 0, 0, canonical.string()};
    }

    bool operator==(const FileIdentity& other) const {
        if (exists != other.exists)
            return false;
        return exists ? device == other.device && inode == other.inode : absolute == other.absolute;
    }
};

// What an output's bytes land in.
FileIdentity OutputIdentity(const std::string& path) {
    const OutputTarget target = ResolveOutput(path);
    struct stat st {};
    if (target.kind == OutputTarget::Kind::Stream && fstat(target.fd, &st) == 0)
        return FileIdentity::Of(st);
    return FileIdentity::At(target.file);
}

// A file the run reads, and how it was named.
struct KnownInput {
    FileIdentity file;
    std::string path;
};

// The files the run has read (NoteInput). Noted while the files are loaded, before any thread
// starts.
std::vector<KnownInput> gRead;

// The files the process has mapped: its program and the libraries it has loaded (a CT-API
// library among them, also one found through LD_LIBRARY_PATH), by the device and inode
// /proc/self/maps gives and by those of the path it names.
std::vector<KnownInput> MappedFiles() {
    std::vector<KnownInput> mapped;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        // ADDRESS PERMS OFFSET MAJOR:MINOR INODE PATH
        std::istringstream fields(line);
        std::string address, perms, offset, device, path;
        unsigned long inode = 0;
        fields >> address >> perms >> offset >> device >> inode >> std::ws;
        std::getline(fields, path);
        const std::size_t colon = device.find(':');
        if (inode == 0 || !path.starts_with('/') || colon == std::string::npos)
            continue;
        if (!mapped.empty() && mapped.back().path == path)
            continue; // the next part of the same file
        const unsigned major = std::stoul(device.substr(0, colon), nullptr, 16);
        const unsigned minor = std::stoul(device.substr(colon + 1), nullptr, 16);
        mapped.push_back({{true, makedev(major, minor), static_cast<ino_t>(inode), {}}, path});
        struct stat st {};
        if (stat(path.c_str(), &st) == 0)
            mapped.push_back({FileIdentity::Of(st), path});
    }
    return mapped;
}

// Why no output may be written at `file`: the input it is, in words, or nothing.
std::optional<std::string> InputAt(const FileIdentity& file,
                                   const std::vector<std::string>& inputs) {
    for (const std::string& input : inputs) {
        if (file == FileIdentity::At(input))
            return "the input " + input;
    }
    for (const KnownInput& read : gRead) {
        if (file == read.file)
            return "the input " + read.path;
    }
    for (const KnownInput& mapped : MappedFiles()) {
        if (file == mapped.file)
            return "a file the run has loaded (" + mapped.path + ")";
    }
    return std::nullopt;
}

// The temporary files of outputs not yet committed, for a signal that ends the run to remove, so
// that a killed run leaves nothing half-written beside its targets.
std::array<std::atomic<const char*>, 8> gPending{};

void Track(const std::string& temporary) {
    for (std::atomic<const char*>& slot : gPending) {
        const char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, temporary.c_str()))
            return;
    }
}

void Untrack(const std::string& temporary) {
    for (std::atomic<const char*>& slot : gPending) {
        const char* mine = temporary.c_str();
        if (slot.compare_exchange_strong(mine, nullptr))
            return;
    }
}

mode_t Umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// How long a FIFO may go without a reader before it is refused: the reader is often started
// beside quorvane-run (`cat fifo & quorvane-run --trace fifo ...`) and may open it a moment later.
constexpr auto kFifoReaderPatience = std::chrono::seconds(5);

// A device or FIFO opened for writing. A FIFO that no program reads is refused after
// kFifoReaderPatience rather than waited for without end (a blocking open would).
int OpenInPlace(const std::string& path) {
    const auto until = std::chrono::steady_clock::now() + kFifoReaderPatience;
    for (;;) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        // ENXIO: a FIFO with no reader yet. No event says when one opens it, so look again.
        if (errno != ENXIO || std::chrono::steady_clock::now() >= until)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

OutputTarget ResolveOutput(const std::string& path) {
    using Kind = OutputTarget::Kind;
    if (path == "-")
        return {Kind::Stream, 1, {}};
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (const int fd = StandardStreamOf(st); fd >= 0)
            return {Kind::Stream, fd, {}};
        if (!S_ISREG(st.st_mode))
            return {Kind::InPlace, -1, path};
    }
    return {Kind::Replace, -1, FinalTarget(path)};
}

bool IsStandardOutput(const std::string& path) {
    const OutputTarget target = ResolveOutput(path);
    return target.kind == OutputTarget::Kind::Stream && target.fd == 1;
}

void NoteInput(const std::string& path, int fd) {
    struct stat st {};
    if (fstat(fd, &st) == 0)
        gRead.push_back({FileIdentity::Of(st), path});
}

void RemovePendingOutputs() {
    for (const std::atomic<const char*>& slot : gPending) {
        if (const char* path = slot.load())
            unlink(path); // async-signal-safe
    }
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    const OutputTarget target = ResolveOutput(path_);
    int fd = -1;
    switch (target.kind) {
    case OutputTarget::Kind::Stream:
        // A stream of its own on the same open file: closing it leaves the process's one open.
        fd = fcntl(target.fd, F_DUPFD_CLOEXEC, 3);
        break;
    case OutputTarget::Kind::InPlace:
        fd = OpenInPlace(target.file);
        break;
    case OutputTarget::Kind::Replace:
        target_ = target.file;
        temporary_ = target.file + ".partial-XXXXXX";
        fd = mkostemp(temporary_.data(), O_CLOEXEC);
        if (fd >= 0)
            fchmod(fd, 0666 & ~Umask());
        break;
    }
    if (fd < 0 || (stream_ = fdopen(fd, "w")) == nullptr) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        if (!temporary_.empty())
            unlink(temporary_.c_str());
        const bool lonelyFifo = error == ENXIO && target.kind == OutputTarget::Kind::InPlace;
        throw SetupError(
            "cannot write " + Shown() + ": " +
            (lonelyFifo ? "no program reads the FIFO (waited 5 s for one)" : Why(error)));
    }
    if (!temporary_.empty())
        Track(temporary_);
}

OutputFile::~OutputFile() {
    if (committed_ || stream_ == nullptr)
        return;
    std::fclose(stream_);
    if (!temporary_.empty()) {
        Untrack(temporary_);
        unlink(temporary_.c_str());
    }
}

std::string OutputFile::Shown() const {
    return path_ == "-" ? "standard output" : path_;
}

void OutputFile::NoteError() {
    if (error_ == 0)
        error_ = errno != 0 ? errno : EIO;
}

void OutputFile::Put(std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size())
        NoteError();
}

void OutputFile::Flush() {
    errno = 0;
    if (std::fflush(stream_) != 0)
        NoteError();
}

void OutputFile::Commit() {
    committed_ = true;
    Flush();
    if (std::ferror(stream_))
        NoteError();
    errno = 0;
    if (error_ == 0 && !temporary_.empty() && fsync(fileno(stream_)) != 0)
        NoteError();
    errno = 0;
    if (std::fclose(stream_) != 0)
        NoteError();
    stream_ = nullptr;
    errno = 0;
    if (error_ == 0 && !temporary_.empty() && std::rename(temporary_.c_str(), target_.c_str()) != 0)
        NoteError();
    if (!temporary_.empty())
        Untrack(temporary_);
    if (error_ != 0) {
        if (!temporary_.empty())
            unlink(temporary_.c_str());
        throw SetupError("cannot write " + Shown() + ": " + Why(error_));
    }
}

SpoolFile::SpoolFile(const std::string& target) {
    std::error_code error;
    const OutputTarget resolved = ResolveOutput(target);
    const fs::path dir = resolved.kind == OutputTarget::Kind::Replace
                             ? fs::absolute(resolved.file, error).parent_path()
                             : fs::temp_directory_path(error);
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        // A file system without unnamed files: a named one, its name taken away at once.
        std::string name = (dir / ".quorvane-run-spool-XXXXXX").string();
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0)
            unlink(name.c_str());
    }
    if (fd < 0 || (stream_ = fdopen(fd, "w+")) == nullptr) {
        const int why = errno;
        if (fd >= 0)
            close(fd);
        throw SetupError("cannot write " + target + ": " + Why(why) + " (a temporary file in " +
                         dir.string() + ")");
    }
}

SpoolFile::~SpoolFile() {
    if (stream_ != nullptr)
        std::fclose(stream_);
}

void SpoolFile::Append(std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size() && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
}

void SpoolFile::CopyTo(OutputFile& out) {
    errno = 0;
    if (std::fflush(stream_) != 0 && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
    if (error_ == 0) {
        std::rewind(stream_);
        std::array<char, 1 << 16> buffer;
        std::size_t got = 0;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), stream_)) > 0)
            out.Put({buffer.data(), got}); // the output's own error is said when it is committed
        if (std::ferror(stream_))
            error_ = errno != 0 ? errno : EIO;
    }
    if (error_ != 0)
        throw SetupError("cannot write " + out.Path() + ": " + Why(error_));
}

void CheckOutputPaths(const std::vector<std::string>& inputs,
                      const std::vector<OutputPath>& outputs) {
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const OutputPath& output = outputs[k];
        const FileIdentity file = OutputIdentity(output.path);
        if (const std::optional<std::string> input = InputAt(file, inputs)) {
            throw SetupError(std::string(output.option) + " " + output.path + " would overwrite " +
                             *input);
        }
        for (std::size_t j = 0; j < k; ++j) {
            if (file == OutputIdentity(outputs[j].path)) {
                throw SetupError(std::string(outputs[j].option) + " and " + output.option +
                                 " name the same file " + output.path);
            }
        }
    }
}

void RemoveStale(const std::vector<std::string>& inputs, const std::vector<OutputPath>& outputs) {
    for (const OutputPath& output : outputs) {
        const OutputTarget target = ResolveOutput(output.path);
        struct stat st {};
        if (target.kind != OutputTarget::Kind::Replace || stat(target.file.c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode) || InputAt(FileIdentity::Of(st), inputs)) {
            continue;
        }
        unlink(target.file.c_str());
    }
}

} // namespace qvrun
