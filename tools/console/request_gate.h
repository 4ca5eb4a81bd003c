#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace lumivane {

// Why the console refuses a request: the HTTP status and the error's code and
// message the page is answered with.
struct Refusal {
    int status;
    std::string code;
    std::string message;
};

// The checks every request passes before its route runs: the Host header
// names the console's own address (a page of another site that a name
// resolves to loopback cannot reach it), the request comes from the console's
// own page (an Origin or a Sec-Fetch-Site that is not its own is refused, so
// other pages of this machine on other ports too), a body is JSON (a
// cross-site form cannot send one without asking first), and the token comes
// along, in the URL's "token" or in the console's cookie.
//
// Any thread; no state beyond what it is made with.
class RequestGate {
public:
    // `authorities`: every host:port a browser may name the console by;
    // `cookieName`: the console's own cookie. Both known only once the port
    // is bound. `lasting`: the token outlives the browser's session, and the
    // cookie does too.
    RequestGate(std::function<std::vector<std::string>()> authorities, std::string token,
                std::function<std::string()> cookieName, bool lasting = false)
        : authorities_(std::move(authorities)),
          token_(std::move(token)),
          cookieName_(std::move(cookieName)),
          lasting_(lasting) {}

    // The refusal, or nothing when the request may go on. A request carrying
    // the token in its URL (the first load) gets it as the console's cookie.
    std::optional<Refusal> admit(const httplib::Request& request, httplib::Response& response) const;

private:
    std::function<std::vector<std::string>()> authorities_;
    std::string token_;
    std::function<std::string()> cookieName_;
    bool lasting_;
};

}  // namespace lumivane
