#include "tools/console/console_server.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <filesystem>
#include <random>

#include "platform/camera_files.h"
#include "runtime/concurrent_queue.h"
#include "runtime/file_name.h"
#include "runtime/utf8.h"
#include "tools/console/console_request.h"
#include "tools/console/slow_request_guard.h"
#include "tools/console/volume_files.h"
#include "tools/ctl/json_value.h"
#include "tools/transport/host_client.h"

namespace lumivane {

extern const char* const kConsolePage;  // the page, built into the program

namespace {

namespace fs = std::filesystem;

std::string randomToken() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 8; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", random());
        token += part;
    }
    return token;
}

// The HTTP library's task queue over an elastic pool of workers.
class ElasticTasks final : public httplib::TaskQueue {
public:
    explicit ElasticTasks(std::size_t maxWorkers) : queue_("lumivane.console.http", maxWorkers) {}
    void enqueue(std::function<void()> task) override { queue_.post(std::move(task)); }
    void shutdown() override {}  // the queue's destructor finishes what it has

private:
    ConcurrentQueue queue_;
};

// A folder's path with links resolved as far as they exist, normal, without
// a trailing '/' (but "/" itself).
std::string canonicalFolder(const fs::path& path) {
    std::error_code error;
    auto canonical = fs::weakly_canonical(path.lexically_normal(), error).lexically_normal().string();
    while (canonical.size() > 1 && canonical.back() == '/') canonical.pop_back();
    return canonical;
}

// The last component of a path as written ("" after a trailing '/', "." for
// "dir/."): a target must end in a plain file name.
std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

void reply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(jsonText(body), "application/json");
}

Json answerJson(const MethodResponse& answer) {
    if (auto* value = std::get_if<EncodableValue>(&answer)) return {{"value", toJson(*value)}};
    if (auto* error = std::get_if<MethodError>(&answer))
        return {{"error", {{"code", error->code}, {"message", error->message.value_or("")}}}};
    return {{"notImplemented", true}};
}

}  // namespace

ConsoleServer::ConsoleServer(Options options) : options_(std::move(options)) {
    if (options_.token.empty()) options_.token = randomToken();
}

ConsoleServer::~ConsoleServer() { stop(); }

std::string ConsoleServer::authority() const {
    bool v6 = options_.host.find(':') != std::string::npos;
    return (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port_);
}

std::string ConsoleServer::cookieName() const { return std::string(kCookie) + "_" + std::to_string(port_); }

std::string ConsoleServer::url() const { return "http://" + authority() + "/?token=" + options_.token; }

bool ConsoleServer::allowed(const std::string& channel, const std::string& method) {
    static const std::set<std::string> kMethods = {
        "iphone.available",   "iphone.list", "iphone.children", "iphone.media",   "iphone.download", "iphone.cancel",
        "iphone.setAutoWifi", "camera.list", "camera.children", "camera.media",   "camera.download", "camera.cancel",
        "camera.eject",       "volume.list", "volume.eject",    "file.freeSpace", "file.pickFolder", "file.reveal",
    };
    return channel == "lumivane/macos" && kMethods.count(method) > 0;
}

