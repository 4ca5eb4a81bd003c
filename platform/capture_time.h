#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace lumivane {

// The date formats that photos and videos record their capture time in,
// read strictly: a field out of range, a missing part or trailing text is no
// date. Every result is seconds since 1970 UTC. Any thread.

// An EXIF date "YYYY:MM:DD hh:mm:ss" with its offset "+hh:mm" / "-hh:mm"
// (EXIF's OffsetTime fields); an empty offset reads the date as this
// machine's local time. A date of zeros (what cameras write for "unknown")
// is none.
std::optional<std::int64_t> parseExifDateTime(std::string_view date, std::string_view offset);

// An ISO 8601 date "YYYY-MM-DDThh:mm:ss" with optional fraction and a zone
// ("Z", "+hhmm", "+hh:mm"), as QuickTime's creation dates are written; no
// zone reads it as UTC, as containers store it.
std::optional<std::int64_t> parseIsoDateTime(std::string_view date);

}  // namespace lumivane
