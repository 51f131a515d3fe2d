// The files the run writes (JUnit, trace, record): whole or not at all, never over an input.
#pragma once

#include "runner/setup_error.h"

#include <cstdio>
#include <string>
#include <string_view>
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

// A part of an output written as the run goes and put into it at the end (a reader's JUnit
// test cases, whose counts head the report): an unnamed temporary file beside the output's
// target, or in the temporary directory for standard output and a target that is no regular
// file. It takes no name in any directory, so nothing is left behind however the run ends.
class SpoolFile {
  public:
    // Throws SetupError ("cannot write TARGET: why") when no such file can be made.
    explicit SpoolFile(const std::string& target);
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    void Append(std::string_view text);
    // Copies everything appended to `out`; throws SetupError naming `target` and the error when
    // an append or the copy failed (a full disk).
    void CopyTo(std::FILE* out, const std::string& target);

  private:
    std::FILE* stream_ = nullptr;
    int error_ = 0; // the first append's error (errno)
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

// Removes the temporary files of the outputs not yet put in place; async-signal-safe, for a
// signal that ends the process.
void RemovePendingOutputs();

// Removes what an earlier run left at `path` (a stale report), unless it is no regular file.
void RemoveStale(const std::string& path);

} // namespace qvrun
