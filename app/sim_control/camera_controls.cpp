// "camera.add", "camera.remove", "camera.lock", "camera.unlock",
// "camera.ready", "camera.close", "camera.items", "camera.set",
// "camera.ejectResult": the simulated camera devices.
#include <filesystem>

#include "app/sim_control/sim_control.h"

namespace lumivane {

namespace {

void add(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto root = args.required("root", "an existing folder");
    if (!root) return;
    std::error_code ignored;
    if (!std::filesystem::is_directory(*root, ignored)) return args.fail("\"root\" must be an existing folder.");
    SimCameraBrowser::DeviceSpec spec;
    spec.uuid = args.string("uuid");
    spec.name = args.string("name");
    spec.kind = args.string("kind");
    spec.transport = args.string("transport");
    spec.serial = args.string("serial");
    spec.root = *root;
    spec.canEject = args.boolean("canEject").value_or(true);
    if (auto* files = args.list("mediaFiles")) {
        spec.mediaFiles.emplace();
        for (const auto& file : *files)
            if (auto* path = file.get<std::string>()) spec.mediaFiles->push_back(*path);
    }
    spec.sessionError = args.integer("sessionError");
    spec.ready = args.boolean("ready").value_or(true);
    spec.camera = args.boolean("camera").value_or(true);
    result.success(mac.cameras().add(spec));
}

// A control on one device named by "id": answers whether there was one.
using DeviceControl = std::function<bool(SimCameraBrowser&, const std::string&, ControlArgs&)>;

SimControl::Control onDevice(SimMac& mac, DeviceControl control) {
    return [&mac, control](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        if (auto id = args.required("id")) result.success(control(mac.cameras(), *id, args));
    };
}

bool setBehaviour(SimCameraBrowser& cameras, const std::string& id, ControlArgs& args) {
    SimCameraBrowser::Behaviour behaviour;
    behaviour.chunkDelay =
        std::chrono::milliseconds(std::clamp<std::int64_t>(args.integer("chunkDelayMs").value_or(0), 0, 60'000));
    behaviour.noProgress = args.boolean("noProgress").value_or(false);
    behaviour.downloadError = args.string("downloadError");
    behaviour.thumbnailError = args.boolean("thumbnailError").value_or(false);
    return cameras.setBehaviour(id, behaviour);
}

}  // namespace

void installCameraControls(SimControl& control, SimMac& mac) {
    control.add("camera.add",
                [&mac](const EncodableValue& arguments, MethodResult& result) { add(mac, arguments, result); });
    control.add("camera.remove",
                onDevice(mac, [](auto& cameras, const auto& id, auto&) { return cameras.remove(id); }));
    control.add("camera.lock",
                onDevice(mac, [](auto& cameras, const auto& id, auto&) { return cameras.setLocked(id, true); }));
    control.add("camera.unlock",
                onDevice(mac, [](auto& cameras, const auto& id, auto&) { return cameras.setLocked(id, false); }));
    control.add("camera.ready",
                onDevice(mac, [](auto& cameras, const auto& id, auto&) { return cameras.makeReady(id); }));
    control.add("camera.close",
                onDevice(mac, [](auto& cameras, const auto& id, auto&) { return cameras.closeSession(id); }));
    control.add("camera.items", onDevice(mac, [](auto& cameras, const auto& id, ControlArgs& args) {
                    auto* added = args.list("added");
                    auto* removed = args.list("removed");
                    return cameras.itemsChanged(id, added && !added->empty(), removed && !removed->empty());
                }));
    control.add("camera.set", onDevice(mac, setBehaviour));
    control.add("camera.ejectResult", onDevice(mac, [](auto& cameras, const auto& id, ControlArgs& args) {
                    return cameras.setEjectError(id, args.string("error"));
                }));
}

}  // namespace lumivane
