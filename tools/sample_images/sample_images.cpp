#include "tools/sample_images/sample_images.h"

#include <libheif/heif.h>
#include <vips/vips8>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>

namespace lumivane::samples {

namespace {

using vips::VImage;

void startVips() {
    static std::once_flag once;
    std::call_once(once, [] {
        vips_init("lumivane-samples");
        vips_cache_set_max(0);
    });
}

// The picture as shown: a gradient that is never red or green, with the mark.
VImage shown(int width, int height, bool detailed, std::vector<double> mark) {
    VImage xy = VImage::xyz(width, height);
    VImage r = xy[0] * (100.0 / width);
    VImage g = xy[1] * (90.0 / height) + 100;
    VImage b = VImage::black(width, height) + 160;
    VImage picture = r.bandjoin(g).bandjoin(b);
    if (detailed) picture = picture + VImage::gaussnoise(width, height, VImage::option()->set("sigma", 14.0));
    picture = picture.cast(VIPS_FORMAT_UCHAR).copy_memory();
    int side = std::max(2, std::min(width, height) / 5);
    picture.draw_rect(mark, 0, 0, side, side, VImage::option()->set("fill", true));
    return picture;
}

// The stored pixels that `orientation` turns into `picture`.
VImage stored(const VImage& picture, int orientation) {
    switch (orientation) {
        case 2: return picture.flip(VIPS_DIRECTION_HORIZONTAL);
        case 3: return picture.rot(VIPS_ANGLE_D180);
        case 4: return picture.flip(VIPS_DIRECTION_VERTICAL);
        case 5: return picture.rot(VIPS_ANGLE_D90).flip(VIPS_DIRECTION_HORIZONTAL);
        case 6: return picture.rot(VIPS_ANGLE_D270);
        case 7: return picture.rot(VIPS_ANGLE_D90).flip(VIPS_DIRECTION_VERTICAL);
        case 8: return picture.rot(VIPS_ANGLE_D90);
        default: return picture;
    }
}

std::vector<std::uint8_t> buffer(const VImage& image, const std::string& suffix) {
    void* data = nullptr;
    size_t length = 0;
    image.write_to_buffer(suffix.c_str(), &data, &length);
    auto* bytes = static_cast<std::uint8_t*>(data);
    std::vector<std::uint8_t> out(bytes, bytes + length);
    g_free(data);
    return out;
}

std::pair<int, int> scaled(const Spec& spec, int longer) {
    double factor = double(longer) / std::max(spec.width, spec.height);
    return {std::max(2, int(spec.width * factor) & ~1), std::max(2, int(spec.height * factor) & ~1)};
}

// --- HEIC, through libheif: libvips cannot store a thumbnail item ---

struct HeifImage {
    heif_image* image = nullptr;
    ~HeifImage() { heif_image_release(image); }
};

bool toHeif(const VImage& rgb, HeifImage& out) {
    if (heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &out.image)
            .code != heif_error_Ok)
        return false;
    if (heif_image_add_plane(out.image, heif_channel_interleaved, rgb.width(), rgb.height(), 8).code != heif_error_Ok)
        return false;
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(out.image, heif_channel_interleaved, &stride);
    const auto* pixels = static_cast<const std::uint8_t*>(rgb.data());
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + size_t(y) * stride, pixels + size_t(y) * rgb.width() * 3, size_t(rgb.width()) * 3);
    return true;
}

std::vector<std::uint8_t> heic(const Spec& spec, const VImage& picture) {
    HeifImage main;
    if (!toHeif(stored(picture, spec.orientation).copy_memory(), main)) return {};
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(spec.orientation);
    std::vector<std::uint8_t> out;
    if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok) {
        heif_encoder_set_lossy_quality(encoder, spec.quality);
        heif_encoder_set_parameter_string(encoder, "preset", "ultrafast");
        heif_image_handle* handle = nullptr;
        bool ok = heif_context_encode_image(context, main.image, encoder, options, &handle).code == heif_error_Ok;
        if (ok && spec.thumbnail > 0) {
            // From a full-size picture with the thumbnail's own mark.
            HeifImage marked;
            heif_image_handle* thumb = nullptr;
            ok = toHeif(stored(shown(spec.width, spec.height, false, {0, 255, 0}), spec.orientation), marked) &&
                 heif_context_encode_thumbnail(context, marked.image, handle, encoder, options, spec.thumbnail, &thumb)
                         .code == heif_error_Ok;
            heif_image_handle_release(thumb);
        }
        heif_image_handle_release(handle);
        heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* sink) {
                               auto* bytes = static_cast<const std::uint8_t*>(data);
                               static_cast<std::vector<std::uint8_t>*>(sink)->assign(bytes, bytes + size);
                               return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                           }};
        if (!ok || heif_context_write(context, &writer, &out).code != heif_error_Ok) out.clear();
        heif_encoder_release(encoder);
    }
    heif_encoding_options_free(options);
    heif_context_free(context);
    return out;
}

