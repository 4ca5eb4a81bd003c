#include "app/sim_mac_controls.h"

#include <map>
#include <memory>
#include <set>

#include "channel/arguments.h"
#include "platform/mobile_device.h"
#include "platform/property_list.h"

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

// A channel value as a lockdown value (strings, booleans, numbers); null for
// anything else.
plist_t toPlist(const EncodableValue& value) {
    if (auto* text = value.get<std::string>()) return plist_new_string(text->c_str());
    if (auto* flag = value.get<bool>()) return plist_new_bool(*flag);
    if (auto n = value.integer()) return plist_new_uint(static_cast<std::uint64_t>(*n));
    if (auto* d = value.get<double>()) return plist_new_real(*d);
    return nullptr;
}

// What the simulated usbmux daemon should list for the simulated phones.
struct PhoneMirror {
    std::map<std::string, SimUsbmuxDaemon::Device> devices;
};

void installPhoneControls(SimControl& control, SimMac& mac) {
    auto mirror = std::make_shared<PhoneMirror>();
    auto phoneArgs = [&mac](const EncodableValue& arguments, MethodResult& result) -> std::optional<std::string> {
        if (!mac.phones().ready()) {
            result.error("unavailable", "No simulated MobileDevice provider is loaded.");
            return std::nullopt;
        }
        auto udid = Arguments(arguments).string("udid");
        if (!udid || udid->empty()) {
            result.error("args", "\"udid\" must be a non-empty string.");
            return std::nullopt;
        }
        return udid;
    };
    auto answer = [](MethodResult& result, std::int32_t code) {
        if (code == 0)
            result.success();
        else
            result.error("sim", "The simulated provider refused it (is the phone added?).");
    };
    auto linkOf = [](const EncodableValue& arguments) -> std::optional<std::uint32_t> {
        auto link = Arguments(arguments).string("link");
        if (link == std::optional<std::string>("usb")) return kAMDInterfaceUSB;
        if (link == std::optional<std::string>("wifi")) return kAMDInterfaceWiFi;
        return std::nullopt;
    };

    control.add("phone.add", [&mac, phoneArgs, answer, mirror](const EncodableValue& arguments, MethodResult& result) {
        auto udid = phoneArgs(arguments, result);
        if (!udid) return;
        Arguments args(arguments);
        auto root = args.string("root");
        if (!root || root->empty()) {
            result.error("args", "\"root\" must name the phone's folder.");
            return;
        }
        auto name = args.string("name").value_or("iPhone");
        auto& device = mirror->devices[*udid];
        device = SimUsbmuxDaemon::Device{.udid = *udid, .name = name, .usb = false, .wifi = false};
        mac.usbmux().removeDevice(*udid);
        answer(result, mac.phones().LVSimAddPhone(udid->c_str(), name.c_str(), root->c_str(),
                                                  args.boolean("trusted").value_or(true)));
    });
    for (bool attach : {true, false}) {
        control.add(attach ? "phone.attach" : "phone.detach",
                    [&mac, phoneArgs, answer, linkOf, mirror, attach](const EncodableValue& arguments,
                                                                      MethodResult& result) {
                        auto udid = phoneArgs(arguments, result);
                        if (!udid) return;
                        auto link = linkOf(arguments);
                        if (!link) {
                            result.error("args", "\"link\" must be \"usb\" or \"wifi\".");
                            return;
                        }
                        auto code = attach ? mac.phones().LVSimAttach(udid->c_str(), *link)
                                           : mac.phones().LVSimDetach(udid->c_str(), *link);
                        if (code == 0 && mirror->devices.count(*udid)) {
                            auto& device = mirror->devices[*udid];
                            (*link == kAMDInterfaceUSB ? device.usb : device.wifi) = attach;
                            if (device.usb || device.wifi)
                                mac.usbmux().addDevice(device);
                            else
                                mac.usbmux().removeDevice(*udid);
                        }
                        answer(result, code);
                    });
    }
    control.add("phone.set", [&mac, phoneArgs, answer](const EncodableValue& arguments, MethodResult& result) {
        auto udid = phoneArgs(arguments, result);
        if (!udid) return;
        Arguments args(arguments);
        std::int32_t code = 0;
        if (auto trusted = args.boolean("trusted")) code |= mac.phones().LVSimSetTrusted(udid->c_str(), *trusted);
        if (auto latency = args.integer("latencyMs"); latency && *latency >= 0)
            code |= mac.phones().LVSimSetLatency(udid->c_str(), static_cast<std::uint32_t>(*latency * 1000));
        if (auto* hidden = args.list("hiddenInfoKeys"))
            for (const auto& key : *hidden)
                if (auto* text = key.get<std::string>()) code |= mac.phones().LVSimHideInfoKey(udid->c_str(), text->c_str());
        if (auto* values = args.map("values")) {
            for (const auto& [domain, keys] : *values) {
                auto* domainText = domain.get<std::string>();
                auto* keyMap = keys.get<EncodableMap>();
                if (!domainText || !keyMap) continue;
                for (const auto& [key, value] : *keyMap) {
                    auto* keyText = key.get<std::string>();
                    Plist node(toPlist(value));
                    if (keyText && node)
                        code |= mac.phones().LVSimSetValue(udid->c_str(), domainText->c_str(), keyText->c_str(),
                                                           node.get());
                }
            }
        }
        answer(result, code);
    });
    control.add("phone.fault", [&mac, phoneArgs, answer](const EncodableValue& arguments, MethodResult& result) {
        auto udid = phoneArgs(arguments, result);
        if (!udid) return;
        Arguments args(arguments);
        auto op = args.string("op");
        static const std::set<std::string> kOps{"dir", "info", "open", "read", "service"};
        auto code = args.integer("code");
        if (!op || !kOps.count(*op) || !code) {
            result.error("args", "\"op\" must be dir, info, open, read or service, with an integer \"code\".");
            return;
        }
        auto path = args.string("path");
        answer(result, mac.phones().LVSimAddFault(udid->c_str(), op->c_str(), static_cast<std::int32_t>(*code),
                                                  static_cast<std::uint32_t>(std::max<std::int64_t>(1, args.integer("nth").value_or(1))),
                                                  path ? path->c_str() : nullptr, args.boolean("detach").value_or(false)));
    });
}

}  // namespace

void installSimMacControls(SimControl& control, SimMac& mac) {
    installPhoneControls(control, mac);
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
