#pragma once
#include <string>

namespace lumivane {

// The desktop workspace: opening URLs. Main thread only.
class Workspace {
public:
    virtual ~Workspace() = default;
    // Asks the system to open a URL; the outcome is not reported.
    virtual void openURL(const std::string& url) = 0;
};

}  // namespace lumivane
