#pragma once
#include <string>
#include <vector>

namespace lumivane {

// The desktop workspace: opening URLs, showing files in the file manager.
// Main thread only.
class Workspace {
public:
    virtual ~Workspace() = default;
    // Asks the system to open a URL; the outcome is not reported.
    virtual void openURL(const std::string& url) = 0;
    // Shows the file manager with these files selected; the outcome is not
    // reported.
    virtual void activateFileViewerSelecting(const std::vector<std::string>& paths) = 0;
};

}  // namespace lumivane
