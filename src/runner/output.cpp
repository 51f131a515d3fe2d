// The files the run writes.
#include "runner/output.h"

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

bool IsRegularOrAbsent(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

} // namespace

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
}

OutputFile::~OutputFile() {
    if (committed_ || stream_ == nullptr || stream_ == stdout)
        return;
    std::fclose(stream_);
    if (!temporary_.empty())
        unlink(temporary_.c_str());
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
    if (error != 0) {
        if (!temporary_.empty())
            unlink(temporary_.c_str());
        throw SetupError("cannot write " + path_ + ": " + Why(error));
    }
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
