#pragma once
#include "platform/imaging.h"

namespace lumivane {

// Imaging that also reads RAW files (CR2, CR3, NEF, ARW, DNG, ORF, RW2, RAF
// and the rest LibRaw knows): a RAW file's picture is the JPEG preview its
// camera embedded, found by LibRaw and decoded by the imaging it wraps, so
// cameras, cards and files show RAW photos without developing them. Every
// other file and every other call goes to the wrapped imaging as it is.
//
// Thread-safe as the wrapped imaging is (LibRaw's reentrant build, one
// processor per call).
class RawPreviewImaging final : public Imaging {
public:
    explicit RawPreviewImaging(Imaging& inner) : inner_(inner) {}

    std::unique_ptr<ImageSource> sourceWithData(std::vector<std::uint8_t> data) override {
        return inner_.sourceWithData(std::move(data));
    }
    std::unique_ptr<ImageSource> sourceAtPath(const std::string& path) override;
    std::unique_ptr<Picture> pictureWithRGB(int width, int height, std::vector<std::uint8_t> rgb) override {
        return inner_.pictureWithRGB(width, height, std::move(rgb));
    }
    std::optional<std::vector<std::uint8_t>> jpegData(const Picture& picture, double quality) override {
        return inner_.jpegData(picture, quality);
    }

    // Whether the name is one of the RAW formats (by extension, any case).
    static bool isRawName(const std::string& name);
    // The JPEG preview embedded in the RAW file, or none.
    static std::optional<std::vector<std::uint8_t>> embeddedPreview(const std::string& path);

    static constexpr std::size_t kMaxPreviewBytes = std::size_t{64} << 20;

private:
    Imaging& inner_;
};

}  // namespace lumivane
