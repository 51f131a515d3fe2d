// The files the run writes (JUnit, trace, record): whole or not at all, never over an input.
#pragma once

#include "runner/setup_error.h"

#include <cstdio>
#include <string>
#include <vector>

namespace qvrun {

// An output written to a temporary file beside its target ("TARGET.partial-XXXXXX") and renamed
// into place by Commit, so that the target is whole or absent; dropped uncommitted, the
// temporary file is removed. A target that exists and is no regular file (a device, a pipe) is
// written directly; "-" is standard output.
class OutputFile {
  public:
    // The temporary file is made at once: a target that cannot be written is a set-up error
    // ("cannot write PATH: why").
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::FILE* Stream() const { return stream_; }
    const std::string& Path() const { return path_; }
    // Flushes and closes the file and renames it into place; throws SetupError naming the
    // write error (a full disk) when any write failed. Called once.
    void Commit();
    bool Committed() const { return committed_; }

  private:
    std::string path_;
    std::string temporary_; // empty: written directly
    std::FILE* stream_ = nullptr;
    bool committed_ = false;
};

// One output given on the command line: its option ("--junit") and path.
struct OutputPath {
    const char* option;
    std::string path;
};

// Refuses (SetupError) an output path that is one of `inputs` or another output, compared as
// files: the same device and inode where the file exists, the same absolute path where it does
// not. Standard output ("-") is no file.
void CheckOutputPaths(const std::vector<std::string>& inputs,
                      const std::vector<OutputPath>& outputs);

// Removes what an earlier run left at `path` (a stale report), unless it is no regular file.
void RemoveStale(const std::string& path);

} // namespace qvrun
