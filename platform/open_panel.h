#pragma once
#include <optional>
#include <string>

namespace lumivane {

// The system's modal file chooser. Main thread only; `run` blocks until the
// user closes the panel.
class OpenPanel {
public:
    struct Options {
        std::string title;
        std::string prompt;                    // the button's text
        std::optional<std::string> directory;  // where it opens
        bool canChooseFiles = true;
        bool canChooseDirectories = false;
        bool canCreateDirectories = false;
        bool allowsMultipleSelection = false;
    };
    struct Outcome {
        bool ok = false;                  // ended with the OK response
        std::optional<std::string> path;  // the chosen URL's path, if it gave one
    };

    virtual ~OpenPanel() = default;
    virtual Outcome run(const Options& options) = 0;
};

}  // namespace lumivane
