#include "platform/common/shared_library.h"

#include <dlfcn.h>

namespace lumivane {

std::optional<SharedLibrary> SharedLibrary::open(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) return std::nullopt;
    return SharedLibrary(handle);
}

void* SharedLibrary::lookup(const char* name) const { return ::dlsym(handle_, name); }

}  // namespace lumivane
