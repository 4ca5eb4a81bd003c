// lumivane-photos: fills a folder with a simulated phone's camera roll of real
// JPEG photos (and a few videos' worth of bytes), for the demo.
//   lumivane-photos ROOT PHOTOS [VIDEO-MIB]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>  // after <cstdio>: it uses FILE and size_t without including them

namespace fs = std::filesystem;

namespace {

// A 320 x 240 gradient whose colours depend on the photo's number.
bool writePhoto(const std::string& path, int number) {
    constexpr int kWidth = 320, kHeight = 240;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    jpeg_compress_struct jpeg;
    jpeg_error_mgr errors;
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    jpeg_stdio_dest(&jpeg, out);
    jpeg.image_width = kWidth;
    jpeg.image_height = kHeight;
    jpeg.input_components = 3;
    jpeg.in_color_space = JCS_RGB;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, 85, TRUE);
    jpeg_start_compress(&jpeg, TRUE);
    std::vector<unsigned char> row(kWidth * 3);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            row[x * 3] = static_cast<unsigned char>((x + number * 37) % 256);
            row[x * 3 + 1] = static_cast<unsigned char>((y + number * 11) % 256);
            row[x * 3 + 2] = static_cast<unsigned char>((x + y + number * 73) % 256);
        }
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&jpeg, rows, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: lumivane-photos ROOT PHOTOS [VIDEO-MIB]\n");
        return 64;
    }
    std::string root = argv[1];
    int photos = std::atoi(argv[2]);
    long videoMiB = argc > 3 ? std::atol(argv[3]) : 16;
    for (int i = 0; i < photos; ++i) {
        // 100APPLE holds the first 200, as a phone starts a new folder.
        auto folder = root + "/DCIM/" + std::to_string(100 + i / 200) + "APPLE";
        fs::create_directories(folder);
        char name[32];
        std::snprintf(name, sizeof name, "/IMG_%04d.JPG", 1 + i);
        if (!writePhoto(folder + name, i)) return 1;
    }
    fs::create_directories(root + "/PhotoData");
    auto videos = root + "/DCIM/" + std::to_string(100 + (photos - 1) / 200) + "APPLE";
    std::string block(1 << 20, 'v');
    for (int i = 0; i < 2; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/IMG_%04d.MOV", photos + 1 + i);
        std::ofstream out(videos + name, std::ios::binary);
        for (long m = 0; m < videoMiB; ++m) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return 0;
}
