#include "platform/vips/vips_imaging.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "runtime/memory_budget.h"
#include "runtime/testing/temp_folder.h"
#include "tools/sample_images/sample_images.h"

namespace lumivane {
namespace {

using samples::Format;
using samples::isGreen;
using samples::isRed;

struct Rendered {
    PixelSize stored;
    samples::Seen seen;
};

// Source, thumbnail and JPEG, as a bridge goes through them.
std::optional<Rendered> render(Imaging& imaging, std::vector<std::uint8_t> bytes, ThumbnailOptions options) {
    auto source = imaging.sourceWithData(std::move(bytes));
    if (!source) return std::nullopt;
    auto picture = source->thumbnail(options);
    if (!picture) return std::nullopt;
    auto jpeg = imaging.jpegData(*picture, 0.8);
    if (!jpeg) return std::nullopt;
    auto seen = samples::look(*jpeg);
    EXPECT_EQ(seen.width, picture->size().width);
    EXPECT_EQ(seen.height, picture->size().height);
    return Rendered{source->pixelSize(), seen};
}

// A PNG whose header claims `width` x `height` grey pixels, with no pixels
// behind it: a decoder believes the header.
std::vector<std::uint8_t> pngClaiming(std::uint32_t width, std::uint32_t height) {
    auto crc = [](const std::uint8_t* data, std::size_t size) {
        std::uint32_t c = 0xFFFFFFFF;
        for (std::size_t i = 0; i < size; ++i) {
            c ^= data[i];
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
        }
        return ~c;
    };
    auto big32 = [](std::vector<std::uint8_t>& out, std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(v >> shift));
    };
    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* type, std::vector<std::uint8_t> body) {
        big32(png, std::uint32_t(body.size()));
        std::vector<std::uint8_t> typed(type, type + 4);
        typed.insert(typed.end(), body.begin(), body.end());
        png.insert(png.end(), typed.begin(), typed.end());
        big32(png, crc(typed.data(), typed.size()));
    };
    std::vector<std::uint8_t> header;
    big32(header, width);
    big32(header, height);
    header.insert(header.end(), {8, 0, 0, 0, 0});  // 8-bit grey, no interlace
    chunk("IHDR", header);
    chunk("IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});  // an empty zlib stream
    chunk("IEND", {});
    return png;
}

// Only the top-left corner carries the mark: the picture is the right way up.
void expectUpright(const samples::Seen& seen, bool (*mark)(samples::Rgb)) {
    EXPECT_TRUE(mark(seen.topLeft));
    EXPECT_FALSE(mark(seen.topRight));
    EXPECT_FALSE(mark(seen.bottomLeft));
    EXPECT_FALSE(mark(seen.bottomRight));
}

TEST(VipsImaging, EveryFormatAndOrientationComesOutUprightWithinTheBound) {
    VipsImaging imaging;
    struct Case {
        Format format;
        int orientation;
    };
    std::vector<Case> cases;
    for (auto format :
         {Format::jpeg, Format::jpeg444, Format::heic, Format::png, Format::tiff, Format::gif, Format::webp})
        cases.push_back({format, 1});
    for (int orientation = 2; orientation <= 8; ++orientation) cases.push_back({Format::jpeg, orientation});
    cases.push_back({Format::heic, 6});
    cases.push_back({Format::heic, 3});
    cases.push_back({Format::tiff, 8});

    for (auto [format, orientation] : cases) {
        SCOPED_TRACE("format " + std::to_string(int(format)) + ", orientation " + std::to_string(orientation));
        auto bytes = samples::make({.format = format, .orientation = orientation});
        ASSERT_FALSE(bytes.empty());
        auto out = render(imaging, bytes, {ThumbnailFrom::imageAlways, 128, true});
        ASSERT_TRUE(out);
        EXPECT_EQ(out->seen.width, 128);  // 400 x 300 as shown
        EXPECT_EQ(out->seen.height, 96);
        expectUpright(out->seen, isRed);
        // The stored size is the file's, before turning (libheif turns HEIF
        // pictures itself).
        bool turned = orientation >= 5 && format != Format::heic;
        EXPECT_EQ(out->stored, (turned ? PixelSize{300, 400} : PixelSize{400, 300}));
    }
}

TEST(VipsImaging, EmbeddedThumbnailsAreUsedOnlyWhenAskedForAndTurnedLikeTheImage) {
    VipsImaging imaging;
    struct Case {
        const char* name;
        samples::Spec spec;
        ThumbnailFrom from;
        int px;
        bool (*mark)(samples::Rgb);
        PixelSize expected;
    } cases[] = {
        {"JPEG, EXIF thumbnail",
         {.format = Format::jpeg, .thumbnail = 160},
         ThumbnailFrom::embeddedIfPresent,
         128,
         isGreen,
         {128, 96}},
        {"JPEG, EXIF thumbnail, turned",
         {.format = Format::jpeg, .orientation = 6, .thumbnail = 160},
         ThumbnailFrom::embeddedIfPresent,
         128,
         isGreen,
         {128, 96}},
        {"JPEG, EXIF thumbnail never enlarged",
         {.format = Format::jpeg, .thumbnail = 160},
         ThumbnailFrom::embeddedIfPresent,
         1000,
         isGreen,
         {160, 120}},
        {"JPEG, EXIF thumbnail passed over",
         {.format = Format::jpeg, .thumbnail = 160},
         ThumbnailFrom::imageAlways,
         128,
         isRed,
         {128, 96}},
        {"JPEG without one", {.format = Format::jpeg}, ThumbnailFrom::embeddedIfPresent, 128, isRed, {128, 96}},
        {"HEIC, thumbnail item",
         {.format = Format::heic, .thumbnail = 160},
         ThumbnailFrom::embeddedIfPresent,
         128,
         isGreen,
         {128, 96}},
        {"HEIC, thumbnail item, turned",
         {.format = Format::heic, .orientation = 8, .thumbnail = 160},
         ThumbnailFrom::embeddedIfPresent,
         128,
         isGreen,
         {128, 96}},
        {"HEIC, thumbnail item passed over",
         {.format = Format::heic, .thumbnail = 160},
         ThumbnailFrom::imageAlways,
         128,
         isRed,
         {128, 96}},
        {"HEIC without one", {.format = Format::heic}, ThumbnailFrom::embeddedIfPresent, 128, isRed, {128, 96}},
        {"a small image is never enlarged",
         {.format = Format::png},
         ThumbnailFrom::imageAlways,
         1000,
         isRed,
         {400, 300}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto out = render(imaging, samples::make(c.spec), {c.from, c.px, true});
        ASSERT_TRUE(out);
        EXPECT_EQ((PixelSize{out->seen.width, out->seen.height}), c.expected);
        expectUpright(out->seen, c.mark);
    }
}

TEST(VipsImaging, WithoutTheTransformTheStoredPixelsComeThrough) {
    VipsImaging imaging;
    // Orientation 6 stores the picture turned a quarter anticlockwise: its
    // mark sits at the bottom left of the stored pixels.
    auto out = render(imaging, samples::make({.format = Format::jpeg, .orientation = 6}),
                      {ThumbnailFrom::imageAlways, 128, false});
    ASSERT_TRUE(out);
    EXPECT_EQ(out->seen.width, 96);
    EXPECT_EQ(out->seen.height, 128);
    EXPECT_TRUE(isRed(out->seen.bottomLeft));
    EXPECT_FALSE(isRed(out->seen.topLeft));
}

TEST(VipsImaging, WhatIsNotAnImageGivesNothingAndADamagedOneNeverCrashes) {
    VipsImaging imaging;
    std::mt19937 random(7);
    std::vector<std::uint8_t> noise(64 * 1024);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    EXPECT_FALSE(imaging.sourceWithData(noise));
    EXPECT_FALSE(imaging.sourceWithData({}));
    EXPECT_FALSE(imaging.sourceAtPath("/no/such/picture.jpg"));
    EXPECT_FALSE(imaging.sourceWithData({0xFF, 0xD8, 0xFF}));  // a JPEG's first three bytes

    // Cut short at several places: a picture or nothing, never a crash.
    for (auto format : {Format::jpeg, Format::heic, Format::png, Format::webp, Format::tiff, Format::gif}) {
        auto whole = samples::make({.format = format, .detailed = true});
        for (double kept : {0.1, 0.5, 0.9}) {
            std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() * kept));
            auto source = imaging.sourceWithData(cut);
            auto picture = source ? source->thumbnail({ThumbnailFrom::embeddedIfPresent, 64, true}) : nullptr;
            if (picture) {
                EXPECT_LE(std::max(picture->size().width, picture->size().height), 64);
            }
        }
    }
    auto source = imaging.sourceWithData(samples::make({.format = Format::png}));
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->thumbnail({ThumbnailFrom::imageAlways, 0, true}));

    // A picture claiming more pixels than any camera makes is no picture: at
    // the bound its header is taken, one row past it is not.
    EXPECT_TRUE(imaging.sourceWithData(pngClaiming(1 << 14, 1 << 14)));  // exactly 2^28
    EXPECT_FALSE(imaging.sourceWithData(pngClaiming(1 << 14, (1 << 14) + 1)));
    EXPECT_FALSE(imaging.sourceWithData(pngClaiming(1'000'000, 1'000'000)));
}

