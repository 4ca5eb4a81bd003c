#pragma once
#include <optional>
#include <string>
#include <vector>

namespace lumivane {

// A library opened by name at run time and kept open for the life of the
// process (as a system framework would be), with its entry points looked up
// by name. Any thread.
class SharedLibrary {
public:
    // Opens `path` with its symbols global; absent when it does not open.
    // The library stays loaded after this object is gone.
    static std::optional<SharedLibrary> open(const std::string& path);

    // Sets `slot` to the entry point called `name`, or to null (and notes the
    // name as missing) when the library has none.
    template <typename Function>
    void bind(Function*& slot, const char* name) {
        slot = reinterpret_cast<Function*>(lookup(name));
        if (!slot) missing_.push_back(name);
    }
    // The names bind() did not find, in the order asked.
    const std::vector<std::string>& missing() const { return missing_; }

private:
    explicit SharedLibrary(void* handle) : handle_(handle) {}
    void* lookup(const char* name) const;

    void* handle_;
    std::vector<std::string> missing_;
};

}  // namespace lumivane
