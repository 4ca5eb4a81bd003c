#pragma once
#include <string>
#include <vector>

#include "bridges/import/import_request.h"
#include "channel/encodable_value.h"
#include "runtime/result.h"

namespace lumivane {

// Per device, the import that starts by itself when the device appears: a
// card by its volume's UUID, a camera by its serial number, a phone by its
// UDID, with the options of "import.start" and whether to eject the device
// once the job is done. Kept in "import-auto.json" in the data folder.
//
// Any thread: each call reads or replaces the whole file. Writes (each a
// read, a change and a rewrite) must not overlap: the owner makes them one at
// a time.
class ImportAutoRules {
public:
    static constexpr const char* kFile = "import-auto.json";
    static constexpr std::size_t kMaxRules = 256;

    struct Rule {
        std::string kind;        // "volume", "camera" or "iphone"
        std::string id;          // the volume's UUID, the camera's serial, the phone's UDID
        ImportRequest settings;  // its source and items are the device's at each start
        bool eject = false;

        // What a client is told of it: {"device", "settings", "eject"}.
        EncodableMap toMap() const;
        // The identity the device's import source has (ImportSource::identity()).
        std::string identity() const { return kind + ":" + id; }
    };

    explicit ImportAutoRules(std::string path) : path_(std::move(path)) {}

    // Every rule kept; a file that does not read (or is not ours) keeps none.
    std::vector<Rule> load() const;
    // Keeps `rule`, in place of the device's earlier one.
    Result<void> set(const Rule& rule) const;
    // Forgets the device's rule; Error::Code::notFound when it had none.
    Result<void> remove(const std::string& kind, const std::string& id) const;

private:
    Result<void> save(const std::vector<Rule>& rules) const;

    std::string path_;
};

}  // namespace lumivane
