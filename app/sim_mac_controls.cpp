#include "app/sim_mac_controls.h"

#include "channel/arguments.h"

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

}  // namespace

void installSimMacControls(SimControl& control, SimMac& mac) {
    control.add("screens.set", [&mac](const EncodableValue& arguments, MethodResult& result) {
        auto* screens = Arguments(arguments).list("screens");
        if (!screens) {
            result.error("args", "\"screens\" must be a list of [x, y, width, height].");
            return;
        }
        std::vector<Rect> frames;
        for (const auto& screen : *screens) {
            auto frame = rect(screen);
            if (!frame) {
                result.error("args", "Each screen must be [x, y, width, height] with a positive size.");
                return;
            }
            frames.push_back(*frame);
        }
        mac.windows().simulateScreens(std::move(frames));
        result.success();
    });
    control.add("window.get", [&mac](const EncodableValue&, MethodResult& result) {
        SimWindow* window = mac.windows().window();
        if (!window) {
            result.success();
            return;
        }
        Rect f = window->frame();
        Size min = window->contentMinSize();
        result.success(EncodableMap{{"frame", doubles({f.x, f.y, f.width, f.height})},
                                    {"minSize", doubles({min.width, min.height})},
                                    {"styleMask", static_cast<std::int64_t>(window->styleMask())},
                                    {"movable", window->movable()},
                                    {"autosaveName", window->autosaveName()}});
    });
    control.add("window.close", [&mac](const EncodableValue&, MethodResult& result) {
        result.success();
        mac.windows().simulateCloseWindow();
    });
    control.add("openedURLs", [&mac](const EncodableValue&, MethodResult& result) {
        EncodableList urls;
        for (const auto& url : mac.workspace().openedURLs()) urls.push_back(url);
        result.success(urls);
    });
    control.add("usbmux.add", [&mac](const EncodableValue& arguments, MethodResult& result) {
        Arguments args(arguments);
        auto udid = args.string("udid");
        if (!udid || udid->empty()) {
            result.error("args", "\"udid\" must be a non-empty string.");
            return;
        }
        SimUsbmuxDaemon::Device device;
        device.udid = *udid;
        device.name = args.string("name").value_or("iPhone");
        device.deviceClass = args.string("deviceClass").value_or(device.deviceClass);
        device.productType = args.string("productType").value_or(device.productType);
        device.osVersion = args.string("osVersion").value_or(device.osVersion);
        device.readable = args.boolean("readable").value_or(true);
        device.usb = device.wifi = false;
        if (auto* links = args.list("links")) {
            for (const auto& link : *links) {
                auto* text = link.get<std::string>();
                if (text && *text == "usb") device.usb = true;
                else if (text && *text == "wifi") device.wifi = true;
                else {
                    result.error("args", "Each link must be \"usb\" or \"wifi\".");
                    return;
                }
            }
        } else {
            device.usb = true;
        }
        mac.usbmux().addDevice(std::move(device));
        result.success();
    });
    control.add("usbmux.remove", [&mac](const EncodableValue& arguments, MethodResult& result) {
        auto udid = Arguments(arguments).string("udid");
        result.success(udid && mac.usbmux().removeDevice(*udid));
    });
    control.add("journal", [&mac](const EncodableValue&, MethodResult& result) {
        EncodableList entries;
        for (const auto& entry : mac.journal().entries()) entries.push_back(entry);
        result.success(entries);
    });
}

}  // namespace lumivane
