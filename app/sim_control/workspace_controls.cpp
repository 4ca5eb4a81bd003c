// "openedURLs", "revealed": what the simulated workspace was asked to open
// and to show in the file manager. "panel.answer", "panel.last": the
// simulated file chooser. "notifications", "notification.activate": the
// notices shown, and picking one's action as the person would.
#include "app/sim_control/sim_control.h"

namespace lumivane {

namespace {

EncodableList texts(const std::vector<std::string>& values) {
    EncodableList list;
    for (const auto& value : values) list.push_back(value);
    return list;
}

void answerPanel(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto* path = args.value("path");
    if (path && !path->isNull() && !path->get<std::string>()) return args.fail("\"path\" must be a string or null.");
    OpenPanel::Outcome outcome;
    outcome.ok = args.boolean("ok").value_or(true);
    if (path && path->get<std::string>()) outcome.path = *path->get<std::string>();
    mac.openPanel().setAnswer(outcome);
    result.success();
}

void lastPanel(SimMac& mac, MethodResult& result) {
    const auto& last = mac.openPanel().last();
    if (!last) return result.success();
    EncodableMap map{{"title", last->title}, {"prompt", last->prompt}};
    map.set("start", last->directory ? EncodableValue(*last->directory) : EncodableValue());
    map.set("canChooseFiles", last->canChooseFiles);
    map.set("canChooseDirectories", last->canChooseDirectories);
    map.set("canCreateDirectories", last->canCreateDirectories);
    map.set("allowsMultipleSelection", last->allowsMultipleSelection);
    result.success(map);
}

}  // namespace

void installWorkspaceControls(SimControl& control, SimMac& mac) {
    control.add("openedURLs", [&mac](const EncodableValue&, MethodResult& result) {
        result.success(texts(mac.workspace().openedURLs()));
    });
    control.add("revealed", [&mac](const EncodableValue&, MethodResult& result) {
        result.success(texts(mac.workspace().revealedURLs()));
    });
    control.add("panel.answer",
                [&mac](const EncodableValue& arguments, MethodResult& result) { answerPanel(mac, arguments, result); });
    control.add("panel.last", [&mac](const EncodableValue&, MethodResult& result) { lastPanel(mac, result); });
    control.add("notifications", [&mac](const EncodableValue&, MethodResult& result) {
        EncodableList notices;
        for (const auto& notice : mac.notifications().shown())
            notices.push_back(EncodableMap{{"title", notice.title}, {"body", notice.body}, {"action", notice.action}});
        result.success(notices);
    });
    control.add("notification.activate", [&mac](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        auto index = args.integer("index");
        if (!index || *index < 0) return args.fail("\"index\" must be a notice's place, from 0.");
        if (!mac.notifications().activate(static_cast<std::size_t>(*index)))
            return args.fail("That notice has no action to pick.");
        result.success();
    });
}

}  // namespace lumivane
