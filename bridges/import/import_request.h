#pragma once
#include <optional>
#include <string>
#include <vector>

#include "bridges/import/item_copy.h"
#include "channel/arguments.h"
#include "runtime/result.h"

namespace lumivane {

// What "import.start" asks, read and checked before a job exists, and kept
// in the journal (as JSON) so that a resumed job does what was asked.
struct ImportRequest {
    std::string kind;                               // "iphone", "camera" or "volume"
    std::string id;                                 // the phone's UDID, the camera's key, the volume's mount point
    std::optional<std::vector<std::string>> items;  // none: every photo and video
    bool companions = true;                         // items named bring their twins and sidecars
    std::string destination;
    std::string subfolders;         // folder template
    std::string rename = "{name}";  // file-name template, without the extension
    bool onlyNew = true;
    bool verify = true;
    bool skipDuplicates = false;  // also skip what the destination already holds, by content
    std::string backup;           // a second destination, or ""
    bool deleteAfter = false;
    bool autoResume = false;      // go on by itself when the device returns
    bool log = false;             // a plain-text log of the job beside its copies
    std::string shoot;            // "{job}" in the templates
    std::int64_t clockShift = 0;  // minutes added to capture times for names and folders
    bool automatic = false;       // started by the device's automatic rule, not by a person ("auto")

    // Any thread. Refuses what is missing or of the wrong type, and a kind
    // that is none of the three; folders are checked by the bridge.
    // Without "destination", the `remembered` one is taken, and its backup
    // unless "backup" is given.
    static constexpr std::size_t kMaxShoot = 100;        // bytes of a shoot's name
    static constexpr int kMaxClockShift = 30 * 24 * 60;  // minutes either way
    // A shoot's name as a request takes it: 1 to kMaxShoot bytes, no control character.
    static bool validShoot(const std::string& name);

    static Result<ImportRequest> fromArguments(const Arguments& args, const EncodableMap& remembered = {});
    std::string toJson() const;
    // Where and how job `job`'s copies from device `device` go; refuses a
    // template that does not read.
    Result<CopyPlan> plan(const std::string& job, const std::string& device) const;
    static Result<ImportRequest> fromJson(const std::string& json);
};

}  // namespace lumivane
