#pragma once
// A benchmark run's own scratch folder under /tmp, removed with everything in
// it when the run ends. Made on the benchmark's main thread.
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace lumivane {

class ScratchFolder {
public:
    ScratchFolder() {
        char pattern[] = "/tmp/lumivane-bench-XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    // Empty when it could not be made.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace lumivane
