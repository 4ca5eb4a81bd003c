#pragma once

namespace lumivane {

// Where a piece of work was handed over: a default argument of
// `Origin::current()` is its caller's file, line and function (what
// std::source_location gives, which not every compiler here has).
struct Origin {
    const char* file = "";
    unsigned line = 0;
    const char* function = "";

    static constexpr Origin current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                    const char* function = __builtin_FUNCTION()) {
        return {file, line, function};
    }
};

}  // namespace lumivane
