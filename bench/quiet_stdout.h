// Standard output sent to /dev/null for a scope: the program's own lines (the REQ file's count
// line, the report) would otherwise drown the figures a benchmark prints.
#pragma once

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_;
};
