// The files the run writes (JUnit, trace, record): whole or not at all, never over an input.
#pragma once

#include "runner/setup_error.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qvrun {

// Where an output's bytes go, decided from its path before anything is written.
struct OutputTarget {
    enum class Kind {
        Stream,  // the process's standard output or error ("-", /dev/stdout, or the file either
                 // is redirected to): written through it as the run goes, between its lines
        InPlace, // a file that is no regular file (a device, a FIFO): written as the run goes
        Replace, // a regular file, or none yet: written beside it and renamed over it
    };
    Kind kind = Kind::Replace;
    int fd = -1;      // Stream: 1 or 2
    std::string file; // InPlace: the path; Replace: the file put in place, the target of the
                      // path where that is a symbolic link, so that the link stays a link
};

// What `path` leads to: "-" is standard output.
OutputTarget ResolveOutput(const std::string& path);

// Whether the output at `path` goes into the process's standard output.
bool IsStandardOutput(const std::string& path);

// An output file. A regular one is written to a temporary file beside its target
// ("TARGET.partial-XXXXXX") and renamed into place by Commit, so that the target is whole or
// absent; dropped uncommitted, the temporary file is removed. The others are written as the
// run goes (OutputTarget).
class OutputFile {
  public:
    // The temporary file is made at once: a target that cannot be written is a set-up error
    // ("cannot write PATH: why").
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& Path() const { return path_; }
    std::FILE* Stream() const { return stream_; }
    // Appends `text`; the first write error (a full disk) is kept for Commit to say.
    void Put(std::string_view text);
    // Hands what was written to the file now, so that a line shows as it happens; the first
    // write error, also one of an earlier write into Stream(), is kept for Commit to say.
    void Flush();
    // Flushes and closes the file and renames it into place; throws SetupError naming the
    // first write error when any write failed. Called once.
    void Commit();
    bool Committed() const { return committed_; }

  private:
    void NoteError();
    std::string Shown() const; // the path, or "standard output" for "-"

    std::string path_;
    std::string target_;    // the file the temporary one is renamed to
    std::string temporary_; // empty: written directly
    std::FILE* stream_ = nullptr;
    int error_ = 0; // the first write's error (errno)
    bool committed_ = false;
};

// A part of an output written as the run goes and put into it at the end (a reader's JUnit
// test cases, whose counts head the report): an unnamed temporary file beside the output's
// target, or in the temporary directory for a target that is no regular file. It takes no name
// in any directory, so no temporary file remains however the run ends.
class SpoolFile {
  public:
    // Throws SetupError ("cannot write TARGET: why") when no such file can be made.
    explicit SpoolFile(const std::string& target);
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    void Append(std::string_view text);
    // Puts everything appended into `out`; throws SetupError naming `out` and the error when an
    // append or the reading back failed (a full disk).
    void CopyTo(OutputFile& out);

  private:
    std::FILE* stream_ = nullptr;
    int error_ = 0; // the first append's error (errno)
};

// One output given on the command line: its option ("--junit") and path.
struct OutputPath {
    const char* option;
    std::string path;
};

// Notes a file the run reads (a REQ file, an included one, the baseline), opened as `fd`: no
// output may be written over it, even when it is named by another path.
void NoteInput(const std::string& path, int fd);

// Refuses (SetupError) an output that would be written over an input or another output,
// compared as files (the same device and inode where the file exists, the same absolute path
// where it does not, each through its symbolic links): one of `inputs`, a file the run has read
// (NoteInput), a file the process has mapped (its program, a library it has loaded), or an
// earlier output. Standard output is one file however it is named.
void CheckOutputPaths(const std::vector<std::string>& inputs,
                      const std::vector<OutputPath>& outputs);

// Removes the temporary files of the outputs not yet put in place; async-signal-safe, for a
// signal that ends the process.
void RemovePendingOutputs();

// Removes what an earlier run left at each of `outputs` (a stale report), through a symbolic
// link, where that is a regular file and none of the inputs CheckOutputPaths knows.
void RemoveStale(const std::vector<std::string>& inputs, const std::vector<OutputPath>& outputs);

} // namespace qvrun
