#include "bridges/import/item_groups.h"

#include <cctype>
#include <map>
#include <utility>

#include "bridges/import/item_copy.h"

namespace lumivane {

namespace {

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

bool isSidecar(const std::string& name) {
    auto extension = lower(ItemCopy::splitExtension(name).second);
    return extension == "xmp" || extension == "aae";
}

bool isXmp(const std::string& name) { return lower(ItemCopy::splitExtension(name).second) == "xmp"; }

std::vector<std::vector<std::size_t>> groupByStem(const std::vector<std::string>& paths) {
    using Key = std::pair<std::string, std::string>;  // folder and stem, lower case
    std::map<Key, std::size_t> groupOf;
    std::vector<std::vector<std::size_t>> groups;
    auto keyOf = [](const std::string& path, const std::string& stem) {
        return Key{lower(parentOf(path)), lower(stem)};
    };
    auto join = [&](const Key& key, std::size_t index) {
        auto [at, added] = groupOf.try_emplace(key, groups.size());
        if (added) groups.emplace_back();
        groups[at->second].push_back(index);
    };
    std::vector<std::size_t> sidecars;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        auto name = ItemCopy::baseName(paths[i]);
        if (isSidecar(name)) {
            sidecars.push_back(i);
            continue;
        }
        join(keyOf(paths[i], ItemCopy::splitExtension(name).first), i);
    }
    for (auto i : sidecars) {
        // "IMG_1.XMP" and "IMG_1.CR2.xmp" both go with IMG_1's group.
        auto stem = ItemCopy::splitExtension(ItemCopy::baseName(paths[i])).first;
        auto key = keyOf(paths[i], stem);
        if (!groupOf.count(key)) {
            auto bare = keyOf(paths[i], ItemCopy::splitExtension(stem).first);
            if (groupOf.count(bare)) key = bare;
        }
        join(key, i);
    }
    return groups;
}

}  // namespace lumivane