bool ConsoleServer::isLoopback(const std::string& host) {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::size_t ConsoleServer::openEventStreams() {
    std::lock_guard guard(mutex_);
    return streams_.size();
}

std::optional<std::string> ConsoleServer::destination() {
    std::lock_guard guard(mutex_);
    return destination_;
}

bool ConsoleServer::start() {
    server_ = std::make_unique<httplib::Server>();
    auto& server = *server_;
    // A connection holds a worker while it is read and answered: an event
    // stream for as long as it is open, a thumbnail or an import while it
    // waits on the host, a slow client while it sends. Workers are made as
    // connections need them (up to kMaxWorkers, retired when idle), so a
    // few dozen slow or long connections never leave a page without one.
    server.new_task_queue = [] { return new ElasticTasks(kMaxWorkers); };
    server.set_payload_max_length(16 << 20);  // the longest request: /api/imported for a large card

    // A request is sent whole within the time limit: from when its
    // connection is accepted (or its last answer sent) until its handler
    // starts, after the headers and the body are read.
    auto peer = [](const httplib::Request& request) {
        return SlowRequestGuard::peerName(request.remote_addr, request.remote_port);
    };
    auto guarded = [this, peer](httplib::Server::Handler handler) {
        return
            [this, peer, handler = std::move(handler)](const httplib::Request& request, httplib::Response& response) {
                guard_->handling(peer(request));
                handler(request, response);
            };
    };
    server.set_logger(
        [this, peer](const httplib::Request& request, const httplib::Response&) { guard_->answered(peer(request)); });

    // Every request: the Host header names this address, it comes from this
    // console's own page (other pages of this machine, on other ports too,
    // are refused), a body is JSON (a cross-site form cannot send one without
    // asking first), and the token comes along (the first load carries it in
    // the URL and gets it as this console's own cookie).
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        auto refuse = [&](int status, const char* code, const char* message) {
            reply(response, status, {{"error", {{"code", code}, {"message", message}}}});
            return httplib::Server::HandlerResponse::Handled;
        };
        if (request.get_header_value("Host") != authority()) return refuse(421, "host", "Wrong Host header.");
        if (request.has_header("Origin") && request.get_header_value("Origin") != "http://" + authority())
            return refuse(403, "origin", "Only the console's own page may call it.");
        if (request.has_header("Sec-Fetch-Site")) {
            auto site = request.get_header_value("Sec-Fetch-Site");
            if (site != "same-origin" && site != "none")
                return refuse(403, "origin", "Only the console's own page may call it.");
        }
        if (request.method == "POST" && request.get_header_value("Content-Type").rfind("application/json", 0) != 0)
            return refuse(415, "request", "A JSON body.");
        bool inUrl = sameToken(request.get_param_value("token"), options_.token);
        if (!inUrl && !sameToken(cookieToken(request.get_header_value("Cookie"), cookieName()), options_.token))
            return refuse(403, "token", "Open the address the console printed.");
        if (inUrl)
            response.set_header("Set-Cookie",
                                cookieName() + "=" + options_.token + "; HttpOnly; SameSite=Strict; Path=/");
        return httplib::Server::HandlerResponse::Unhandled;
    });

    // Whether the page's session still holds (the guard above answers 403 when not).
    server.Get("/api/session", guarded([](const httplib::Request&, httplib::Response& response) {
                   reply(response, 200, {{"value", true}});
               }));

    server.Get("/", guarded([](const httplib::Request&, httplib::Response& response) {
                   response.set_content(kConsolePage, "text/html; charset=utf-8");
               }));

    server.Post("/api/destination", guarded([this](const httplib::Request& request, httplib::Response& response) {
                    auto body = parseRequest(request.body);
                    auto path = body.is_object() && body.contains("path") && body["path"].is_string()
                                    ? body["path"].get<std::string>()
                                    : std::string();
                    std::error_code error;
                    if (path.empty() || path.front() != '/' || !fs::is_directory(path, error))
                        return reply(response, 400,
                                     {{"error", {{"code", "destination"}, {"message", "Choose an existing folder."}}}});
                    auto free = callHost("lumivane/macos", "file.freeSpace", EncodableMap{{"path", path}});
                    auto* value = free ? std::get_if<EncodableValue>(&*free) : nullptr;
                    if (!value || value->isNull())
                        return reply(
                            response, 400,
                            {{"error", {{"code", "destination"}, {"message", "The host cannot see that folder."}}}});
                    auto canonical = canonicalFolder(path);
                    {
                        std::lock_guard guard(mutex_);
                        destination_ = canonical;
                    }
                    reply(response, 200, {{"value", {{"path", canonical}, {"free", toJson(*value)}}}});
                }));

    server.Post(
        "/api/call", guarded([this](const httplib::Request& request, httplib::Response& response) {
            auto body = parseRequest(request.body);
            if (!body.is_object() || !body.contains("channel") || !body["channel"].is_string() ||
                !body.contains("method") || !body["method"].is_string())
                return reply(response, 400, {{"error", {{"code", "request"}, {"message", "A channel and a method."}}}});
            auto channel = body["channel"].get<std::string>(), method = body["method"].get<std::string>();
            if (!allowed(channel, method))
                return reply(response, 403,
                             {{"error", {{"code", "refused"}, {"message", "Not part of the console's API."}}}});
            auto arguments = body.contains("args") ? fromJson(body["args"]) : EncodableValue();
            // Downloads go only under the folder the person chose.
            auto destination = this->destination();
            if (method == "iphone.download" || method == "camera.download") {
                const auto* map = arguments.get<EncodableMap>();
                const auto* where = map ? map->find(method == "iphone.download" ? "target" : "dir") : nullptr;
                const auto* path = where ? where->get<std::string>() : nullptr;
                // A phone's target is a file under the folder; a camera's "dir"
                // is the folder or one under it, and its "name" one plain name.
                bool inside =
                    destination && path &&
                    (method == "iphone.download" ? under(*path, *destination) && isPlainFileName(fileName(*path))
                                                 : under(*path, *destination, true));
                if (inside && method == "camera.download") {
                    const auto* name = map->find("name");
                    inside = name && name->get<std::string>() && isPlainFileName(*name->get<std::string>());
                }
                if (!inside)
                    return reply(
                        response, 403,
                        {{"error", {{"code", "destination"}, {"message", "Downloads go under the chosen folder."}}}});
            }
            // A file already there, or one another import in flight will write,
            // is never replaced: the download takes the next free name.
            // The host is handed the folder as it was checked, links resolved,
            // and the destination as "within": it walks down from there following
            // no link, so a folder swapped for one after this check leads nowhere.
            Reservation reservation(*this);
            if (method == "iphone.download") {
                auto target =
                    fs::path(*arguments.get<EncodableMap>()->find("target")->get<std::string>()).lexically_normal();
                auto folder = canonicalFolder(target.parent_path());
                arguments.get<EncodableMap>()->set("target", reservation.take(folder, target.filename()));
                arguments.get<EncodableMap>()->set("within", *destination);
            } else if (method == "camera.download") {
                auto* dir = arguments.get<EncodableMap>()->find("dir")->get<std::string>();
                arguments.get<EncodableMap>()->set("dir", canonicalFolder(*dir));
                arguments.get<EncodableMap>()->set("within", *destination);
            }
            // The file manager opens only on what was imported.
            if (method == "file.reveal") {
                const auto* map = arguments.get<EncodableMap>();
                const auto* where = map ? map->find("path") : nullptr;
                const auto* path = where ? where->get<std::string>() : nullptr;
                if (!destination || !path || !under(*path, *destination, true))
                    return reply(
                        response, 403,
                        {{"error", {{"code", "destination"}, {"message", "Only the chosen folder can be shown."}}}});
            }
            auto answer = callHost(channel, method, arguments);
            if (!answer)
                return reply(response, 502, {{"error", {{"code", "host"}, {"message", "The host is not answering."}}}});
            reply(response, 200, answerJson(*answer));
        }));

    // Which of the named files the destination already holds with the same
    // size: those were imported before.
    server.Post(
        "/api/imported", guarded([this](const httplib::Request& request, httplib::Response& response) {
            auto body = parseRequest(request.body);
            auto destination = this->destination();
            if (!destination)
                return reply(response, 400,
                             {{"error", {{"code", "destination"}, {"message", "Choose a folder first."}}}});
            if (!body.is_object() || !body.contains("files") || !body["files"].is_array() ||
                body["files"].size() > 100'000)
                return reply(response, 400, {{"error", {{"code", "request"}, {"message", "A list of files."}}}});
            Json found = Json::array();
            for (const auto& file : body["files"]) {
                bool same = false;
                if (file.is_object() && file.contains("name") && file["name"].is_string() && file.contains("size") &&
                    file["size"].is_number_integer()) {
                    auto name = file["name"].get<std::string>();
                    std::error_code error;
                    auto path = *destination + "/" + name;
                    same = isPlainFileName(name) && fs::is_regular_file(path, error) &&
                           fs::file_size(path, error) == file["size"].get<std::uintmax_t>() && !error;
                }
                found.push_back(same);
            }
            reply(response, 200, {{"value", found}});
        }));

    // Cards and disks: the console lists and copies their files itself.
    auto onCard = [this](const std::string& path) { return onVolume(path, cards()); };
    auto listing = [onCard](std::function<Json(const std::string&)> list) {
        return [onCard, list](const httplib::Request& request, httplib::Response& response) {
            auto folder = onCard(rawText(request.get_param_value("path")));
            if (folder.empty())
                return reply(response, 403, {{"error", {{"code", "volume"}, {"message", "Not on a card or disk."}}}});
            reply(response, 200, {{"value", list(folder)}});
        };
    };
    server.Get("/api/folder", guarded(listing([](const std::string& folder) { return folderEntries(folder); })));
    server.Get("/api/media", guarded(listing([](const std::string& folder) { return mediaUnder(folder); })));

    server.Post(
        "/api/copy", guarded([this, onCard](const httplib::Request& request, httplib::Response& response) {
            auto body = parseRequest(request.body);
            auto text = [&](const char* key) {
                return body.is_object() && body.contains(key) && body[key].is_string() ? body[key].get<std::string>()
                                                                                       : std::string();
            };
            auto source = onCard(rawText(text("source"))), name = rawText(text("name")), token = text("token");
            auto destination = this->destination();
            if (!destination)
                return reply(response, 403,
                             {{"error", {{"code", "destination"}, {"message", "Choose a folder first."}}}});
            if (source.empty() || !isPlainFileName(name) || token.empty())
                return reply(response, 403,
                             {{"error", {{"code", "copy"}, {"message", "A file on a card, a name and a token."}}}});
            Reservation reservation(*this);
            auto target = reservation.take(*destination, name);
            auto copied = copyFile(source, target, [&](std::uint64_t done, std::uint64_t total) {
                publish(
                    jsonText({{"channel", "lumivane/console"},
                              {"event", {{"type", "download"}, {"token", token}, {"done", done}, {"total", total}}}}));
                std::lock_guard guard(mutex_);
                return cancelled_.count(token) == 0;
            });
            {
                std::lock_guard guard(mutex_);
                cancelled_.erase(token);
            }
            if (!copied.ok()) return reply(response, 200, {{"error", {{"code", "copy"}, {"message", copied.error()}}}});
            reply(response, 200, {{"value", target}});
        }));

    server.Post("/api/cancel", guarded([this](const httplib::Request& request, httplib::Response& response) {
                    auto body = parseRequest(request.body);
                    if (!body.is_object() || !body.contains("token") || !body["token"].is_string())
                        return reply(response, 400, {{"error", {{"code", "request"}, {"message", "A token."}}}});
                    std::lock_guard guard(mutex_);
                    if (cancelled_.size() >= 10'000) cancelled_.clear();  // tokens of copies that never ran
                    cancelled_.insert(body["token"].get<std::string>());
                    reply(response, 200, {{"value", nullptr}});
                }));

    server.Get("/api/thumbnail", guarded([this](const httplib::Request& request, httplib::Response& response) {
                   auto method = request.get_param_value("method");
                   if (method != "iphone.thumbnail" && method != "camera.thumbnail" && method != "file.thumbnail")
                       return reply(response, 403, {{"error", {{"code", "refused"}, {"message", "Not a thumbnail."}}}});
                   auto arguments = fromJson(parseRequest(request.get_param_value("args")));
                   auto answer = callHost("lumivane/macos", method, arguments);
                   const auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
                   const auto* bytes = value ? value->get<Bytes>() : nullptr;
                   if (!bytes)
                       return reply(response, 404, {{"error", {{"code", "thumbnail"}, {"message", "No thumbnail."}}}});
                   response.set_content(std::string(bytes->begin(), bytes->end()), "image/jpeg");
               }));

    server.Get(
        "/api/events", guarded([this](const httplib::Request&, httplib::Response& response) {
            auto stream = std::make_shared<Stream>();
            {
                std::lock_guard guard(mutex_);
                // Each stream holds a request worker for as long as it is open.
                if (streams_.size() >= kMaxEventStreams)
                    return reply(
                        response, 503,
                        {{"error", {{"code", "busy"}, {"message", "Too many pages are open on this console."}}}});
                streams_.insert(stream);
            }
            response.set_chunked_content_provider(
                "text/event-stream",
                [this, stream](std::size_t, httplib::DataSink& sink) {
                    std::unique_lock lock(mutex_);
                    changed_.wait_for(lock, std::chrono::seconds(15),
                                      [&] { return stopping_ || stream->closed || !stream->events.empty(); });
                    if (stopping_ || stream->closed) return false;
                    std::string out = stream->events.empty() ? ": still here\n\n" : std::string();
                    while (!stream->events.empty()) {
                        out += "data: " + stream->events.front() + "\n\n";
                        stream->events.pop_front();
                    }
                    lock.unlock();
                    return sink.write(out.data(), out.size());
                },
                [this, stream](bool) {
                    std::lock_guard guard(mutex_);
                    streams_.erase(stream);
                });
        }));

    port_ = options_.port > 0 ? (server.bind_to_port(options_.host, options_.port) ? options_.port : -1)
                              : server.bind_to_any_port(options_.host);
    if (port_ <= 0) return false;
    guard_ = std::make_unique<SlowRequestGuard>(port_, options_.requestTimeLimit);
    serving_ = std::thread([this] { server_->listen_after_bind(); });
    events_ = std::thread([this] { listenToEvents(); });
    return true;
}

void ConsoleServer::listenToEvents() {
    while (!stopping_) {
        HostClient client;
        if (!client.connect(options_.socketPath, std::chrono::seconds(1))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a path that can never work fails at once
            continue;
        }
        client.call("lumivane/macos/events", "listen");
        client.call("lumivane/bonjour/events", "listen");
        while (!stopping_) {
            auto event = client.nextEvent(std::chrono::milliseconds(300));
            if (!event) {
                if (client.fd() < 0) break;  // the host went: connect again
                continue;
            }
            auto* value = std::get_if<EncodableValue>(&event->second);
            if (!value) continue;
            publish(jsonText(Json{{"channel", event->first}, {"event", toJson(*value)}}));
        }
    }
}

std::string ConsoleServer::Reservation::take(const fs::path& folder, const std::string& name) {
    std::lock_guard guard(server_.mutex_);
    auto free =
        freeFileName(folder, name, [&](const fs::path& path) { return server_.reserved_.count(path.string()) > 0; });
    target_ = (folder / free).string();
    server_.reserved_.insert(target_);
    return target_;
}

ConsoleServer::Reservation::~Reservation() {
    if (target_.empty()) return;
    std::lock_guard guard(server_.mutex_);
    server_.reserved_.erase(target_);
}

void ConsoleServer::publish(const std::string& event) {
    std::lock_guard guard(mutex_);
    for (const auto& stream : streams_) {
        if (stream->events.size() < 10'000) stream->events.push_back(event);  // a stalled page loses events, not memory
    }
    changed_.notify_all();
}

std::optional<MethodResponse> ConsoleServer::callHost(const std::string& channel, const std::string& method,
                                                      const EncodableValue& arguments) {
    HostClient client;
    if (!client.connect(options_.socketPath)) return std::nullopt;
    return client.call(channel, method, arguments);
}

std::vector<std::string> ConsoleServer::cards() {
    auto answer = callHost("lumivane/macos", "volume.list", EncodableValue());
    const auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
    const auto* list = value ? value->get<EncodableList>() : nullptr;
    std::vector<std::string> paths;
    for (const auto& entry : list ? *list : EncodableList()) {
        const auto* volume = entry.get<EncodableMap>();
        if (!volume) continue;
        auto flag = [&](const char* key) {
            const auto* found = volume->find(key);
            return found && found->get<bool>() && *found->get<bool>();
        };
        const auto* path = volume->find("path");
        if (path && path->get<std::string>() && (flag("removable") || flag("ejectable")) && !flag("root"))
            paths.push_back(*path->get<std::string>());
    }
    return paths;
}

void ConsoleServer::stop() {
    if (stopping_.exchange(true)) return;
    {
        std::lock_guard guard(mutex_);
        for (const auto& stream : streams_) stream->closed = true;
    }
    changed_.notify_all();
    if (server_) server_->stop();
    if (serving_.joinable()) serving_.join();
    if (events_.joinable()) events_.join();
    guard_.reset();  // no worker is left to call it
}

}  // namespace lumivane
