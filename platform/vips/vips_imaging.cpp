#include "platform/vips/vips_imaging.h"

#include "runtime/memory_budget.h"

#include <vips/vips.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "runtime/allocator.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

struct Unref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};
using Image = std::unique_ptr<VipsImage, Unref>;
using Source = std::unique_ptr<VipsSource, Unref>;
using Data = std::shared_ptr<const std::vector<std::uint8_t>>;

void startVips() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (vips_init("lumivane") != 0) std::abort();  // libvips missing its own parts: nothing can work
        vips_concurrency_set(1);
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        vips_cache_set_max_files(0);
        vips_block_untrusted_set(TRUE);
        // Damaged files are expected input; their warnings would only fill
        // standard error.
        g_log_set_handler(
            "VIPS", G_LOG_LEVEL_WARNING, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    });
}

// A failed operation leaves its words in libvips's error buffer; nobody reads
// them, so they go.
template <typename T>
T failed() {
    vips_error_clear();
    return T{};
}

// libheif decodes a picture whole, at about 6.5 bytes a pixel with its
// buffers: four 12-megapixel photos at once hold some 320 MiB.
MemoryBudget& wholeDecodes() {
    static MemoryBudget budget(3 * 12'600'000);
    return budget;
}

bool isLoader(const std::string& loader, const char* prefix) { return loader.rfind(prefix, 0) == 0; }

class VipsPicture final : public Picture {
public:
    explicit VipsPicture(Image image) : image_(std::move(image)) {}
    PixelSize size() const override { return {image_->Xsize, image_->Ysize}; }
    VipsImage* image() const { return image_.get(); }

private:
    Image image_;
};

// `in` rendered into memory, or null when that fails or takes longer than
// `limit`: a picture from outside may be made to decode slowly (a PNG of
// hundreds of megapixels shrinks only after every row is read), and a
// thumbnail that cannot be had in time is no thumbnail.
Image renderInTime(VipsImage* in, std::chrono::milliseconds limit) {
    struct Deadline {
        std::chrono::steady_clock::time_point at;
    } deadline{std::chrono::steady_clock::now() + limit};
    Image target(vips_image_new_memory());
    if (!target) return failed<Image>();
    vips_image_set_progress(target.get(), TRUE);
    auto onEval = +[](VipsImage* image, VipsProgress*, gpointer data) {
        if (std::chrono::steady_clock::now() > static_cast<Deadline*>(data)->at) vips_image_set_kill(image, TRUE);
    };
    gulong handler = g_signal_connect(target.get(), "eval", G_CALLBACK(onEval), &deadline);
    int result = vips_image_write(in, target.get());
    g_signal_handler_disconnect(target.get(), handler);
    if (result != 0) return failed<Image>();
    return target;
}

class VipsImageSource final : public ImageSource {
public:
    // Either bytes or a file held open.
    VipsImageSource(Data data, std::optional<RegularFile> file, std::chrono::milliseconds decodeLimit)
        : data_(std::move(data)), file_(std::move(file)), decodeLimit_(decodeLimit) {}

    // Reads the header; false when the contents are not an image we take.
    bool open() {
        Source source = stream();
        if (!source) return false;
        const char* loader = vips_foreign_find_load_source(source.get());
        if (!loader) return false;
        loader_ = loader;
        header_ = load(source.get(), "");
        if (!header_) return false;
        std::int64_t pixels = std::int64_t{header_->Xsize} * header_->Ysize;
        if (pixels <= 0 || pixels > VipsImaging::kMaxPixels) return false;
        pages_ = std::max(1, vips_image_get_n_pages(header_.get()));
        return true;
    }

    int imageCount() const override { return pages_; }
    PixelSize pixelSize() const override { return {header_->Xsize, header_->Ysize}; }

    std::unique_ptr<Picture> thumbnail(const ThumbnailOptions& options) const override {
        if (options.maxPixelSize <= 0) return nullptr;
        Image out;
        std::int64_t whole = 0;  // pixels decoded whole on the way
        if (options.from == ThumbnailFrom::embeddedIfPresent) out = embedded(options, whole);
        if (!out) out = fromImage(options, whole);
        if (!out) return nullptr;
        // Decoded here, as the picture is handed over: a picture never
        // reaches back into its file.
        MemoryBudget::Hold hold(wholeDecodes(), whole);
        Image pixels = renderInTime(out.get(), decodeLimit_);
        out.reset();  // the decoder and its whole picture go with the last reference
        // The host keeps freed heap for reuse. When several threads decode
        // at once, the tens of megabytes each leaves would add up to far more
        // than the budget, so they go at once; one render after another
        // reuses what the one before left, sparing its page faults (on a
        // virtual machine they cost a HEIC render a third of its time), and
        // what the last one leaves goes once the renders stop coming.
        if (whole > 0 && hold.shared()) malloc_trim(0);
        releaseFreeMemoryWhenQuiet();
        if (!pixels) return nullptr;  // renderInTime has cleared the error
        return std::make_unique<VipsPicture>(std::move(pixels));
    }

private:
    // A fresh stream over the contents: each load reads from its own.
    Source stream() const {
        Source source(data_ ? vips_source_new_from_memory(data_->data(), data_->size())
                            : vips_source_new_from_file(file_->path().c_str()));
        if (!source) vips_error_clear();
        return source;
    }

