#include "tools/console/request_gate.h"

#include <httplib.h>

#include <algorithm>

#include "tools/console/console_request.h"

namespace lumivane {

std::optional<Refusal> RequestGate::admit(const httplib::Request& request, httplib::Response& response) const {
    const Refusal otherPage{403, "origin", "Only the console's own page may call it."};
    auto authority = request.get_header_value("Host");
    auto names = authorities_();
    if (std::find(names.begin(), names.end(), authority) == names.end())
        return Refusal{421, "host", "Wrong Host header."};
    if (request.has_header("Origin") && request.get_header_value("Origin") != "http://" + authority) return otherPage;
    if (request.has_header("Sec-Fetch-Site")) {
        auto site = request.get_header_value("Sec-Fetch-Site");
        if (site != "same-origin" && site != "none") return otherPage;
    }
    if (request.method == "POST" && request.get_header_value("Content-Type").rfind("application/json", 0) != 0)
        return Refusal{415, "request", "A JSON body."};
    bool inUrl = sameToken(request.get_param_value("token"), token_);
    if (!inUrl && !sameToken(cookieToken(request.get_header_value("Cookie"), cookieName_()), token_))
        return Refusal{403, "token", "Open the address the console printed."};
    // 400 days: the longest a browser keeps a cookie.
    if (inUrl)
        response.set_header("Set-Cookie", cookieName_() + "=" + token_ + "; HttpOnly; SameSite=Strict; Path=/" +
                                              (lasting_ ? "; Max-Age=34560000" : ""));
    return std::nullopt;
}

}  // namespace lumivane
