// "phone.add", "phone.attach", "phone.detach", "phone.set", "phone.fault":
// the phones of the simulated MobileDevice provider.
#include <algorithm>
#include <set>

#include "app/sim_control/sim_control.h"
#include "platform/common/property_list.h"
#include "platform/mobile_device.h"

namespace lumivane {

namespace {

// Beyond this a latency only makes a test wait forever; larger values are
// taken as this.
constexpr std::int64_t kMaxLatencyMs = 60'000;

// A channel value as a lockdown value (strings, booleans, numbers); null for
// anything else.
plist_t toPlist(const EncodableValue& value) {
    if (auto* text = value.get<std::string>()) return plist_new_string(text->c_str());
    if (auto* flag = value.get<bool>()) return plist_new_bool(*flag);
    if (auto n = value.integer()) return plist_new_uint(static_cast<std::uint64_t>(*n));
    if (auto* d = value.get<double>()) return plist_new_real(*d);
    return nullptr;
}

// The phone a control names, once the provider is known to be loaded.
std::optional<std::string> phoneUdid(SimMac& mac, ControlArgs& args, MethodResult& result) {
    if (!mac.phones().ready()) {
        result.error("unavailable", "No simulated MobileDevice provider is loaded.");
        return std::nullopt;
    }
    return args.required("udid");
}

void answer(MethodResult& result, std::int32_t code) {
    if (code == 0)
        result.success();
    else
        result.error("sim", "The simulated provider refused it (is the phone added?).");
}

void addPhone(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto udid = phoneUdid(mac, args, result);
    if (!udid) return;
    auto root = args.required("root", "name the phone's folder");
    if (!root) return;
    answer(result,
           mac.addPhone(*udid, args.string("name").value_or("iPhone"), *root, args.boolean("trusted").value_or(true)));
}

void setLink(SimMac& mac, bool attached, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto udid = phoneUdid(mac, args, result);
    if (!udid) return;
    auto link = args.oneOf("link", {"usb", "wifi"}, "\"usb\" or \"wifi\"");
    if (!link) return;
    answer(result, mac.setPhoneLink(*udid, *link == "usb" ? kAMDInterfaceUSB : kAMDInterfaceWiFi, attached));
}

std::int32_t setValues(SimPhones& phones, const std::string& udid, const EncodableMap& values) {
    std::int32_t code = 0;
    for (const auto& [domain, keys] : values) {
        auto* domainText = domain.get<std::string>();
        auto* keyMap = keys.get<EncodableMap>();
        if (!domainText || !keyMap) continue;
        for (const auto& [key, value] : *keyMap) {
            auto* keyText = key.get<std::string>();
            Plist node(toPlist(value));
            if (keyText && node)
                code |= phones.LVSimSetValue(udid.c_str(), domainText->c_str(), keyText->c_str(), node.get());
        }
    }
    return code;
}

void setPhone(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto udid = phoneUdid(mac, args, result);
    if (!udid) return;
    auto& phones = mac.phones();
    std::int32_t code = 0;
    if (auto trusted = args.boolean("trusted")) code |= phones.LVSimSetTrusted(udid->c_str(), *trusted);
    if (args.boolean("refused").value_or(false)) code |= phones.LVSimSetTrusted(udid->c_str(), -1);
    if (auto latency = args.integer("latencyMs"); latency && *latency >= 0) {
        auto microseconds = std::min(*latency, kMaxLatencyMs) * 1000;
        code |= phones.LVSimSetLatency(udid->c_str(), static_cast<std::uint32_t>(microseconds));
    }
    if (auto* hidden = args.list("hiddenInfoKeys"))
        for (const auto& key : *hidden)
            if (auto* text = key.get<std::string>()) code |= phones.LVSimHideInfoKey(udid->c_str(), text->c_str());
    if (auto* values = args.map("values")) code |= setValues(phones, *udid, *values);
    answer(result, code);
}

void addFault(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto udid = phoneUdid(mac, args, result);
    if (!udid) return;
    auto op = args.string("op");
    auto code = args.integer("code");
    static const std::set<std::string> kOps{"dir", "info", "open", "read", "service", "connect", "session"};
    if (!op || !kOps.count(*op) || !code)
        return args.fail(
            "\"op\" must be dir, info, open, read, service, connect or session, with an integer \"code\".");
    auto nth = std::clamp<std::int64_t>(args.integer("nth").value_or(1), 1, UINT32_MAX);
    auto path = args.string("path");
    answer(result, mac.phones().LVSimAddFault(udid->c_str(), op->c_str(), static_cast<std::int32_t>(*code),
                                              static_cast<std::uint32_t>(nth), path ? path->c_str() : nullptr,
                                              args.boolean("detach").value_or(false)));
}

}  // namespace

void installPhoneControls(SimControl& control, SimMac& mac) {
    control.add("phone.add",
                [&mac](const EncodableValue& arguments, MethodResult& result) { addPhone(mac, arguments, result); });
    for (bool attached : {true, false}) {
        control.add(attached ? "phone.attach" : "phone.detach",
                    [&mac, attached](const EncodableValue& arguments, MethodResult& result) {
                        setLink(mac, attached, arguments, result);
                    });
    }
    control.add("phone.set",
                [&mac](const EncodableValue& arguments, MethodResult& result) { setPhone(mac, arguments, result); });
    control.add("phone.fault",
                [&mac](const EncodableValue& arguments, MethodResult& result) { addFault(mac, arguments, result); });
}

}  // namespace lumivane
