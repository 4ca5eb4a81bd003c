#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channel/value_writer.h"

namespace lumivane {

// The photos and videos of a phone's camera roll as one scan found them,
// compact: folder names are held once, file names in one shared buffer, and
// each file's size and time beside them, about 40 bytes and its name per
// file. An answer is encoded straight from it, with no per-entry maps.
//
// Built and read by one thread at a time; sizes may be set from several
// threads at once for different files.
class MediaListing {
public:
    struct File {
        std::uint32_t folder = 0;  // index into folders()
        std::uint32_t nameAt = 0;  // offset of the name in the shared buffer
        std::uint32_t nameSize = 0;
        bool sized = false;
        std::int64_t size = 0;
        std::int64_t modified = 0;  // ms since 1970; below 1: none
        std::int64_t sortNumber = 0;
    };

    // A phone's camera roll holds far fewer; a listing that claims more is
    // refused rather than grown without end.
    static constexpr std::size_t kMaxFiles = 4'000'000;
    explicit MediaListing(std::size_t maxFiles = kMaxFiles) : maxFiles_(maxFiles) {}

    // Files added next are in this folder.
    void addFolder(std::string_view name);
    // False, adding nothing, once the listing is full.
    [[nodiscard]] bool addFile(std::string_view name);

    std::size_t size() const { return files_.size(); }
    std::string_view folder(std::size_t i) const { return folders_[files_[i].folder]; }
    std::string_view name(std::size_t i) const { return {names_.data() + files_[i].nameAt, files_[i].nameSize}; }
    // "<folder>/<name>", or the name alone in the top folder ("").
    std::string path(std::size_t i) const;
    void setSize(std::size_t i, std::int64_t size, std::int64_t modified);

    // Newest first as a phone numbers them: folder name descending, then the
    // name's first number descending; listing order kept for equal keys.
    void sort();

    // The answer: a list of {"path", "name", "dir": false, "size" and
    // "modified" when known} maps.
    void write(ValueWriter& writer) const;
    // The same map for one file.
    EncodableMap entry(std::size_t i) const;
    // About how many bytes write() takes, to reserve them at once.
    std::size_t encodedSizeHint() const;

    // The first run of decimal digits as an integer; 0 when there is none or
    // it does not fit.
    static std::int64_t sortNumber(std::string_view name);

private:
    std::size_t maxFiles_;
    std::vector<std::string> folders_;
    std::string names_;
    std::vector<File> files_;
};

}  // namespace lumivane
