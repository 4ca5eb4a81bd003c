#include "bridges/library/library_bridge.h"

#include <gtest/gtest.h>

#include <fstream>

#include "bridges/common/testing/sim_bridge_setup.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;
using namespace std::chrono_literals;

namespace {

// The simulated Mac's library, noting the side of every image asked for.
class SideNotingLibrary final : public PhotoLibrary {
public:
    explicit SideNotingLibrary(PhotoLibrary& inner) : inner_(inner) {}
    std::vector<LibraryAsset> fetchAssets(const std::vector<std::string>& ids) override {
        return inner_.fetchAssets(ids);
    }
    std::vector<AssetResource> resources(const LibraryAsset& asset) override { return inner_.resources(asset); }
    std::unique_ptr<Picture> image(const LibraryAsset& asset, int side) override {
        sides.push_back(side);  // the library queue; read after the answer
        return inner_.image(asset, side);
    }
    std::optional<std::string> videoFile(const LibraryAsset& asset) override { return inner_.videoFile(asset); }
    Result<FaceQualities> faceCaptureQualities(const Picture& image) override {
        return inner_.faceCaptureQualities(image);
    }
    std::vector<int> sides;

private:
    PhotoLibrary& inner_;
};

}  // namespace

TEST(LibraryBridge, FacesAreLookedForInAnImageOf512PixelsUnlessAskedOtherwise) {
    SimBridgeSetup setup;
    auto& [home, loop, log, clock, sources, mac] = setup;
    ASSERT_TRUE(samples::write(home / "face.jpg", {.width = 2000, .height = 1500}));
    std::ofstream(home / "library.json")
        << R"({"assets": [{"id": "a", "resources": [{"type": "photo", "file": "face.jpg"}], "faces": [0.5]}]})";
    mac.library().load(home.path());
    SideNotingLibrary library(mac.library());
    LibraryBridge bridge(setup.context({.library = &library}));

    struct Case {
        EncodableMap args;
        int side;
    } cases[] = {
        {{{"ids", EncodableList{"a"}}}, 512},
        {{{"ids", EncodableList{"a"}}, {"px", 64}}, 64},
        {{{"ids", EncodableList{"a"}}, {"px", "64"}}, 512},  // not a number: the default
    };
    for (const auto& c : cases) {
        std::optional<Bytes> reply;
        bridge.handle({"faceQuality", c.args}, MethodResult(
                                                   "faceQuality", [&](Bytes b) { reply = std::move(b); }, log));
        loop.runUntil([&] { return reply.has_value(); }, 10s);
        ASSERT_TRUE(reply);
        auto answer = StandardMethodCodec::decodeEnvelope(reply->data(), reply->size());
        EXPECT_EQ(std::get<EncodableValue>(*answer), EncodableValue(EncodableMap{{"a", 0.5}}));
        ASSERT_FALSE(library.sides.empty());
        EXPECT_EQ(library.sides.back(), c.side);
    }
    bridge.shutdown();
}