    static Image load(VipsSource* source, const char* options) {
        Image image(vips_image_new_from_source(source, options, "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
        if (!image) vips_error_clear();
        return image;
    }

    Image loadWith(const char* options) const {
        Source source = stream();
        return source ? load(source.get(), options) : nullptr;
    }

    // Scaled down to fit the bound (never up), turned as `orientation` says
    // when asked.
    static Image fit(VipsImage* in, const ThumbnailOptions& options, int orientation = 1) {
        Image turned;
        if (options.withTransform && orientation > 1) {
            VipsImage* copy = nullptr;
            if (vips_copy(in, &copy, nullptr) != 0) return failed<Image>();
            turned.reset(copy);
            vips_image_set_int(copy, VIPS_META_ORIENTATION, orientation);
            in = copy;
        }
        VipsImage* out = nullptr;
        if (vips_thumbnail_image(in, &out, options.maxPixelSize, "height", options.maxPixelSize, "size", VIPS_SIZE_DOWN,
                                 "no_rotate", !options.withTransform, nullptr) != 0)
            return failed<Image>();
        return Image(out);
    }

    Image embedded(const ThumbnailOptions& options, std::int64_t& whole) const {
        if (isLoader(loader_, "VipsForeignLoadJpeg")) return exifThumbnail(options);
        if (isLoader(loader_, "VipsForeignLoadHeif")) {
            // libheif gives the thumbnail item, or the main image when there
            // is none; either way it is what this mode asks for.
            Image image = loadWith("thumbnail=true");
            if (!image) return nullptr;
            whole = std::int64_t{image->Xsize} * image->Ysize;
            return fit(image.get(), options);
        }
        return nullptr;
    }

    Image exifThumbnail(const ThumbnailOptions& options) const {
        const void* bytes = nullptr;
        size_t length = 0;
        if (!vips_image_get_typeof(header_.get(), "jpeg-thumbnail-data") ||
            vips_image_get_blob(header_.get(), "jpeg-thumbnail-data", &bytes, &length) != 0 || length == 0)
            return failed<Image>();
        // The blob belongs to the header, which outlives this load.
        Source source(vips_source_new_from_memory(bytes, length));
        if (!source) return failed<Image>();
        const char* loader = vips_foreign_find_load_source(source.get());
        if (!loader || !isLoader(loader, "VipsForeignLoadJpeg")) return failed<Image>();
        Image image = load(source.get(), "");
        if (!image) return nullptr;
        Image out = fit(image.get(), options, vips_image_get_orientation(header_.get()));
        // Decoded now, while the blob it reads from is sure to exist.
        return out ? Image(vips_image_copy_memory(out.get())) : nullptr;
    }

    Image fromImage(const ThumbnailOptions& options, std::int64_t& whole) const {
        if (isLoader(loader_, "VipsForeignLoadHeif")) {
            // The thumbnail operation would take a large enough thumbnail
            // item instead of the image; this mode wants the image.
            Image image = loadWith("");
            if (!image) return nullptr;
            whole = std::int64_t{image->Xsize} * image->Ysize;
            return fit(image.get(), options);
        }
        Source source = stream();
        if (!source) return nullptr;
        VipsImage* out = nullptr;
        if (vips_thumbnail_source(source.get(), &out, options.maxPixelSize, "height", options.maxPixelSize, "size",
                                  VIPS_SIZE_DOWN, "no_rotate", !options.withTransform, nullptr) != 0)
            return failed<Image>();
        return Image(out);
    }

    Data data_;
    std::optional<RegularFile> file_;  // held for as long as the source may read it
    std::chrono::milliseconds decodeLimit_;
    std::string loader_;
    Image header_;
    int pages_ = 1;
};

}  // namespace

std::unique_ptr<ImageSource> VipsImaging::sourceWithData(std::vector<std::uint8_t> data) {
    if (data.empty()) return nullptr;
    startVips();
    auto source = std::make_unique<VipsImageSource>(std::make_shared<const std::vector<std::uint8_t>>(std::move(data)),
                                                    std::nullopt, decodeLimit_);
    return source->open() ? std::move(source) : nullptr;
}

std::unique_ptr<ImageSource> VipsImaging::sourceAtPath(const std::string& path) {
    auto file = RegularFile::open(path);
    if (!file) return nullptr;
    startVips();
    auto source = std::make_unique<VipsImageSource>(nullptr, std::move(file), decodeLimit_);
    return source->open() ? std::move(source) : nullptr;
}

std::unique_ptr<Picture> VipsImaging::pictureWithRGB(int width, int height, std::vector<std::uint8_t> rgb) {
    if (width <= 0 || height <= 0 || rgb.size() != std::size_t(width) * std::size_t(height) * 3) return nullptr;
    startVips();
    Image image(vips_image_new_from_memory_copy(rgb.data(), rgb.size(), width, height, 3, VIPS_FORMAT_UCHAR));
    if (!image) return failed<std::unique_ptr<Picture>>();
    image->Type = VIPS_INTERPRETATION_sRGB;
    return std::make_unique<VipsPicture>(std::move(image));
}

std::optional<std::vector<std::uint8_t>> VipsImaging::jpegData(const Picture& picture, double quality) {
    auto* image = static_cast<const VipsPicture&>(picture).image();
    void* buffer = nullptr;
    size_t length = 0;
    int q = std::clamp(static_cast<int>(quality * 100 + 0.5), 1, 100);
    if (vips_jpegsave_buffer(image, &buffer, &length, "Q", q, "strip", TRUE, nullptr) != 0)
        return failed<std::optional<std::vector<std::uint8_t>>>();
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::vector<std::uint8_t> out(bytes, bytes + length);
    g_free(buffer);
    return out;
}

}  // namespace lumivane
