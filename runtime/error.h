#pragma once
#include <cerrno>
#include <string>

namespace lumivane {

// Why something failed: a code for callers that decide by it (a name taken
// means try the next one; cancelled means say nothing) and a message for a
// person, the system's own words for a system failure ("No space left on
// device"). The one error type of fallible work: it travels inside Result and
// becomes a channel error only at the channel edge. A plain value.
struct Error {
    enum class Code {
        failed,        // anything no caller tells apart
        cancelled,     // asked to stop
        notFound,      // no such file, device or item
        nameTaken,     // a file of that name exists, and none is ever replaced
        noPermission,  // refused: outside the folder given, or not allowed
        badInput,      // what was read or asked makes no sense
        unavailable,   // the service, device or disk space is not there right now
    };

    Code code = Code::failed;
    std::string message;

    Error() = default;
    Error(Code code, std::string message) : code(code), message(std::move(message)) {}
    // A failure no caller tells apart, with its message.
    explicit Error(std::string message) : message(std::move(message)) {}
    explicit Error(const char* message) : message(message) {}

    // The error of a system call: its code from `number` (an errno value),
    // its message the system's own.
    static Error system(int number = errno);
    // What was read or asked makes no sense, and why.
    static Error badInput(std::string message) { return Error{Code::badInput, std::move(message)}; }

    friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace lumivane