TEST(VipsImaging, AThumbnailNotRenderedInTimeIsNone) {
    VipsImaging patient;
    EXPECT_FALSE(patient.sourceWithData({}));  // libvips starts with the first image
    // 64 megapixels of PNG: no shrink on load, every row is read.
    VipsImage* black = nullptr;
    ASSERT_EQ(vips_black(&black, 8000, 8000, nullptr), 0);
    void* buffer = nullptr;
    std::size_t length = 0;
    ASSERT_EQ(vips_pngsave_buffer(black, &buffer, &length, "compression", 1, nullptr), 0);
    g_object_unref(black);
    std::vector<std::uint8_t> png(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + length);
    g_free(buffer);

    VipsImaging hurried(std::chrono::milliseconds(1));
    auto source = hurried.sourceWithData(png);
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->thumbnail({ThumbnailFrom::imageAlways, 256, true}));
    auto again = patient.sourceWithData(png);
    ASSERT_TRUE(again);
    auto picture = again->thumbnail({ThumbnailFrom::imageAlways, 256, true});
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size(), (PixelSize{256, 256}));
}

TEST(MemoryBudget, APictureLargerThanTheWholeBudgetIsAdmittedAloneThenOthersFollow) {
    MemoryBudget budget(100);
    {
        MemoryBudget::Hold whole(budget, 1'000);  // takes the whole budget rather than wait for ever
        EXPECT_FALSE(whole.shared());
    }
    auto first = std::make_unique<MemoryBudget::Hold>(budget, 60);
    {
        MemoryBudget::Hold beside(budget, 40);  // fits beside the first
        EXPECT_TRUE(beside.shared());
    }
    std::atomic<bool> admitted{false};
    std::thread second([&] {
        MemoryBudget::Hold hold(budget, 60);  // fits once the first is gone
        admitted = true;
    });
    first.reset();
    second.join();
    EXPECT_TRUE(admitted);
}

TEST(VipsImaging, FilesReadLikeBytesAndQualityChangesTheEncoding) {
    VipsImaging imaging;
    TempFolder folder;
    auto path = folder.path() + "/IMG_0001.HEIC";
    ASSERT_TRUE(samples::write(path, {.format = Format::heic, .orientation = 6, .thumbnail = 160}));
    auto source = imaging.sourceAtPath(path);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->imageCount(), 1);
    auto picture = source->thumbnail({ThumbnailFrom::embeddedIfPresent, 128, true});
    ASSERT_TRUE(picture);
    auto fine = imaging.jpegData(*picture, 0.95), coarse = imaging.jpegData(*picture, 0.3);
    ASSERT_TRUE(fine && coarse);
    EXPECT_GT(fine->size(), coarse->size());
    expectUpright(samples::look(*fine), isGreen);

    auto gif = imaging.sourceWithData(samples::make({.format = Format::gif}));
    ASSERT_TRUE(gif);
    EXPECT_EQ(gif->imageCount(), 1);
}

TEST(VipsImaging, ThumbnailsRenderOnSeveralThreadsAtOnce) {
    VipsImaging imaging;
    auto jpeg = samples::make({.format = Format::jpeg, .width = 1200, .height = 900, .detailed = true});
    auto heic = samples::make({.format = Format::heic, .width = 1200, .height = 900, .thumbnail = 160});
    std::vector<std::thread> threads;
    std::atomic<int> upright{0};
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&, i] {
            auto out = render(imaging, i % 2 ? jpeg : heic,
                              {i % 3 ? ThumbnailFrom::imageAlways : ThumbnailFrom::embeddedIfPresent, 200, true});
            bool marked = out && (isRed(out->seen.topLeft) || isGreen(out->seen.topLeft));
            if (marked && out->seen.width <= 200 && out->seen.height < out->seen.width) ++upright;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(upright, 6);
}

}  // namespace
}  // namespace lumivane
