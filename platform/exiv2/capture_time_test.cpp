// Capture times as the host reads them, against exiftool's reading of the
// same files, and the strict date parsers under them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "platform/capture_time.h"
#include "platform/common/process_runner.h"
#include "platform/exiv2/exiv2_photo_metadata.h"
#include "platform/ffmpeg/ffmpeg_video_frames.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/testing/temp_folder.h"
#include "tools/sample_images/sample_images.h"

namespace lumivane {
namespace {

// Every test reads dates in one zone that is not UTC, so that a reading that
// ignores the offset or the zone shows.
class CaptureTime : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "America/New_York", 1);
        ::tzset();
    }
    void TearDown() override {
        ::unsetenv("TZ");
        ::tzset();
    }
    // exiftool's value of `tag` in seconds since 1970, or none.
    static std::optional<std::int64_t> exiftool(const std::string& path, const std::string& tag) {
        auto out =
            ProcessRunner::run("/usr/bin/exiftool", {"-api", "QuickTimeUTC", "-d", "%s", "-s3", "-" + tag, path});
        if (!out.ok() || out.value().empty()) return std::nullopt;
        return std::stoll(out.value());
    }
    static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

    TempFolder folder;
};

TEST_F(CaptureTime, PhotosAgreeWithExiftool) {
    struct Case {
        const char* file;
        const char* date;    // DateTimeOriginal written, or null
        const char* offset;  // OffsetTimeOriginal written, or null
        const char* tag;     // exiftool's tag to compare with
    };
    const Case cases[] = {
        {"east.jpg", "2021:07:04 09:15:30", "+02:00", "SubSecDateTimeOriginal"},
        {"west.jpg", "2019:12:31 23:59:59", "-08:00", "SubSecDateTimeOriginal"},
        {"local.jpg", "2020:03:08 12:00:00", nullptr, "DateTimeOriginal"},
        {"photo.tif", "2018:01:02 03:04:05", "+05:30", "SubSecDateTimeOriginal"},
        {"photo.heic", "2022:11:11 11:11:11", "+09:00", "SubSecDateTimeOriginal"},
    };
    Exiv2PhotoMetadata metadata;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto path = folder / c.file;
        ASSERT_TRUE(run("vips black '" + path + "' 32 24"));
        std::string tags = std::string("'-DateTimeOriginal=") + c.date + "'";
        if (c.offset) tags += std::string(" '-OffsetTimeOriginal=") + c.offset + "'";
        ASSERT_TRUE(run("exiftool -q -q -overwrite_original " + tags + " '" + path + "'"));
        auto expected = exiftool(path, c.tag);
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(metadata.captureTime(path), expected);
    }
}

TEST_F(CaptureTime, PicturesWithoutTheDateAndOtherFilesHaveNone) {
    Exiv2PhotoMetadata metadata;
    auto plain = folder / "plain.jpg";
    ASSERT_TRUE(samples::write(plain, {.width = 32, .height = 24}));
    std::ofstream(folder / "notes.jpg") << "not a picture";
    EXPECT_EQ(metadata.captureTime(plain), std::nullopt);
    EXPECT_EQ(metadata.captureTime(folder / "notes.jpg"), std::nullopt);
    EXPECT_EQ(metadata.captureTime(folder / "missing.jpg"), std::nullopt);
    EXPECT_EQ(metadata.captureTime(folder.path()), std::nullopt);
}

TEST_F(CaptureTime, VideosAgreeWithExiftool) {
    VipsImaging imaging;
    FfmpegVideoFrames videos(imaging);
    struct Case {
        const char* file;
        const char* metadata;  // ffmpeg's -metadata argument, or null
    };
    const Case cases[] = {
        {"utc.mov", "creation_time=2021-07-04T07:15:30.000000Z"},
        {"utc.mp4", "creation_time=2016-02-29T23:00:00Z"},
        {"none.mp4", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto path = folder / c.file;
        std::string command = "ffmpeg -v error -y -f lavfi -i color=c=red:s=64x48:d=0.2 ";
        if (c.metadata) command += std::string("-metadata ") + c.metadata + " ";
        ASSERT_TRUE(run(command + "'" + path + "'"));
        auto expected = c.metadata ? exiftool(path, "CreateDate") : std::nullopt;
        EXPECT_EQ(videos.creationTime(path), expected);
    }
}

TEST(CaptureTimeParsing, ReadsOnlyWellFormedDates) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    struct Case {
        const char* date;
        const char* offset;
        std::optional<std::int64_t> seconds;
    };
    const Case exif[] = {
        {"2021:07:04 09:15:30", "+02:00", 1625382930},
        {"2021:07:04 09:15:30", "-0230", 1625399130},
        {"2021:07:04 09:15:30", "", 1625390130},  // local time, here UTC
        {"2021:07:04 09:15:30\0", "", 1625390130},
        {"0000:00:00 00:00:00", "", std::nullopt},
        {"2021:13:04 09:15:30", "", std::nullopt},
        {"2021:02:30 09:15:30", "", std::nullopt},
        {"2021:07:04 24:00:00", "", std::nullopt},
        {"2021:07:04 09:15", "", std::nullopt},
        {"2021:07:04 09:15:30 extra", "", std::nullopt},
        {"2021-07-04 09:15:30", "", std::nullopt},
        {"2021:07:04 09:15:30", "+25:00", std::nullopt},
        {"2021:07:04 09:15:30", "+02:00x", std::nullopt},
        {"", "", std::nullopt},
    };
    for (const auto& c : exif) EXPECT_EQ(parseExifDateTime(c.date, c.offset), c.seconds) << c.date << " " << c.offset;
    const Case iso[] = {
        {"2021-07-04T07:15:30.000000Z", "", 1625382930}, {"2021-07-04T09:15:30+0200", "", 1625382930},
        {"2021-07-04T09:15:30+02:00", "", 1625382930},   {"2021-07-04T07:15:30", "", 1625382930},
        {"2021-07-04T07:15:30.", "", std::nullopt},      {"2021-07-04 07:15:30", "", std::nullopt},
        {"2021-07-04T07:15:30Zjunk", "", std::nullopt},  {"2021-07-04", "", std::nullopt},
    };
    for (const auto& c : iso) EXPECT_EQ(parseIsoDateTime(c.date), c.seconds) << c.date;
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace lumivane
