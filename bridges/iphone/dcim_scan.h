#pragma once
#include <string>

#include "bridges/iphone/afc_connection.h"
#include "bridges/iphone/iphone_error.h"
#include "bridges/iphone/media_listing.h"
#include "channel/encodable_value.h"

namespace lumivane {

struct PhoneContext;
struct IPhone;

// Lists a phone's camera roll under "/DCIM": one folder level
// ("iphone.children") or every photo and video, newest-numbered first
// ("iphone.media"). File entries get their size and time from the phone's
// stat cache or, for files it has not seen, from file-info calls spread over
// up to 8 AFC connections on the transfers queue, with "iphoneScan" progress.
//
// Runs on the phone's queue, inside the control-connection runner; the
// phone's queue waits while the sizing workers run.
class DcimScan {
public:
    DcimScan(PhoneContext& context, IPhone& phone, AFCConnection& control)
        : context_(context), phone_(phone), control_(control) {}

    IPhoneResult<EncodableList> children(const std::string& path);
    IPhoneResult<MediaListing> media();

    // "/DCIM" for an empty path, else "/DCIM/" + path.
    static std::string phonePath(const std::string& path) { return path.empty() ? "/DCIM" : "/DCIM/" + path; }

    // Asks the phone again for the size and time of the file at `path`
    // (DCIM-relative) over `connection`, and keeps what it says in the stat
    // cache: a file rewritten under its name is sized right from then on.
    // Any thread that may use `connection`.
    static void lookAgain(PhoneContext& context, IPhone& phone, AFCConnection& connection, const std::string& path);

private:
    // Gives each file of `files` its size and time.
    void size(MediaListing& files);
    void progress(const std::string& stage, std::int64_t done = -1, std::int64_t total = -1);

    PhoneContext& context_;
    IPhone& phone_;
    AFCConnection& control_;
};

}  // namespace lumivane
