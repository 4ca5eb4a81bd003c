// "airdrop.available", "airdrop.canSend", "airdrop.picker", "airdrop.window",
// "airdrop.read", "airdrop.shared", "airdrop.failed", "airdrop.last": the
// simulated Mac's AirDrop. The first two share their names with the host's
// methods but live on "sim/control".
#include "app/sim_control/sim_control.h"

namespace lumivane {

namespace {

void onOff(SimControl& control, const char* name, std::function<void(bool)> set) {
    control.add(name, [set = std::move(set)](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        auto on = args.boolean("on");
        if (!on) return args.fail("\"on\" must be a boolean.");
        set(*on);
        result.success();
    });
}

// "perform": which perform reports (its number from 0); absent: the last.
// None (after answering the error) when it is not a number from 0.
std::optional<std::optional<std::size_t>> which(ControlArgs& args) {
    auto perform = args.integer("perform");
    if (!perform) return std::optional<std::size_t>();
    if (*perform < 0) {
        args.fail("\"perform\" must be a perform's number, from 0.");
        return std::nullopt;
    }
    return std::optional<std::size_t>(std::size_t(*perform));
}

}  // namespace

void installAirDropControls(SimControl& control, SimMac& mac) {
    SimSharing& sharing = mac.sharing();
    onOff(control, "airdrop.available", [&sharing](bool on) { sharing.setAvailable(on); });
    onOff(control, "airdrop.canSend", [&sharing](bool on) { sharing.setCanSend(on); });
    control.add("airdrop.picker", [&sharing](const EncodableValue&, MethodResult& result) {
        sharing.windowBecomesKey("SHKRemoteWindow");
        result.success();
    });
    control.add("airdrop.window", [&sharing](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        if (auto className = args.required("className")) {
            sharing.windowBecomesKey(*className);
            result.success();
        }
    });
    control.add("airdrop.read", [&sharing](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        auto index = args.integer("index");
        if (!index || *index < 0) return args.fail("\"index\" must be a file's position, from 0.");
        result.success(sharing.readSharedFile(std::size_t(*index)));
    });
    control.add("airdrop.shared", [&sharing](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        auto count = args.integer("count");
        if (count && *count < 0) return args.fail("\"count\" must not be negative.");
        auto perform = which(args);
        if (!perform) return;
        result.success(sharing.reportShared(count ? std::optional<std::size_t>(*count) : std::nullopt, *perform));
    });
    control.add("airdrop.failed", [&sharing](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        auto domain = args.required("domain");
        if (!domain) return;
        auto code = args.integer("code");
        if (!code) return args.fail("\"code\" must be an integer.");
        auto perform = which(args);
        if (!perform) return;
        result.success(sharing.reportFailed({*domain, *code, args.string("description").value_or("")}, *perform));
    });
    control.add("airdrop.last", [&sharing](const EncodableValue&, MethodResult& result) {
        const auto& last = sharing.lastPerform();
        if (!last) return result.success();
        EncodableList urls;
        for (const auto& url : last->urls) urls.emplace_back(url);
        result.success(EncodableMap{{"urls", urls}, {"activated", last->activated}});
    });
}

}  // namespace lumivane
