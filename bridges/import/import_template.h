#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "runtime/result.h"

namespace lumivane {

// What an item's name is made of when it is imported.
struct ImportNameFields {
    std::int64_t captureTime = 0;  // seconds since 1970 UTC; shown in this machine's local time
    std::string name;              // the original name without its extension
    std::string extension;         // without the dot, as on the device
    std::int64_t sequence = 1;     // the item's place in the job, from 1
    std::string device;            // the device's name
    std::string shoot = {};        // "{job}": the shoot's name given at import
};

// A subfolder or file-name template: text with the tokens {YYYY} {MM} {DD}
// {hh} {mm} {ss} (the capture time), {name}, {ext}, {seq}, {device} and
// {job} (the shoot's name).
// parse() refuses what could lead outside the destination: an absolute
// template, a "." or ".." part, an empty part ("a//b", a trailing "/"), and
// a name template with any "/" at all, a control character, and a template
// whose shortest rendering is longer than a name can be. A token's value never adds a folder:
// its "/" become "_", and a part that renders to nothing, "." or ".." is
// refused at render().
//
// Immutable once parsed; any thread.
class ImportTemplate {
public:
    enum class Kind { folders, fileName };
    static Result<ImportTemplate> parse(const std::string& text, Kind kind);

    // The folder path below the destination ("" for none) or the file name's stem.
    Result<std::string> render(const ImportNameFields& fields) const;
    const std::string& text() const { return text_; }
    // Whether it names the shoot ({job}), which an import must then be given.
    bool usesShoot() const;

    // The longest name a file system takes, and what a file name's stem
    // leaves for " 9999" and its extension.
    static constexpr std::size_t kMaxName = 255;
    static constexpr std::size_t kRoomForExtension = 15;

private:
    enum class Token { year, month, day, hour, minute, second, name, extension, sequence, device, shoot };
    // The fewest bytes a token renders to.
    static std::size_t shortest(Token token);
    using Piece = std::variant<std::string, Token>;
    std::string text_;
    std::vector<Piece> pieces_;
};

}  // namespace lumivane
