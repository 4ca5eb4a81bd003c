// "library.load": the simulated Mac's photo library.
#include <filesystem>

#include "app/sim_control/sim_control.h"

namespace lumivane {

void installLibraryControls(SimControl& control, SimMac& mac) {
    // Points the library at a folder holding "library.json" and the asset
    // files; answers how many assets the listing holds.
    control.add("library.load", [&mac](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        auto folder = args.required("folder", "an existing folder");
        if (!folder) return;
        std::error_code ignored;
        if (!std::filesystem::is_directory(*folder, ignored))
            return args.fail("\"folder\" must be an existing folder.");
        result.success(std::int64_t(mac.library().load(*folder)));
    });
}

}  // namespace lumivane
