#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace lumivane {

// An AFC call failed: its result code and the phone path concerned.
struct AFCError {
    std::int32_t code;
    std::string path;
};

// A failure whose text is shown to the user unchanged.
struct DeviceError {
    std::string description;
};

using IPhoneError = std::variant<AFCError, DeviceError>;

// A value or the failure that prevented it. Errors travel as values and
// become channel errors only at the channel edge. Plain values: moved
// between threads, never shared.
template <typename T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}
    Outcome(AFCError error) : state_(IPhoneError(std::move(error))) {}
    Outcome(DeviceError error) : state_(IPhoneError(std::move(error))) {}
    Outcome(IPhoneError error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const IPhoneError& error() const { return std::get<1>(state_); }
    // The AFC code of the failure, or -1 when it is not an AFC failure.
    std::int32_t afcCode() const {
        auto* afc = ok() ? nullptr : std::get_if<AFCError>(&error());
        return afc ? afc->code : -1;
    }

private:
    std::variant<T, IPhoneError> state_;
};

using Done = Outcome<std::monostate>;

}  // namespace lumivane
