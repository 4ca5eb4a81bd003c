// Ratings written into XMP sidecars, read back by exiftool as photo tools
// would read them.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/common/process_runner.h"
#include "platform/exiv2/exiv2_photo_metadata.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

// What exiftool reads of `tags` in the sidecar `packet`, one "Tag: value"
// line each.
std::string readBack(const std::string& packet, const std::vector<std::string>& tags) {
    TempFolder folder;
    auto path = folder.path() + "/IMG_0001.xmp";
    std::ofstream(path) << packet;
    std::vector<std::string> args{"-s", "-n"};
    for (const auto& tag : tags) args.push_back("-XMP:" + tag);
    args.push_back(path);
    auto out = ProcessRunner::run("/usr/bin/exiftool", args);
    return out.ok() ? out.value() : "exiftool failed";
}

const std::string kFromACamera = R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:xmp="http://ns.adobe.com/xap/1.0/">
   <dc:title><rdf:Alt><rdf:li xml:lang="x-default">Harbour at dawn</rdf:li></rdf:Alt></dc:title>
   <xmp:Rating>2</xmp:Rating>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
<?xpacket end="w"?>)";

TEST(XmpRating, IsWrittenAsPhotoToolsReadItAndKeepsWhatTheSidecarHeld) {
    Exiv2PhotoMetadata metadata;
    struct Case {
        const char* name;
        std::string packet;
        PhotoRating rating;
        std::string read;  // exiftool's Rating, Pick and Title lines
    };
    const Case cases[] = {
        {"three stars, new", "", {3, 0}, "Rating                          : 3\n"},
        {"picked, new", "", {0, 1}, "Pick                            : 1\n"},
        {"rejected, new", "", {4, -1}, "Rating                          : -1\nPick                            : -1\n"},
        {"stars over the camera's",
         kFromACamera,
         {5, 1},
         "Title                           : Harbour at dawn\nRating                          : 5\n"
         "Pick                            : 1\n"},
        {"a pick keeps the camera's stars",
         kFromACamera,
         {0, 1},
         "Title                           : Harbour at dawn\nRating                          : 2\n"
         "Pick                            : 1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto packet = metadata.rated(c.packet, c.rating);
        ASSERT_TRUE(packet);
        EXPECT_EQ(readBack(*packet, {"Title", "Rating", "Pick"}), c.read);
    }
    for (const char* notXmp : {"not xml at all", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF"})
        EXPECT_FALSE(metadata.rated(notXmp, {3, 0})) << notXmp;
}

}  // namespace
}  // namespace lumivane
