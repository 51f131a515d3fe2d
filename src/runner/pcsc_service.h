// A PC/SC service asked from a short-lived process of its own. pcsc-lite's client keeps the
// socket of a process's first PC/SC call for the process's life: the run's own process makes no
// PC/SC call, so that each of its readers' processes still reaches the service of its reader.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvrun {

// Points this process's PC/SC calls at `service`, a socket (empty: where PC/SC's client finds
// one by itself); before the process's first PC/SC call.
void UseService(const std::string& service);

// Runs `ask` in a new process whose PC/SC calls reach `service` and returns the texts it
// returned. What it throws is thrown here as a SetupError with its text; a process that ends
// otherwise is a SetupError too.
std::vector<std::string> AskService(const std::string& service,
                                    const std::function<std::vector<std::string>()>& ask);

} // namespace qvrun
