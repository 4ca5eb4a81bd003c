#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "runtime/lifetime.h"
#include "runtime/mutex.h"
#include "tools/transport/host_client.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace lumivane {

class SlowRequestGuard;

// The web console: a page and a small JSON API over HTTP that a person uses
// from a browser, reaching the host through its socket as one more client.
//
// Imports are the host's import jobs: the console starts them into the
// destination (and backup) the person chose, which the host remembers for
// every client, and follows them on the host's import events.
//
// Security: it listens where it is told (the loopback address unless told
// otherwise); every request passes the RequestGate (its Host, its page, its
// body and the random token); only the listed channel methods pass; imports
// go only into the chosen folders, and the file manager opens only on the
// destination; at most kMaxEventStreams event streams are open at once (a
// new one ends the oldest), so they never take every request worker, and
// clients that never read cannot keep a page from its events; a client that takes longer than
// Options::requestTimeLimit to send a request is cut off.
//
// Threads: requests are served on the HTTP library's worker threads, each
// call on a host connection of its own; one thread listens to the host's
// event channels and hands each event to every open event stream. `mutex_`
// guards `streams_` and the streams' queues. Routes run through `lifetime_`,
// which stop() ends once no worker is left.
class ConsoleServer {
public:
    static constexpr std::size_t kMaxEventStreams = 8;
    static constexpr std::chrono::seconds kHeartbeat{1};  // an idle event stream's keep-alive line
    static constexpr std::size_t kMaxWorkers = 256;       // connections served at once
    struct Options {
        std::string socketPath;          // the host's socket
        std::string host = "127.0.0.1";  // where to listen
        int port = 0;                    // 0: a free one
        std::string token = {};          // empty: a new random one (see console_token.h)
        // The token is kept from start to start: the page's cookie lasts as
        // long as a browser keeps one, so a bookmark without the token still
        // opens the console after the browser restarts. Otherwise the cookie
        // ends with the browser's session, as the token ends with the console.
        bool tokenKept = false;
        // The user's home, where a typed folder name lies ("~/Pictures",
        // "Pictures"); empty: $HOME.
        std::string home = {};
        // How long a client may take to send a request whole (its headers
        // and body); a connection still sending after it is cut.
        std::chrono::milliseconds requestTimeLimit{10'000};
    };

    explicit ConsoleServer(Options options);
    ~ConsoleServer();

    // Binds and starts serving; false when the address cannot be bound.
    bool start();
    void stop();
    int port() const { return port_; }
    // The name of this console's cookie (it names the port: see kCookie).
    std::string cookieName() const;
    // How many event streams are open now. Any thread.
    std::size_t openEventStreams();
    const std::string& token() const { return options_.token; }
    // The page's address with its token.
    std::string url() const;
    // The address of a console serving `host`:`port` with `token`.
    static std::string addressOf(const std::string& host, int port, const std::string& token);
    // host:port as a browser names it in the Host header ([::1]:port for IPv6).
    std::string authority() const;
    static std::string authorityOf(const std::string& host, int port);
    // Every host:port a browser may name it by: on a loopback address also
    // "localhost:port".
    std::vector<std::string> authorities() const;

    // Whether the API passes this channel method.
    static bool allowed(const std::string& channel, const std::string& method);
    // Whether `host` is a loopback address (127.0.0.0/8 or ::1).
    static bool isLoopback(const std::string& host);

private:
    struct Stream {
        std::deque<std::string> events;
        bool closed = false;
    };

    // The routes, one each; every one answers exactly once.
    void session(const httplib::Request& request, httplib::Response& response);
    void page(const httplib::Request& request, httplib::Response& response);
    void chooseFolder(const httplib::Request& request, httplib::Response& response);
    void call(const httplib::Request& request, httplib::Response& response);
    void import(const httplib::Request& request, httplib::Response& response);
    void automatic(const httplib::Request& request, httplib::Response& response);
    void cardFolder(const httplib::Request& request, httplib::Response& response);
    void cardMedia(const httplib::Request& request, httplib::Response& response);
    void thumbnail(const httplib::Request& request, httplib::Response& response);
    // Whether the "source" of a call's arguments, if any, is a device the page shows.
    bool sourceShown(const EncodableValue& arguments);
    void events(const httplib::Request& request, httplib::Response& response);

    // The folder on a card or disk that `path` names, or "" when it lies on none.
    std::string onCard(const std::string& path);
    void listenToEvents();
    // Hands an event (JSON text) to every open event stream.
    void publish(const std::string& event);
    // One call on a host connection of its own; a failure when the host does not
    // answer.
    Result<MethodResponse> callHost(const std::string& channel, const std::string& method,
                                    const EncodableValue& arguments);
    // The host's removable and ejectable volumes, as "volume.list" gives them.
    std::vector<EncodableMap> cardEntries();
    // Their mount points.
    std::vector<std::string> cards();
    // Whether the page lists the device `id` of `kind` ("iphone", "camera",
    // "volume": a card's mount point), and as what.
    bool shown(const std::string& kind, const std::string& id);
    std::optional<EncodableMap> shownDevice(const std::string& kind, const std::string& id);
    // The device a page's request names ({"source": {"kind", "id"}}) as the
    // host lists it, once a folder to import to is chosen; else none, and the
    // refusal is answered.
    std::optional<EncodableMap> pageDevice(const nlohmann::ordered_json& body, httplib::Response& response);
    // What the host remembers of the import options; empty when it cannot say.
    EncodableMap settings();

    Options options_;
    int port_ = 0;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<SlowRequestGuard> guard_;  // made once bound, before serving; gone after
    std::thread serving_, events_;
    std::atomic<bool> stopping_{false};
    Mutex mutex_;
    CondVar changed_;
    std::deque<std::shared_ptr<Stream>> streams_ LUMIVANE_GUARDED_BY(mutex_);  // oldest first
    Lifetime lifetime_;  // the routes and stream providers ask it; the last member
};

}  // namespace lumivane
