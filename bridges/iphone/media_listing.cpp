#include "bridges/iphone/media_listing.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace lumivane {

void MediaListing::addFolder(std::string_view name) { folders_.emplace_back(name); }

bool MediaListing::addFile(std::string_view name) {
    if (files_.size() >= maxFiles_ || names_.size() + name.size() > std::numeric_limits<std::uint32_t>::max())
        return false;
    File file;
    file.folder = static_cast<std::uint32_t>(folders_.size() - 1);
    file.nameAt = static_cast<std::uint32_t>(names_.size());
    file.nameSize = static_cast<std::uint32_t>(name.size());
    file.sortNumber = sortNumber(name);
    names_.append(name);
    files_.push_back(file);
    return true;
}

std::string MediaListing::path(std::size_t i) const {
    std::string path(folder(i));
    if (!path.empty()) path += '/';
    path += name(i);
    return path;
}

void MediaListing::setSize(std::size_t i, std::int64_t size, std::int64_t modified) {
    auto& file = files_[i];
    file.sized = true;
    file.size = size;
    file.modified = modified;
}

std::int64_t MediaListing::sortNumber(std::string_view name) {
    auto first = std::find_if(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
    auto last = std::find_if(first, name.end(), [](char c) { return c < '0' || c > '9'; });
    if (first == last) return 0;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(&*first, &*first + (last - first), value);
    return error == std::errc() ? value : 0;
}

void MediaListing::sort() {
    // Folders rank by name, descending; equal keys keep the order the files
    // were added in, which their names' offsets record, so the sort needs
    // no buffer of its own.
    std::vector<std::uint32_t> byName(folders_.size()), rank(folders_.size());
    for (std::uint32_t f = 0; f < byName.size(); ++f) byName[f] = f;
    std::stable_sort(byName.begin(), byName.end(),
                     [this](std::uint32_t a, std::uint32_t b) { return folders_[a] > folders_[b]; });
    for (std::uint32_t r = 0; r < byName.size(); ++r)
        rank[byName[r]] = r > 0 && folders_[byName[r]] == folders_[byName[r - 1]] ? rank[byName[r - 1]] : r;
    std::sort(files_.begin(), files_.end(), [&rank](const File& a, const File& b) {
        if (rank[a.folder] != rank[b.folder]) return rank[a.folder] < rank[b.folder];
        if (a.sortNumber != b.sortNumber) return a.sortNumber > b.sortNumber;
        return a.nameAt < b.nameAt;
    });
}

void MediaListing::write(ValueWriter& writer) const {
    writer.list(files_.size());
    std::string path;
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const auto& file = files_[i];
        bool modified = file.sized && file.modified >= 1;
        writer.map(3 + (file.sized ? 1 : 0) + (modified ? 1 : 0));
        writer.string("path");
        writer.string(folder(i).empty() ? name(i) : path.assign(folder(i)).append("/").append(name(i)));
        writer.string("name");
        writer.string(name(i));
        writer.string("dir");
        writer.boolean(false);
        if (file.sized) {
            writer.string("size");
            writer.integer(file.size);
        }
        if (modified) {
            writer.string("modified");
            writer.integer(file.modified);
        }
    }
}

EncodableMap MediaListing::entry(std::size_t i) const {
    const auto& file = files_[i];
    EncodableMap entry{{"path", path(i)}, {"name", std::string(name(i))}, {"dir", false}};
    if (file.sized) {
        entry.set("size", file.size);
        if (file.modified >= 1) entry.set("modified", file.modified);
    }
    return entry;
}

std::size_t MediaListing::encodedSizeHint() const {
    // Per file: the map, its keys and tags, two integers and the path's
    // folder and slash; then both names.
    std::size_t bytes = 8;
    for (const auto& file : files_) bytes += 64 + folders_[file.folder].size();
    return bytes + 2 * names_.size();
}

}  // namespace lumivane
