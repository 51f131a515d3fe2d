// The CT-API functions the runner calls: the linked libctapi-pcsc, or a library loaded at run
// time with dlopen, as CT-API clients load a vendor's library. Only a reader's process loads and
// calls them (reader_process.h).
#pragma once

#include "core/exchange.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qvrun {

using CtInitFunction = std::int8_t (*)(std::uint16_t ctn, std::uint16_t pn);
using CtCloseFunction = std::int8_t (*)(std::uint16_t ctn);

class CtLibrary {
  public:
    // The library the program is linked against.
    static CtLibrary Linked();
    // Loads `path`; throws SetupError when it cannot be loaded or lacks one of the three
    // functions.
    static CtLibrary Load(const std::string& path);

    // Whether this is our libctapi-pcsc (the linked one, also when loaded by path): only it is
    // known to take CT_init's port number 1 for a terminal of exclusive use. Another vendor's
    // library may take 1 for a second serial port.
    bool Ours() const { return ours_; }
    CtInitFunction Init() const { return init_; }
    qv::CtDataFunction Data() const { return data_; }
    CtCloseFunction Close() const { return close_; }

  private:
    struct Handle;
    std::shared_ptr<Handle> handle_; // keeps a loaded library loaded while its functions are used
    bool ours_ = false;
    CtInitFunction init_ = nullptr;
    qv::CtDataFunction data_ = nullptr;
    CtCloseFunction close_ = nullptr;
};

// How the run names the library of --ctapi `path` (empty: the linked one) in what it says.
std::string CtLibraryName(const std::string& path);

// The CT-API result codes by name ("ERR_TRANS"), or "unknown result".
const char* CtResultName(std::int8_t result);
// The name and the number: "ERR_TRANS (-10)".
std::string CtResultText(std::int8_t result);

} // namespace qvrun
