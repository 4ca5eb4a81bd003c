// The photo library channel through the host, over a folder library of real
// pictures and videos on the simulated Mac.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/host_harness.h"
#include "tools/sample_images/sample_videos.h"

using namespace lumivane;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr char kChannel[] = "lumivane/library";

struct Library : ::testing::Test {
    HostHarness h;
    std::string folder = h.home / "Library";

    void SetUp() override { fs::create_directories(folder); }

    // Writes the listing and points the simulated library at it.
    void load(const Json& assets) {
        std::ofstream(folder + "/library.json") << Json{{"assets", assets}}.dump();
        auto answer = h.call("sim/control", "library.load", EncodableMap{{"folder", folder}});
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(answer));
    }
    void file(const std::string& name, std::size_t size) {
        std::ofstream(folder + "/" + name) << std::string(size, 'x');
    }
    void picture(const std::string& name, int width = 400, int height = 300) {
        ASSERT_TRUE(samples::write(folder + "/" + name, {.width = width, .height = height}));
    }
    EncodableValue value(const std::string& method, EncodableMap args = {}) {
        return h.value(kChannel, method, EncodableValue(std::move(args)));
    }
    static EncodableList ids(std::initializer_list<const char*> names) {
        EncodableList list;
        for (const char* name : names) list.emplace_back(name);
        return list;
    }
};

enum class Colour { red, green, blue, other };
Colour colourOf(samples::Rgb c) {
    if (samples::isRed(c)) return Colour::red;
    if (samples::isGreen(c)) return Colour::green;
    if (c.b > 170 && c.r < 90 && c.g < 90) return Colour::blue;
    return Colour::other;
}

}  // namespace

TEST_F(Library, FileSizeSumsTheStoredSizesOfFoundAssets) {
    file("on_disk.jpg", 5000);
    load(Json::array({
        {{"id", "listed"},
         {"resources", {{{"type", "photo"}, {"size", 100}}, {{"type", "adjustmentData"}, {"size", 23}}}}},
        {{"id", "from disk, one not an integer"},
         {"resources", {{{"type", "photo"}, {"file", "on_disk.jpg"}}, {{"type", "video"}, {"size", 12.5}}}}},
        {{"id", "zero"}, {"resources", {{{"type", "photo"}, {"size", 0}}}}},
        {{"id", "negative sum"}, {"resources", {{{"type", "photo"}, {"size", -5}}, {{"type", "audio"}, {"size", 3}}}}},
        {{"id", "missing file"}, {"resources", {{{"type", "photo"}, {"file", "gone.jpg"}}}}},
        {{"id", "outside the folder"}, {"resources", {{{"type", "photo"}, {"file", "../Library/on_disk.jpg"}}}}},
        {{"id", "text size"}, {"resources", {{{"type", "photo"}, {"size", "100"}}}}},
        {{"id", "huge"},
         {"resources", {{{"type", "photo"}, {"size", INT64_MAX}}, {{"type", "alternatePhoto"}, {"size", 10}}}}},
    }));
    EXPECT_EQ(value("fileSize", {{"ids", ids({"listed", "from disk, one not an integer", "zero", "negative sum",
                                              "missing file", "outside the folder", "text size", "huge", "unknown"})}}),
              EncodableValue(EncodableMap{
                  {"listed", 123}, {"from disk, one not an integer", 5000}, {"huge", std::int64_t(INT64_MAX)}}));
    for (auto args : {EncodableMap{}, EncodableMap{{"ids", EncodableList{}}}, EncodableMap{{"ids", "listed"}}})
        EXPECT_EQ(value("fileSize", args), EncodableValue(EncodableMap{}));
}

TEST_F(Library, TraitsMarkOnlyAssetsWithAnAlternatePhoto) {
    load(Json::array({
        {{"id", "raw+jpeg"},
         {"resources", {{{"type", "photo"}, {"size", 1}}, {{"type", "alternatePhoto"}, {"size", 2}}}}},
        {{"id", "jpeg"}, {"resources", {{{"type", "photo"}, {"size", 1}}}}},
        {{"id", "heic edited"},
         {"resources", {{{"type", "photo"}, {"size", 1}}, {{"type", "fullSizePhoto"}, {"size", 1}}}}},
    }));
    EXPECT_EQ(value("traits", {{"ids", ids({"raw+jpeg", "jpeg", "heic edited", "unknown"})}}),
              EncodableValue(EncodableMap{{"raw+jpeg", "raw+jpeg"}}));
}

