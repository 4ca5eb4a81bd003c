#include "platform/capture_time.h"

#include <ctime>

namespace lumivane {

namespace {

// Reads exactly `digits` decimal digits at `at`, moving past them.
std::optional<int> number(std::string_view text, std::size_t& at, int digits) {
    if (at + digits > text.size()) return std::nullopt;
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        char c = text[at + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    at += digits;
    return value;
}

bool expect(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

struct WallClock {
    int year, month, day, hour, minute, second;
};

// "YYYY<d>MM<d>DD<t>hh:mm:ss" from `at`.
std::optional<WallClock> wallClock(std::string_view text, std::size_t& at, char dateSeparator, char timeSeparator) {
    auto year = number(text, at, 4);
    if (!year || !expect(text, at, dateSeparator)) return std::nullopt;
    auto month = number(text, at, 2);
    if (!month || !expect(text, at, dateSeparator)) return std::nullopt;
    auto day = number(text, at, 2);
    if (!day || !expect(text, at, timeSeparator)) return std::nullopt;
    auto hour = number(text, at, 2);
    if (!hour || !expect(text, at, ':')) return std::nullopt;
    auto minute = number(text, at, 2);
    if (!minute || !expect(text, at, ':')) return std::nullopt;
    auto second = number(text, at, 2);
    if (!second) return std::nullopt;
    WallClock clock{*year, *month, *day, *hour, *minute, *second};
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (clock.year < 1900 || clock.month < 1 || clock.month > 12 || clock.day < 1 ||
        clock.day > kDays[clock.month - 1] || clock.hour > 23 || clock.minute > 59 || clock.second > 60)
        return std::nullopt;
    return clock;
}

std::tm asTm(const WallClock& clock) {
    std::tm tm{};
    tm.tm_year = clock.year - 1900;
    tm.tm_mon = clock.month - 1;
    tm.tm_mday = clock.day;
    tm.tm_hour = clock.hour;
    tm.tm_min = clock.minute;
    tm.tm_sec = clock.second;
    tm.tm_isdst = -1;
    return tm;
}

// "+hh:mm", "+hhmm", "+hh" or "Z" from `at` to the end: the offset east of
// UTC in seconds.
std::optional<int> zone(std::string_view text, std::size_t& at) {
    if (at < text.size() && text[at] == 'Z') return ++at, 0;
    if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return std::nullopt;
    int sign = text[at++] == '-' ? -1 : 1;
    auto hours = number(text, at, 2);
    if (!hours || *hours > 14) return std::nullopt;
    int minutes = 0;
    if (at < text.size()) {
        if (text[at] == ':') ++at;
        auto read = number(text, at, 2);
        if (!read || *read > 59) return std::nullopt;
        minutes = *read;
    }
    return sign * (*hours * 3600 + minutes * 60);
}

}  // namespace

std::optional<std::int64_t> parseExifDateTime(std::string_view date, std::string_view offset) {
    // Some writers end the date with a NUL or pad it with spaces.
    while (!date.empty() && (date.back() == '\0' || date.back() == ' ')) date.remove_suffix(1);
    while (!offset.empty() && (offset.back() == '\0' || offset.back() == ' ')) offset.remove_suffix(1);
    std::size_t at = 0;
    auto clock = wallClock(date, at, ':', ' ');
    if (!clock || at != date.size()) return std::nullopt;
    auto tm = asTm(*clock);
    if (offset.empty()) {
        std::time_t local = std::mktime(&tm);
        if (local == -1) return std::nullopt;
        return std::int64_t{local};
    }
    std::size_t zoneAt = 0;
    auto east = zone(offset, zoneAt);
    if (!east || zoneAt != offset.size()) return std::nullopt;
    return std::int64_t{timegm(&tm)} - *east;
}

std::optional<std::int64_t> parseIsoDateTime(std::string_view date) {
    while (!date.empty() && (date.back() == '\0' || date.back() == ' ')) date.remove_suffix(1);
    std::size_t at = 0;
    auto clock = wallClock(date, at, '-', 'T');
    if (!clock) return std::nullopt;
    if (at < date.size() && date[at] == '.') {
        ++at;
        std::size_t digits = 0;
        while (at < date.size() && date[at] >= '0' && date[at] <= '9') ++at, ++digits;
        if (digits == 0) return std::nullopt;
    }
    int east = 0;
    if (at < date.size()) {
        auto read = zone(date, at);
        if (!read || at != date.size()) return std::nullopt;
        east = *read;
    }
    auto tm = asTm(*clock);
    return std::int64_t{timegm(&tm)} - east;
}

}  // namespace lumivane
