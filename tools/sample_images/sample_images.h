#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace lumivane::samples {

// Generated pictures for the tests, the benchmarks and the demo, in every
// format the host reads. Each shows, the right way up, a gradient whose
// top-left corner carries a square mark: red in the picture itself, green in
// its embedded thumbnail, so a check can tell which one a thumbnail came
// from and whether it was turned right. The file stores the picture turned
// back by its orientation, as a camera would.
//
// Any thread.

// `dng` is a small RAW file (a DNG of a 2x2 colour-filter mosaic) whose
// embedded JPEG preview is the picture (with the green mark: it is the
// thumbnail a RAW reader finds), at the size asked for.
enum class Format { jpeg, jpeg444, heic, png, tiff, gif, webp, dng };

struct Spec {
    Format format = Format::jpeg;
    int width = 400;      // as shown, after the orientation
    int height = 300;     // as shown
    int orientation = 1;  // EXIF 1 to 8 (JPEG, TIFF and HEIC store one)
    // A stored thumbnail of this longer edge (JPEG: the EXIF thumbnail; HEIC:
    // a thumbnail item); 0 for none.
    int thumbnail = 0;
    bool detailed = false;  // noise over the gradient, so it compresses like a photo
    int quality = 85;
    // JPEG: when it was taken, as EXIF writes it ("2019:05:06 07:08:09");
    // empty for no date.
    std::string taken = {};
};

// The file's bytes; empty when a library refused (which fails the caller).
std::vector<std::uint8_t> make(const Spec& spec);
// Writes `make(spec)` to `path`; false on failure.
bool write(const std::string& path, const Spec& spec);

struct Rgb {
    int r = 0, g = 0, b = 0;
};
// What a mark looks like after encoding, with room for JPEG's losses.
inline bool isRed(Rgb c) { return c.r > 170 && c.g < 90 && c.b < 90; }
inline bool isGreen(Rgb c) { return c.g > 170 && c.r < 90 && c.b < 90; }

// An encoded picture as a check sees it: its size and the colours a little
// inside each corner. Width 0 when it does not decode.
struct Seen {
    int width = 0, height = 0;
    Rgb topLeft, topRight, bottomLeft, bottomRight;
};
Seen look(const std::vector<std::uint8_t>& encoded);

}  // namespace lumivane::samples
