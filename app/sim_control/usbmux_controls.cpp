// "usbmux.add", "usbmux.remove": the devices the simulated usbmux daemon lists.
#include "app/sim_control/sim_control.h"

namespace lumivane {

namespace {

void addDevice(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto udid = args.required("udid");
    if (!udid) return;
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
            if (text && *text == "usb")
                device.usb = true;
            else if (text && *text == "wifi")
                device.wifi = true;
            else
                return args.fail("Each link must be \"usb\" or \"wifi\".");
        }
    } else {
        device.usb = true;
    }
    mac.usbmux().addDevice(std::move(device));
    result.success();
}

}  // namespace

void installUsbmuxControls(SimControl& control, SimMac& mac) {
    control.add("usbmux.add",
                [&mac](const EncodableValue& arguments, MethodResult& result) { addDevice(mac, arguments, result); });
    control.add("usbmux.remove", [&mac](const EncodableValue& arguments, MethodResult& result) {
        auto udid = Arguments(arguments).string("udid");
        result.success(udid && mac.usbmux().removeDevice(*udid));
    });
}

}  // namespace lumivane
