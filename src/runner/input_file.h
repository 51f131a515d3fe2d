// The run's inputs that are read as files (a REQ file, a file it includes, the baseline), opened
// so that the opening itself never waits and nothing is read that never ends.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace qvrun {

struct InputCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

using InputFile = std::unique_ptr<std::FILE, InputCloser>;

// Opens `path` for reading: a regular file, a terminal, or a pipe that is the process's standard
// input (/dev/stdin). A named pipe (FIFO) waits for a writer without end, so any other pipe is
// refused; so are a directory and a device. Throws std::runtime_error saying why not.
InputFile OpenInput(const std::string& path);

} // namespace qvrun
