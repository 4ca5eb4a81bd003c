#include "tools/common/program_info.h"

#include <iostream>
#include <string_view>

namespace lumivane {

const char* projectVersion() { return LUMIVANE_VERSION; }

std::optional<int> answerHelpOrVersion(int argc, char** argv, const char* program, const std::string& usage) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << program << " " << projectVersion() << "\n";
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace lumivane
