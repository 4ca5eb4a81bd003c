#pragma once

namespace lumivane {

// Points, with the origin at the bottom left of the main screen, as on the Mac.
// Plain values; any thread.
struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    Size size() const { return {width, height}; }
};

}  // namespace lumivane