// --- DNG: a TIFF that a RAW reader takes as a camera's file ---

// A little-endian TIFF built entry by entry.
struct Tiff {
    std::vector<std::uint8_t> bytes{'I', 'I', 42, 0, 8, 0, 0, 0};
    void put16(std::uint16_t v) { bytes.insert(bytes.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
    void put32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(v >> (8 * i)));
    }
    void set32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = std::uint8_t(v >> (8 * i));
    }
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::vector<std::uint8_t> data;  // the value's bytes, little-endian
    };
    static Entry shorts(std::uint16_t tag, std::vector<std::uint16_t> values) {
        Entry e{tag, 3, std::uint32_t(values.size()), {}};
        for (auto v : values) e.data.insert(e.data.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
        return e;
    }
    static Entry longs(std::uint16_t tag, std::vector<std::uint32_t> values, std::uint16_t type = 4) {
        Entry e{tag, type, std::uint32_t(values.size()), {}};
        for (auto v : values)
            for (int i = 0; i < 4; ++i) e.data.push_back(std::uint8_t(v >> (8 * i)));
        return e;
    }
    static Entry bytesOf(std::uint16_t tag, std::vector<std::uint8_t> values, std::uint16_t type = 1) {
        return {tag, type, std::uint32_t(values.size()), std::move(values)};
    }
    static Entry text(std::uint16_t tag, const std::string& value) {
        std::vector<std::uint8_t> data(value.begin(), value.end());
        data.push_back(0);
        return bytesOf(tag, std::move(data), 2);
    }
    // Writes an IFD of `entries` (sorted by tag) at the end, values that do
    // not fit in 4 bytes after it; where its "next IFD" offset sits.
    std::size_t ifd(const std::vector<Entry>& entries) {
        std::size_t start = bytes.size();
        std::size_t values = start + 2 + entries.size() * 12 + 4;
        put16(std::uint16_t(entries.size()));
        std::vector<std::uint8_t> extra;
        for (const auto& e : entries) {
            put16(e.tag);
            put16(e.type);
            put32(e.count);
            if (e.data.size() <= 4) {
                auto inline4 = e.data;
                inline4.resize(4, 0);
                bytes.insert(bytes.end(), inline4.begin(), inline4.end());
            } else {
                put32(std::uint32_t(values + extra.size()));
                extra.insert(extra.end(), e.data.begin(), e.data.end());
                if (extra.size() % 2) extra.push_back(0);
            }
        }
        std::size_t next = bytes.size();
        put32(0);
        bytes.insert(bytes.end(), extra.begin(), extra.end());
        return next;
    }
};

