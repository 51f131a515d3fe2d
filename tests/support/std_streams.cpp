#include "std_streams.h"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace teststd {

namespace {

std::FILE* TempWith(std::string_view text) {
    std::FILE* f = std::tmpfile();
    if (f == nullptr) {
        throw std::runtime_error("tmpfile failed");
    }
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), f);
    }
    std::rewind(f);
    return f;
}

} // namespace

std::string CaptureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    std::FILE* sink = TempWith({});
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    try {
        body();
    } catch (...) {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::fclose(sink);
        throw;
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    std::rewind(sink);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, sink)) > 0;) {
        out.append(buf, n);
    }
    std::fclose(sink);
    return out;
}

void FeedStdin(std::string_view text) {
    std::fflush(stdin); // drops what stdin still buffers of an earlier feed
    std::FILE* source = TempWith(text);
    dup2(fileno(source), STDIN_FILENO);
    std::fclose(source);
    clearerr(stdin);
    std::fseek(stdin, 0, SEEK_SET);
}

} // namespace teststd
