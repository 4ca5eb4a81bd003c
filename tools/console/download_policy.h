#pragma once
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "channel/encodable_value.h"
#include "runtime/mutex.h"
#include "tools/console/request_gate.h"

namespace lumivane {

// Where the console lets files go: downloads only under the destination
// folder the person chose, the file manager opened only on it, and never over
// a file that is there or that another import in flight will write.
//
// Any thread (one per request); `mutex_` guards `reserved_`.
class DownloadPolicy {
public:
    // A file name in a folder held for one import until it ends, so that two
    // imports of the same name at once do not both pick the same free name.
    class Reservation {
    public:
        explicit Reservation(DownloadPolicy& policy) : policy_(policy) {}
        ~Reservation();
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        // The path of `name` in `folder`, or of the next free name.
        std::string take(const std::filesystem::path& folder, const std::string& name);

    private:
        DownloadPolicy& policy_;
        std::string target_;
    };

    // Checks a host call against `destination` and readies it: the refusal,
    // or nothing once `arguments` are rewritten. A phone's "target" must be a
    // file under the folder and a camera's "dir" the folder or one under it
    // with one plain "name"; a download then takes a free name (held by
    // `reservation`), and the host is handed the folder as it was checked,
    // links resolved, with the destination as "within", so that a folder
    // swapped for a link after this check leads nowhere. "file.reveal" shows
    // only what lies in the folder. Other methods pass unchanged.
    std::optional<Refusal> ready(const std::string& method, EncodableValue& arguments,
                                 const std::optional<std::string>& destination, Reservation& reservation);

    // A folder's path with links resolved as far as they exist, normal,
    // without a trailing '/' (but "/" itself).
    static std::string canonicalFolder(const std::filesystem::path& path);

private:
    Mutex mutex_;
    std::set<std::string> reserved_;  // targets of imports in flight; guarded by mutex_
};

}  // namespace lumivane
