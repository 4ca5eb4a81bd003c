#pragma once
#include <filesystem>
#include <stdexcept>
#include <string>

namespace lumivane {

// Any thread.
// A fresh folder under /tmp, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/lumivane-test-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace lumivane
