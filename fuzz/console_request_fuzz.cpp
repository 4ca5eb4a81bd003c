// What reaches the web console from a browser, or from anything else that
// has the token: a request body's JSON and a Cookie header. Nothing crashes;
// an accepted body nests at most 32 levels and goes to a channel value and
// back to JSON text; a cookie's token never runs past its ';'.
#include <algorithm>
#include <cstdlib>

#include "runtime/file_name.h"
#include "tools/console/console_request.h"

using namespace lumivane;

namespace {

int depth(const Json& json) {
    int deepest = 0;
    if (json.is_structured())
        for (const auto& child : json) deepest = std::max(deepest, depth(child));
    return deepest + (json.is_structured() ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto json = parseRequest(text);
    if (!json.is_discarded()) {
        if (depth(json) > 32) std::abort();
        auto again = parseRequest(jsonText(toJson(fromJson(json))));
        if (again.is_discarded()) std::abort();
    }
    if (cookieToken(text).find(';') != std::string::npos) std::abort();
    if (cookieToken(text, "lumivane_token_8080").find(';') != std::string::npos) std::abort();
    if (isPlainFileName(text) && text.find('/') != std::string::npos) std::abort();
    return 0;
}
