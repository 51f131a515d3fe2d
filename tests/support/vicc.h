// Debian's vicc (vsmartcard-vpicc), an ISO 7816 card emulator written elsewhere that speaks
// vpcd's protocol, as a child process: the card is in its reader while it runs. A fault shared by
// our simulated card and our reader side (both written from the same reading of the protocol)
// would not show against our card alone.
#pragma once

#include "temp_tree.h"

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace vicc {

inline const char* const kProgram = "/usr/bin/vicc";
// vicc looks for its modules in a folder of their own and for the crypto package under the
// name of its predecessor.
inline const char* const kModules = "/usr/lib/python3/site-packages/virtualsmartcard";
inline const char* const kCryptodome = "/usr/lib/python3/dist-packages/Cryptodome";

// Whether vicc and the crypto package it needs are installed.
inline bool Installed() {
    return std::filesystem::exists(kProgram) && std::filesystem::exists(kCryptodome);
}

// vicc's ISO 7816 card, connected to the reader listening on `port` of the loopback address.
class Card {
  public:
    explicit Card(int port) : aliases_(temptree::Make("vicc")) {
        std::filesystem::create_directory_symlink(kCryptodome, aliases_ / "Crypto");
        std::vector<std::string> env = {"PYTHONPATH=" + std::string(kModules) + ":" +
                                        aliases_.string()};
        for (char** e = environ; *e != nullptr; ++e) {
            if (!std::string(*e).starts_with("PYTHONPATH="))
                env.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = {kProgram,    "-t", "iso7816",           "-H",
                                         "127.0.0.1", "-P", std::to_string(port)};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, kProgram, nullptr, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
    }
    ~Card() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        temptree::Remove(aliases_);
    }
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    bool Started() const { return pid_ > 0; }

  private:
    std::filesystem::path aliases_;
    pid_t pid_ = -1;
};

} // namespace vicc
