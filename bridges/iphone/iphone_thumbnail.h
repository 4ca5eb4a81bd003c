#pragma once
#include <optional>
#include <string>

#include "bridges/iphone/afc_connection.h"
#include "bridges/iphone/iphone_error.h"
#include "channel/encodable_value.h"
#include "platform/imaging.h"

namespace lumivane {

// "iphone.thumbnail": a small JPEG of one camera-roll file. The phone's own
// rendering in its thumbnail store is read first ("5005.JPG", else its first
// JPEG): a few kilobytes against the megabytes of the photo. Without one, a
// still image up to 24 MiB is read and scaled; videos and larger files are
// never read. Only a failing read of the photo itself is an error; missing,
// oversized or undecodable pictures give nothing.
//
// Runs on the phone's queue, inside the control-connection runner.
class IPhoneThumbnail {
public:
    static constexpr std::size_t kPhoneThumbnailLimit = 4u << 20;
    static constexpr std::size_t kSourceLimit = 24u << 20;

    IPhoneThumbnail(const MobileDevice& api, AFCConnection& control, Imaging& imaging)
        : api_(api), control_(control), imaging_(imaging) {}

    // `path` is relative to "/DCIM/" ("100APPLE/IMG_0001.HEIC"); the longer
    // edge is at most `px`.
    IPhoneResult<std::optional<Bytes>> render(const std::string& path, int px);

    // Whether the fallback may read the file: its lower-cased extension is
    // one of the still-image formats.
    static bool isStillImage(const std::string& path);

private:
    const MobileDevice& api_;
    AFCConnection& control_;
    Imaging& imaging_;
};

}  // namespace lumivane
