#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/journal.h"
#include "platform/environment.h"
#include "platform/workspace.h"
#include "runtime/mutex.h"

namespace lumivane {

// The real process environment, with the home folder and bundle identifier
// set by the simulated Mac's options. Application Support is
// home + "/Library/Application Support". Any thread.
class SimEnvironment final : public Environment {
public:
    SimEnvironment(std::string home, std::optional<std::string> bundleIdentifier);
    std::optional<std::string> variable(const std::string& name) const override;
    std::string homeDirectory() const override { return home_; }
    std::optional<std::string> bundleIdentifier() const override { return bundleIdentifier_; }
    std::optional<std::string> applicationSupportDirectory() const override;
    std::optional<std::string> picturesDirectory() const override { return home_ + "/Pictures"; }

    // For tests: a variable seen instead of (or, with nullopt, hiding) the real one.
    void overrideVariable(const std::string& name, std::optional<std::string> value);

private:
    std::string home_;
    std::optional<std::string> bundleIdentifier_;
    mutable Mutex mutex_;
    std::map<std::string, std::optional<std::string>> overrides_ LUMIVANE_GUARDED_BY(mutex_);
};

// Records the URLs it is asked to open. Main thread only.
class SimWorkspace final : public Workspace {
public:
    explicit SimWorkspace(Journal& journal) : journal_(journal) {}
    void openURL(const std::string& url) override;
    void activateFileViewerSelecting(const std::vector<std::string>& paths) override;
    const std::vector<std::string>& openedURLs() const { return opened_; }
    // The file URLs shown in the file manager, in order.
    const std::vector<std::string>& revealedURLs() const { return revealed_; }

private:
    Journal& journal_;
    std::vector<std::string> opened_;
    std::vector<std::string> revealed_;
};

}  // namespace lumivane
