// "openedURLs": what the simulated workspace was asked to open.
#include "app/sim_control/sim_control.h"

namespace lumivane {

void installWorkspaceControls(SimControl& control, SimMac& mac) {
    control.add("openedURLs", [&mac](const EncodableValue&, MethodResult& result) {
        EncodableList urls;
        for (const auto& url : mac.workspace().openedURLs()) urls.push_back(url);
        result.success(urls);
    });
}

}  // namespace lumivane
