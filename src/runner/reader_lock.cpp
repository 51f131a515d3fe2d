// The readers a run owns.
#include "runner/reader_lock.h"

#include "pcsc/readers.h"
#include "runner/setup_error.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

namespace qvrun {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLongestNamePart = 96;

// The service's socket, which distinguishes two services, as device and inode; empty where
// fstat fails.
std::string ServiceId(const std::string& service) {
    struct stat status {};
    if (stat(service.empty() ? qv::pcsc::ClientSocket().c_str() : service.c_str(), &status) != 0)
        return "";
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

// FNV-1a, 64 bits: names that the sanitized part makes alike stay apart.
std::uint64_t Hash(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3u;
    }
    return hash;
}

std::string LockDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code error;
    if (runtime != nullptr && runtime[0] == '/' && std::filesystem::is_directory(runtime, error))
        return runtime;
    return "/tmp";
}

// The lock file, opened; made where it is not there yet. Not made anew when it is: in a
// sticky /tmp the file may be another user's, and a lock is taken on a file opened for
// reading too.
int OpenLockFile(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// True when `path` is still the file `fd` has open: its last holder removes a lock file when it
// lets go, and a lock on the removed file excludes nobody.
bool StillThere(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace

std::string ReaderLockPath(const std::string& reader, const std::string& service) {
    std::string part;
    for (const char c : reader.substr(0, kLongestNamePart)) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        part += plain ? c : '_';
    }
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(Hash(ServiceId(service) + '\0' + reader)));
    return LockDirectory() + "/quorvane-run-" + part + "-" + hash + ".lock";
}

void WaitForReader(const std::function<bool()>& ready, std::chrono::seconds wait,
                   const std::string& inUse) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (bool said = false; !ready(); said = true) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw SetupError(inUse + (wait.count() > 0
                                          ? " (waited " + std::to_string(wait.count()) + " s)"
                                          : " (--wait-reader SECONDS waits for it)"));
        }
        if (!said) {
            std::fprintf(stderr, "quorvane-run: %s; waiting up to %lld s\n", inUse.c_str(),
                         static_cast<long long>(wait.count()));
        }
        std::this_thread::sleep_for(100ms);
    }
}

ReaderLocks::ReaderLocks(const std::vector<Reader>& readers, std::chrono::seconds wait) {
    try {
        Take(readers, wait);
    } catch (...) {
        Release(); // no destructor runs for an object whose constructor throws
        throw;
    }
}

ReaderLocks::~ReaderLocks() {
    Release();
}

// Each file removed while still locked: one that waits for it finds it gone and takes the one
// made next, so that lock files do not pile up, one a reader and service.
void ReaderLocks::Release() {
    for (const Held& lock : held_) {
        if (lock.locked)
            unlink(lock.path.c_str()); // not ours in a sticky /tmp: it stays, and is reused
        if (lock.fd >= 0)
            close(lock.fd);
    }
    held_.clear();
}

void ReaderLocks::Take(const std::vector<Reader>& readers, std::chrono::seconds wait) {
    std::vector<std::pair<std::string, const Reader*>> byPath;
    for (const Reader& reader : readers)
        byPath.emplace_back(ReaderLockPath(reader.name, reader.service), &reader);
    std::sort(byPath.begin(), byPath.end());
    for (std::size_t k = 1; k < byPath.size(); ++k) {
        if (byPath[k].first == byPath[k - 1].first)
            throw SetupError("reader '" + byPath[k].second->name + "' is given twice");
    }
    for (const auto& [path, reader] : byPath) {
        Held& lock = held_.emplace_back(Held{-1, path, false});
        const auto taken = [&lock, &reader] {
            for (;;) {
                if (lock.fd < 0 && (lock.fd = OpenLockFile(lock.path)) < 0) {
                    throw SetupError("cannot lock reader '" + reader->name + "': " + lock.path +
                                     ": " + std::strerror(errno));
                }
                if (flock(lock.fd, LOCK_EX | LOCK_NB) != 0)
                    return false;
                if (StillThere(lock.fd, lock.path)) {
                    lock.locked = true;
                    return true;
                }
                close(lock.fd); // removed by the run that held it: the file there now
                lock.fd = -1;
            }
        };
        WaitForReader(taken, wait,
                      "reader '" + reader->name + "' is in use by another quorvane-run");
    }
}

} // namespace qvrun
