// lumivane-photos: fills a folder with a simulated phone's camera roll, for
// the demo: real JPEG photos (each with a 160-pixel EXIF thumbnail), the
// phone's own renderings of every other one in its thumbnail store, two
// videos' worth of bytes (with renderings of their frames), and, newest of all, a 12-megapixel HEIC taken with
// the phone held upright.
// With DISTINCT, only the first DISTINCT photos are made, and the others are
// links to them under their own names: a phone of 20,000 photos in seconds.
// With DATED, the photos' files date from 2018, and every DATED-th one says
// in its EXIF that it was taken on a day of May 2019: a camera roll whose
// order by date taken is not its order by file time.
//   lumivane-photos ROOT PHOTOS [VIDEO-MIB] [DISTINCT] [DATED]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/sample_images/sample_images.h"

namespace fs = std::filesystem;
using lumivane::samples::Format;

namespace {

// Photo `number` (1-based) and the folder a phone files it in: 100APPLE
// holds the first 200, as a phone starts a new folder.
std::string relative(int number, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "/IMG_%04d.%s", number, extension);
    return std::to_string(100 + (number - 1) / 200) + "APPLE" + name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: lumivane-photos ROOT PHOTOS [VIDEO-MIB] [DISTINCT] [DATED]\n");
        return 64;
    }
    std::string root = argv[1];
    int photos = std::atoi(argv[2]);
    long videoMiB = argc > 3 ? std::atol(argv[3]) : 16;
    int distinct = argc > 4 ? std::max(2, std::atoi(argv[4])) : photos;
    int dated = argc > 5 ? std::max(0, std::atoi(argv[5])) : 0;
    for (int number = 1; number <= photos; ++number) {
        auto path = root + "/DCIM/" + relative(number, "JPG");
        fs::create_directories(fs::path(path).parent_path());
        // The phone's own rendering of every other photo: a small JPEG in a
        // folder named after the photo.
        auto rendering = root + "/PhotoData/Thumbnails/V2/DCIM/" + relative(number, "JPG");
        if (number % 2 == 0) fs::create_directories(rendering);
        if (number > distinct) {
            int original = (number - 1) % distinct + 1;
            fs::create_hard_link(root + "/DCIM/" + relative(original, "JPG"), path);
            if (number % 2 == 0 && original % 2 == 0)
                fs::create_hard_link(root + "/PhotoData/Thumbnails/V2/DCIM/" + relative(original, "JPG") + "/5005.JPG",
                                     rendering + "/5005.JPG");
            continue;
        }
        std::string taken;
        if (dated > 0 && number % dated == 0) {
            char date[32];
            std::snprintf(date, sizeof date, "2019:05:%02d 12:%02d:00", 1 + (number / dated) % 28, number % 60);
            taken = date;
        }
        if (!lumivane::samples::write(path,
                                      {.width = 640, .height = 480, .thumbnail = 160, .quality = 80, .taken = taken}))
            return 1;
        if (dated > 0) {  // 2018-01-01 plus a minute a photo
            auto since = std::chrono::system_clock::from_time_t(1514764800) + std::chrono::minutes(number);
            fs::last_write_time(path, fs::file_time_type::clock::from_sys(since));
        }
        if (number % 2 == 0 &&
            !lumivane::samples::write(rendering + "/5005.JPG", {.width = 256, .height = 192, .quality = 75}))
            return 1;
    }
    fs::create_directories(root + "/PhotoData");
    std::string block(1 << 20, 'v');
    // The videos and the HEIC may start a new folder of their own.
    for (int i = 1; i <= 3; ++i)
        fs::create_directories(fs::path(root + "/DCIM/" + relative(photos + i, "MOV")).parent_path());
    for (int i = 1; i <= 2; ++i) {
        std::ofstream out(root + "/DCIM/" + relative(photos + i, "MOV"), std::ios::binary);
        for (long m = 0; m < videoMiB; ++m) out.write(block.data(), static_cast<std::streamsize>(block.size()));
        // A phone keeps a rendering of a video's first frame as of a photo.
        auto rendering = root + "/PhotoData/Thumbnails/V2/DCIM/" + relative(photos + i, "MOV");
        fs::create_directories(rendering);
        if (!lumivane::samples::write(rendering + "/5005.JPG", {.width = 256, .height = 144, .quality = 75})) return 1;
    }
    auto heic = root + "/DCIM/" + relative(photos + 3, "HEIC");
    // The phone renders what it takes: the HEIC has its rendering too.
    auto heicRendering = root + "/PhotoData/Thumbnails/V2/DCIM/" + relative(photos + 3, "HEIC");
    fs::create_directories(heicRendering);
    if (!lumivane::samples::write(heicRendering + "/5005.JPG", {.width = 192, .height = 256, .quality = 75})) return 1;
    return lumivane::samples::write(heic, {.format = Format::heic,
                                           .width = 3024,
                                           .height = 4032,
                                           .orientation = 6,
                                           .thumbnail = 320,
                                           .detailed = true,
                                           .quality = 50})
               ? 0
               : 1;
}
