// "screens.set", "window.get", "window.close": the simulated Mac's screens and
// its one main window.
#include "app/sim_control/sim_control.h"

namespace lumivane {

namespace {

std::optional<double> number(const EncodableValue& value) {
    if (auto i = value.integer()) return static_cast<double>(*i);
    if (auto* d = value.get<double>()) return *d;
    return std::nullopt;
}

// [x, y, width, height] with a positive size.
std::optional<Rect> rect(const EncodableValue& value) {
    auto* list = value.get<EncodableList>();
    if (!list || list->size() != 4) return std::nullopt;
    double parts[4];
    for (int i = 0; i < 4; ++i) {
        auto n = number((*list)[i]);
        if (!n) return std::nullopt;
        parts[i] = *n;
    }
    if (parts[2] <= 0 || parts[3] <= 0) return std::nullopt;
    return Rect{parts[0], parts[1], parts[2], parts[3]};
}

EncodableValue doubles(std::initializer_list<double> values) {
    EncodableList list;
    for (double v : values) list.push_back(v);
    return list;
}

void setScreens(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto* screens = args.list("screens");
    if (!screens) return args.fail("\"screens\" must be a list of [x, y, width, height].");
    std::vector<Rect> frames;
    for (const auto& screen : *screens) {
        auto frame = rect(screen);
        if (!frame) return args.fail("Each screen must be [x, y, width, height] with a positive size.");
        frames.push_back(*frame);
    }
    mac.windows().setScreens(std::move(frames));
    result.success();
}

void getWindow(SimMac& mac, MethodResult& result) {
    HeadlessWindow* window = mac.windows().window();
    if (!window) return result.success();
    Rect f = window->frame();
    Size min = window->contentMinSize();
    result.success(EncodableMap{{"frame", doubles({f.x, f.y, f.width, f.height})},
                                {"minSize", doubles({min.width, min.height})},
                                {"styleMask", static_cast<std::int64_t>(window->styleMask())},
                                {"movable", window->movable()},
                                {"autosaveName", window->autosaveName()}});
}

}  // namespace

void installWindowControls(SimControl& control, SimMac& mac) {
    control.add("screens.set",
                [&mac](const EncodableValue& arguments, MethodResult& result) { setScreens(mac, arguments, result); });
    control.add("window.get", [&mac](const EncodableValue&, MethodResult& result) { getWindow(mac, result); });
    control.add("window.close", [&mac](const EncodableValue&, MethodResult& result) {
        result.success();  // answered first: closing the window quits the host
        mac.windows().closeMainWindow();
    });
}

}  // namespace lumivane