std::vector<std::uint8_t> dng(const Spec& spec) {
    auto preview = buffer(shown(spec.width, spec.height, spec.detailed, {0, 255, 0}), ".jpg[Q=85]");
    const std::uint32_t rawWidth = 64, rawHeight = 48;
    Tiff tiff;
    // The preview and the mosaic go first, then the IFDs that point at them.
    std::uint32_t previewAt = std::uint32_t(tiff.bytes.size());
    tiff.bytes.insert(tiff.bytes.end(), preview.begin(), preview.end());
    if (tiff.bytes.size() % 2) tiff.bytes.push_back(0);
    std::uint32_t rawAt = std::uint32_t(tiff.bytes.size());
    for (std::uint32_t i = 0; i < rawWidth * rawHeight; ++i) tiff.put16(std::uint16_t(1000 + (i % 97) * 300));
    std::uint32_t subIfdAt = std::uint32_t(tiff.bytes.size());
    tiff.ifd({
        Tiff::longs(254, {0}),
        Tiff::longs(256, {rawWidth}),
        Tiff::longs(257, {rawHeight}),
        Tiff::shorts(258, {16}),
        Tiff::shorts(259, {1}),
        Tiff::shorts(262, {32803}),
        Tiff::longs(273, {rawAt}),
        Tiff::shorts(277, {1}),
        Tiff::longs(278, {rawHeight}),
        Tiff::longs(279, {rawWidth * rawHeight * 2}),
        Tiff::shorts(33421, {2, 2}),
        Tiff::bytesOf(33422, {0, 1, 1, 2}),
    });
    std::uint32_t ifd0At = std::uint32_t(tiff.bytes.size());
    tiff.ifd({
        Tiff::longs(254, {1}),
        Tiff::longs(256, {std::uint32_t(spec.width)}),
        Tiff::longs(257, {std::uint32_t(spec.height)}),
        Tiff::shorts(258, {8, 8, 8}),
        Tiff::shorts(259, {7}),
        Tiff::shorts(262, {6}),
        Tiff::text(271, "Lumivane"),
        Tiff::text(272, "Sample"),
        Tiff::longs(273, {previewAt}),
        Tiff::shorts(274, {std::uint16_t(spec.orientation)}),
        Tiff::shorts(277, {3}),
        Tiff::longs(278, {std::uint32_t(spec.height)}),
        Tiff::longs(279, {std::uint32_t(preview.size())}),
        Tiff::longs(330, {subIfdAt}),
        Tiff::bytesOf(50706, {1, 4, 0, 0}),
        Tiff::text(50708, "Lumivane Sample"),
    });
    tiff.set32(4, ifd0At);
    return tiff.bytes;
}

}  // namespace

std::vector<std::uint8_t> make(const Spec& spec) {
    startVips();
    try {
        VImage picture = shown(spec.width, spec.height, spec.detailed, {255, 0, 0});
        if (spec.format == Format::heic) return heic(spec, picture);
        if (spec.format == Format::dng) return dng(spec);
        VImage image = stored(picture, spec.orientation).copy();
        if (spec.orientation > 1) image.set(VIPS_META_ORIENTATION, spec.orientation);
        std::string q = std::to_string(spec.quality);
        switch (spec.format) {
            case Format::jpeg:
            case Format::jpeg444: {
                if (spec.thumbnail > 0) {
                    auto [w, h] = scaled(spec, spec.thumbnail);
                    auto thumb = buffer(stored(shown(w, h, false, {0, 255, 0}), spec.orientation), ".jpg[Q=80]");
                    void* blob = g_memdup2(thumb.data(), thumb.size());
                    image.set(
                        "jpeg-thumbnail-data",
                        [](void* data, void*) {
                            g_free(data);
                            return 0;
                        },
                        blob, thumb.size());
                }
                if (!spec.taken.empty()) image.set("exif-ifd2-DateTimeOriginal", spec.taken.c_str());
                auto subsample = spec.format == Format::jpeg ? "on" : "off";
                return buffer(image, ".jpg[Q=" + q + ",subsample-mode=" + subsample + "]");
            }
            case Format::png: return buffer(image, ".png");
            case Format::webp: return buffer(image, ".webp[Q=" + q + "]");
            case Format::gif: return buffer(image, ".gif");
            case Format::tiff: return buffer(image, ".tif");
            case Format::heic:
            case Format::dng: break;
        }
    } catch (const vips::VError&) {
        vips_error_clear();
    }
    return {};
}

Seen look(const std::vector<std::uint8_t>& encoded) {
    startVips();
    Seen seen;
    try {
        VImage image = VImage::new_from_buffer(encoded.data(), encoded.size(), "").copy_memory();
        seen.width = image.width();
        seen.height = image.height();
        int dx = std::max(1, seen.width / 25), dy = std::max(1, seen.height / 25);
        auto at = [&](int x, int y) {
            auto p = image.getpoint(x, y);
            return Rgb{int(p[0]), int(p.size() > 1 ? p[1] : p[0]), int(p.size() > 2 ? p[2] : p[0])};
        };
        seen.topLeft = at(dx, dy);
        seen.topRight = at(seen.width - 1 - dx, dy);
        seen.bottomLeft = at(dx, seen.height - 1 - dy);
        seen.bottomRight = at(seen.width - 1 - dx, seen.height - 1 - dy);
    } catch (const vips::VError&) {
        vips_error_clear();
        seen = {};
    }
    return seen;
}

bool write(const std::string& path, const Spec& spec) {
    auto bytes = make(spec);
    if (bytes.empty()) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bool(out.flush());
}

}  // namespace lumivane::samples
