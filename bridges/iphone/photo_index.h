#pragma once
#include <string>

#include "bridges/iphone/afc_connection.h"
#include "bridges/iphone/iphone_error.h"
#include "channel/encodable_value.h"

namespace lumivane {

struct PhoneContext;
struct IPhone;

// "iphone.photosIndex": a local copy of the phone's photo library index (the
// SQLite database "/PhotoData/Photos.sqlite" with its write-ahead log and
// shared-memory files) in "<data folder>/iphone-files/<udid>-photos" (the
// udid made one plain file name by fileNameComponent), made only when the
// phone's files changed since the last copy, as told by a "stamp" file of
// their sizes and times.
//
// Each file is streamed in 1 MiB chunks to "<name>.partial" (written beside it
// and flushed before it takes that name); only when every file has arrived
// are the old local files removed, the partial files renamed, and the stamp
// written, so the local files and the stamp always change together and a
// failed copy leaves the earlier copy in place. "indexing" progress at most
// every 0.1 s.
//
// Runs on the phone's queue, inside the control-connection runner.
class PhotoIndex {
public:
    static constexpr const char* kFiles[] = {"Photos.sqlite", "Photos.sqlite-wal", "Photos.sqlite-shm"};

    PhotoIndex(PhoneContext& context, IPhone& phone, AFCConnection& control)
        : context_(context), phone_(phone), control_(control) {}

    // {"path", "copied"}, and "bytes" and "ms" when a copy was made.
    IPhoneResult<EncodableMap> copy();

    // The local folder of a phone's copy.
    static std::string folder(const std::string& dataFolder, const std::string& udid);

private:
    PhoneContext& context_;
    IPhone& phone_;
    AFCConnection& control_;
};

}  // namespace lumivane