TEST_F(Library, FaceQualityIsTheBestFaceOrMinusOne) {
    picture("face.jpg");
    // A link out of the library's folder is not the library's file.
    ASSERT_TRUE(samples::write(h.home / "elsewhere.jpg", {.width = 400, .height = 300}));
    fs::create_symlink(h.home / "elsewhere.jpg", folder + "/out.jpg");
    fs::create_symlink("face.jpg", folder + "/in.jpg");
    load(Json::array({
        {{"id", "two faces"}, {"resources", {{{"type", "photo"}, {"file", "face.jpg"}}}}, {"faces", {0.3, 0.7}}},
        {{"id", "best first"}, {"resources", {{{"type", "photo"}, {"file", "face.jpg"}}}}, {"faces", {0.8, 0.2, 0.5}}},
        {{"id", "linked out"}, {"resources", {{{"type", "photo"}, {"file", "out.jpg"}}}}, {"faces", {0.9}}},
        {{"id", "linked in"}, {"resources", {{{"type", "photo"}, {"file", "in.jpg"}}}}, {"faces", {0.6}}},
        {{"id", "no face"}, {"resources", {{{"type", "photo"}, {"file", "face.jpg"}}}}},
        {{"id", "face without quality"},
         {"resources", {{{"type", "photo"}, {"file", "face.jpg"}}}},
         {"faces", {nullptr}}},
        {{"id", "full size only"},
         {"resources", {{{"type", "fullSizePhoto"}, {"file", "face.jpg"}}}},
         {"faces", {0.4}}},
        {{"id", "failing"},
         {"resources", {{{"type", "photo"}, {"file", "face.jpg"}}}},
         {"faces", "The face detector is unavailable."}},
        {{"id", "image missing"}, {"resources", {{{"type", "photo"}, {"file", "gone.jpg"}}}}, {"faces", {0.9}}},
        {{"id", "no image"}, {"resources", {{{"type", "video"}, {"file", "face.jpg"}}}}, {"faces", {0.9}}},
    }));
    EXPECT_EQ(
        value("faceQuality",
              {{"ids", ids({"two faces", "best first", "linked out", "linked in", "no face", "face without quality",
                            "full size only", "failing", "image missing", "no image", "unknown"})},
               {"px", 64}}),
        EncodableValue(EncodableMap{{"two faces", 0.7},
                                    {"best first", 0.8},
                                    {"linked in", 0.6},
                                    {"no face", -1.0},
                                    {"face without quality", -1.0},
                                    {"full size only", 0.4},
                                    {"failing", -1.0}}));
    EXPECT_TRUE(h.log.contains("Lumivane faceQuality: The face detector is unavailable."));
}

