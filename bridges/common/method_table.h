#pragma once
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "channel/arguments.h"
#include "channel/method_result.h"
#include "runtime/error.h"

namespace lumivane {

// A bridge's methods as rows: each method's name and what answers it (a
// member function taking the arguments and the result, or a function of the
// bridge, the arguments and the result), so that what a channel offers reads
// as one table. Made once (a function-local static); dispatch() on the main loop.
template <typename Owner>
class MethodTable {
public:
    using Method = std::function<void(Owner& owner, const Arguments& args, MethodResult& result)>;

    MethodTable(std::initializer_list<std::pair<std::string_view, Method>> rows) {
        for (const auto& [name, method] : rows) rows_.emplace(std::string(name), method);
    }

    // Runs the row of `call` on `owner`; false, with `result` untouched,
    // when the table has none.
    bool dispatch(Owner& owner, const MethodCall& call, MethodResult& result) const {
        auto row = rows_.find(call.method);
        if (row == rows_.end()) return false;
        Arguments args(call.arguments);
        row->second(owner, args, result);
        return true;
    }

private:
    std::map<std::string, Method, std::less<>> rows_;
};

// The channel's error code for a failure of kind `code`, so that callers can
// tell a bad request from a missing device or a full disk; `otherwise` for
// what no caller tells apart (Error::Code::failed).
inline std::string channelCode(Error::Code code, const std::string& otherwise) {
    switch (code) {
        case Error::Code::cancelled: return "cancelled";
        case Error::Code::notFound: return "not_found";
        case Error::Code::nameTaken: return "name_taken";
        case Error::Code::noPermission: return "not_allowed";
        case Error::Code::badInput: return "bad_request";
        case Error::Code::unavailable: return "unavailable";
        case Error::Code::failed: break;
    }
    return otherwise;
}

}  // namespace lumivane
