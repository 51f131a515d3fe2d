// The files the run writes.
#include "runner/output.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qvrun {
namespace {

std::string Why(int error) {
    return error != 0 ? std::strerror(error) : "write error";
}

// What a path names as a file: its device and inode, or, where nothing exists there yet, the
// absolute path it would have.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string absolute;

    explicit FileIdentity(const std::string& path) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) {
            exists = true;
            device = st.st_dev;
            inode = st.st_ino;
        } else {
            std::error_code error;
            absolute = std::filesystem::weakly_canonical(path, error).string();
            if (error)
                absolute = std::filesystem::absolute(path).lexically_normal().string();
        }
    }

    bool operator==(const FileIdentity& other) const {
        if (exists != other.exists)
            return false;
        return exists ? device == other.device && inode == other.inode : absolute == other.absolute;
    }
};

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

bool IsRegularOrAbsent(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

} // namespace

void RemovePendingOutputs() {
    for (const std::atomic<const char*>& slot : gPending) {
        if (const char* path = slot.load())
            unlink(path); // async-signal-safe
    }
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    if (path_ == "-") {
        stream_ = stdout;
        return;
    }
    int fd = -1;
    if (IsRegularOrAbsent(path_)) {
        temporary_ = path_ + ".partial-XXXXXX";
        fd = mkstemp(temporary_.data());
        if (fd >= 0)
            fchmod(
                fd, 0666 & ~[] {
                    const mode_t mask = umask(0);
                    umask(mask);
                    return mask;
                }());
    } else {
        fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd < 0 || (stream_ = fdopen(fd, "w")) == nullptr) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        if (!temporary_.empty())
            unlink(temporary_.c_str());
        throw SetupError("cannot write " + path_ + ": " + Why(error));
    }
    if (!temporary_.empty())
        Track(temporary_);
}

OutputFile::~OutputFile() {
    if (committed_ || stream_ == nullptr || stream_ == stdout)
        return;
    std::fclose(stream_);
    if (!temporary_.empty()) {
        Untrack(temporary_);
        unlink(temporary_.c_str());
    }
}

void OutputFile::Commit() {
    committed_ = true;
    errno = 0;
    if (stream_ == stdout) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            throw SetupError("cannot write the report to standard output: " + Why(errno));
        return;
    }
    const bool failed = std::ferror(stream_) != 0;
    int error = failed ? EIO : 0;
    if (std::fflush(stream_) != 0 || (!temporary_.empty() && fsync(fileno(stream_)) != 0))
        error = errno;
    if (std::fclose(stream_) != 0 && error == 0)
        error = errno;
    if (error == 0 && !temporary_.empty() && std::rename(temporary_.c_str(), path_.c_str()) != 0)
        error = errno;
    if (!temporary_.empty())
        Untrack(temporary_);
    if (error != 0) {
        if (!temporary_.empty())
            unlink(temporary_.c_str());
        throw SetupError("cannot write " + path_ + ": " + Why(error));
    }
}

SpoolFile::SpoolFile(const std::string& target) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path beside = fs::absolute(target, error).parent_path();
    const fs::path dir =
        target == "-" || !IsRegularOrAbsent(target) ? fs::temp_directory_path(error) : beside;
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
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size() && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
}

void SpoolFile::CopyTo(std::FILE* out, const std::string& target) {
    errno = 0;
    if (std::fflush(stream_) != 0 && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
    if (error_ == 0) {
        std::rewind(stream_);
        char buffer[1 << 16];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, stream_)) > 0) {
            if (std::fwrite(buffer, 1, got, out) != got)
                break; // the output's own error, said when it is committed
        }
        if (std::ferror(stream_))
            error_ = errno != 0 ? errno : EIO;
    }
    if (error_ != 0)
        throw SetupError("cannot write " + target + ": " + Why(error_));
}

void CheckOutputPaths(const std::vector<std::string>& inputs,
                      const std::vector<OutputPath>& outputs) {
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const OutputPath& output = outputs[k];
        if (output.path == "-")
            continue;
        const FileIdentity file(output.path);
        for (const std::string& input : inputs) {
            if (file == FileIdentity(input)) {
                throw SetupError(std::string(output.option) + " " + output.path +
                                 " would overwrite the input " + input);
            }
        }
        for (std::size_t j = 0; j < k; ++j) {
            if (outputs[j].path != "-" && file == FileIdentity(outputs[j].path)) {
                throw SetupError(std::string(outputs[j].option) + " and " + output.option +
                                 " name the same file " + output.path);
            }
        }
    }
}

void RemoveStale(const std::string& path) {
    if (path != "-" && IsRegularOrAbsent(path))
        unlink(path.c_str());
}

} // namespace qvrun