TEST_F(Library, VideoFramesAreTheInstantsAskedForInOrder) {
    ASSERT_TRUE(colourVideo(folder + "/clip.mp4", {"red", "lime", "blue"}, 1));
    ASSERT_TRUE(colourVideo(folder + "/short.mp4", {"red"}, 1));
    picture("photo.jpg");
    load(Json::array({
        {{"id", "clip"},
         {"mediaType", "video"},
         {"duration", 3.0},
         {"resources", {{{"type", "video"}, {"file", "clip.mp4"}}}}},
        // Listed longer than it is: its last instant cannot be made.
        {{"id", "short"},
         {"mediaType", "video"},
         {"duration", 3.0},
         {"resources", {{{"type", "video"}, {"file", "short.mp4"}}}}},
        {{"id", "photo"}, {"mediaType", "image"}, {"resources", {{{"type", "photo"}, {"file", "photo.jpg"}}}}},
        {{"id", "no duration"}, {"mediaType", "video"}, {"resources", {{{"type", "video"}, {"file", "clip.mp4"}}}}},
        {{"id", "not stored"},
         {"mediaType", "video"},
         {"duration", 3.0},
         {"resources", {{{"type", "video"}, {"file", "gone.mp4"}}}}},
    }));

    auto frames = value("videoFrames", {{"id", "clip"}, {"at", EncodableList{0.0, 0.5, 1.0}}});
    ASSERT_EQ(frames.get<EncodableList>()->size(), 3u);
    std::vector<Colour> seen;
    for (const auto& frame : *frames.get<EncodableList>()) {
        auto look = samples::look(*frame.get<Bytes>());
        EXPECT_EQ(look.width, 160);  // the default px, the shape kept
        EXPECT_EQ(look.height, 120);
        seen.push_back(colourOf(look.topLeft));
    }
    EXPECT_EQ(seen, (std::vector<Colour>{Colour::red, Colour::green, Colour::blue}));

    auto sized = value("videoFrames", {{"id", "clip"}, {"px", 80}});
    ASSERT_EQ(sized.get<EncodableList>()->size(), 3u);  // 0.2, 0.5 and 0.8 unless told
    EXPECT_EQ(samples::look(*(*sized.get<EncodableList>())[0].get<Bytes>()).width, 80);

    const EncodableValue empty{EncodableList{}};
    EXPECT_EQ(value("videoFrames", {{"id", "short"}, {"at", EncodableList{0.0, 1.0}}}), empty);
    EXPECT_EQ(value("videoFrames", {{"id", "clip"}, {"at", EncodableList{}}}), empty);
    for (const char* id : {"photo", "no duration", "not stored", "unknown"})
        EXPECT_EQ(value("videoFrames", {{"id", id}}), empty) << id;
    EXPECT_EQ(value("videoFrames", {{"id", 7}}), empty);
}

TEST_F(Library, VideoFramesWithoutAnIdAnswerInsideTheCall) {
    std::optional<Bytes> reply;
    h.host->messenger().deliver(kChannel, StandardMethodCodec::encodeMethodCall({"videoFrames", EncodableMap{}}),
                                [&](Bytes bytes) { reply = std::move(bytes); });
    ASSERT_TRUE(reply);
    EXPECT_EQ(*StandardMethodCodec::decodeEnvelope(reply->data(), reply->size()),
              MethodResponse(EncodableValue(EncodableList{})));
}

TEST_F(Library, AnswersArriveInSubmissionOrderAndOtherNamesAreNotImplemented) {
    file("a.jpg", 10);
    load(Json::array({{{"id", "a"}, {"resources", {{{"type", "photo"}, {"file", "a.jpg"}}}}}}));
    std::vector<std::string> answered;
    const char* methods[] = {"faceQuality", "fileSize", "traits", "fileSize", "videoFrames", "fileSize"};
    for (const char* method : methods)
        h.host->messenger().deliver(
            kChannel, StandardMethodCodec::encodeMethodCall({method, EncodableMap{{"ids", ids({"a"})}, {"id", "a"}}}),
            [&answered, method](Bytes) { answered.push_back(method); });
    h.loop.runUntil([&] { return answered.size() == std::size(methods); }, std::chrono::seconds(10));
    EXPECT_EQ(answered, std::vector<std::string>(std::begin(methods), std::end(methods)));
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(h.call(kChannel, "fileSizes")));
}

TEST_F(Library, AListingThatCannotBeParsedIsAnEmptyLibraryUntilItIsMended) {
    std::ofstream(folder + "/library.json") << "{\"assets\": [";
    EXPECT_EQ(h.value("sim/control", "library.load", EncodableMap{{"folder", folder}}), EncodableValue(0));
    EXPECT_TRUE(h.log.contains("library.json: not JSON; the library is empty"));
    EXPECT_EQ(value("fileSize", {{"ids", ids({"a"})}}), EncodableValue(EncodableMap{}));
    std::ofstream(folder + "/library.json") << R"({"assets": [{"id": "a", "resources": [{"size": 5}]}]})";
    EXPECT_EQ(value("fileSize", {{"ids", ids({"a"})}}), EncodableValue(EncodableMap{{"a", 5}}));
}
