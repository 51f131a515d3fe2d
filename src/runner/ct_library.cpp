// The CT-API functions the runner calls.
#include "runner/ct_library.h"

#include "runner/setup_error.h"

#include <ctapi.h>
#include <dlfcn.h>

namespace qvrun {

struct CtLibrary::Handle {
    void* library = nullptr;
    ~Handle() {
        if (library != nullptr)
            dlclose(library);
    }
};

CtLibrary CtLibrary::Linked() {
    CtLibrary api;
    api.ours_ = true;
    api.init_ = &CT_init;
    api.data_ = &CT_data;
    api.close_ = &CT_close;
    return api;
}

CtLibrary CtLibrary::Load(const std::string& path) {
    CtLibrary api;
    api.handle_ = std::make_shared<Handle>();
    // RTLD_LOCAL: the library's CT_* must not be taken for the linked ones, nor the reverse.
    api.handle_->library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (api.handle_->library == nullptr) {
        const char* why = dlerror();
        throw SetupError("cannot load the CT-API library " + path + ": " +
                         (why != nullptr ? why : "unknown reason"));
    }
    const auto symbol = [&](const char* name) {
        dlerror();
        void* address = dlsym(api.handle_->library, name);
        if (address == nullptr)
            throw SetupError("the CT-API library " + path + " has no function " + name);
        return address;
    };
    api.init_ = reinterpret_cast<CtInitFunction>(symbol("CT_init"));
    api.data_ = reinterpret_cast<qv::CtDataFunction>(symbol("CT_data"));
    api.close_ = reinterpret_cast<CtCloseFunction>(symbol("CT_close"));
    // The linked library's file loaded again is the same object, with the same functions.
    api.ours_ = api.init_ == &CT_init;
    return api;
}

std::string CtLibraryName(const std::string& path) {
    return path.empty() ? "libctapi-pcsc" : path;
}

const char* CtResultName(std::int8_t result) {
    switch (result) {
    case OK:
        return "OK";
    case ERR_INVALID:
        return "ERR_INVALID";
    case ERR_CT:
        return "ERR_CT";
    case ERR_TRANS:
        return "ERR_TRANS";
    case ERR_MEMORY:
        return "ERR_MEMORY";
    case ERR_HOST:
        return "ERR_HOST";
    case ERR_HTSI:
        return "ERR_HTSI";
    default:
        return "unknown result";
    }
}

std::string CtResultText(std::int8_t result) {
    return std::string(CtResultName(result)) + " (" + std::to_string(result) + ")";
}

} // namespace qvrun
