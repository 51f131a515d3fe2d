// A program run by a benchmark as a user runs it, in a process of its own: what it ended with,
// its wall time and its own peak RSS (wait4).
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

struct Spawned {
    int status = -1; // the wait status
    double seconds = 0;
    double peakRssMb = 0;
};

// Runs `args` (args[0] a path) with standard output and error into the file `log`; throws
// std::runtime_error when it cannot be started or waited for.
inline Spawned SpawnAndWait(std::vector<std::string> args, const std::string& log) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
    Spawned run;
    rusage usage{};
    while (wait4(pid, &run.status, 0, &usage) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("wait4: " + std::string(std::strerror(errno)));
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakRssMb = usage.ru_maxrss / 1024.0;
    return run;
}
