#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/journal.h"
#include "platform/open_panel.h"
#include "platform/volumes.h"

namespace lumivane {

// Simulated volumes: each mounted at an existing folder of the machine,
// which stands for its mount point in the path questions. A path on no
// simulated volume is on the machine's own disk. Mount, unmount and rename
// notify the observers at once; an eject that succeeds unmounts (and so
// notifies through the unmount). Main thread only.
class SimVolumes final : public Volumes {
public:
    explicit SimVolumes(Journal& journal) : journal_(journal) {}

    // ---- the controls ----
    void mount(const std::string& path, const VolumeValues& values);
    bool unmount(const std::string& path);
    bool rename(const std::string& path, const std::string& name);
    bool failRead(const std::string& path);
    // The next eject of the volume fails with `error`; none: it succeeds.
    bool setEjectResult(const std::string& path, std::optional<std::string> error);

    // ---- Volumes ----
    std::vector<std::string> mountedVolumePaths() override;
    std::optional<VolumeValues> values(const std::string& mountPoint) override;
    Result<void> unmountAndEject(const std::string& path) override;
    std::optional<PathVolume> volumeOf(const std::string& path) override;
    std::optional<PathCapacity> capacityAt(const std::string& path) override;
    Observation addObserver(Change change, std::function<void()> observer) override;

private:
    struct Volume {
        std::string path;
        VolumeValues values;
        bool unreadable = false;
        std::optional<std::string> ejectError;
    };
    Volume* find(const std::string& mountPoint);
    // The mounted volume holding `path` (the longest mount point above it).
    Volume* holding(const std::string& path);
    void notify(Change change);

    Journal& journal_;
    std::vector<Volume> volumes_;  // in mount order
    std::multimap<Change, std::weak_ptr<std::function<void()>>> observers_;
};

// A file chooser that answers what it was told to for the next panel, and
// remembers how the last was shown. Untold, a panel is cancelled. Main
// thread only.
class SimOpenPanel final : public OpenPanel {
public:
    explicit SimOpenPanel(Journal& journal) : journal_(journal) {}
    void setAnswer(Outcome outcome) { answer_ = std::move(outcome); }
    const std::optional<Options>& last() const { return last_; }
    Outcome run(const Options& options) override;

private:
    Journal& journal_;
    Outcome answer_;
    std::optional<Options> last_;
};

}  // namespace lumivane
