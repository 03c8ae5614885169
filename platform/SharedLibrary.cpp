#include "platform/SharedLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace velmora::platform {

tl::expected<SharedLibrary, std::string> SharedLibrary::open(const std::string& soname) {
    void* handle = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        return tl::unexpected(soname + " could not be loaded: " + (why ? why : "unknown error") + ".");
    }
    return SharedLibrary(handle, soname);
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), soname_(std::move(other.soname_)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) ::dlclose(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        soname_ = std::move(other.soname_);
    }
    return *this;
}

SharedLibrary::~SharedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
}

void* SharedLibrary::lookup(const char* name) const {
    return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

}  // namespace velmora::platform
