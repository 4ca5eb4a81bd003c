#include "tools/console/console_server.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <filesystem>
#include <random>

#include "runtime/concurrent_queue.h"
#include "runtime/file_name.h"
#include "runtime/mutex.h"
#include "runtime/utf8.h"
#include "tools/common/json_value.h"
#include "tools/console/console_request.h"
#include "tools/console/slow_request_guard.h"
#include "tools/console/volume_files.h"
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

void reply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(jsonText(body), "application/json");
}

// The one form of every refusal and failure the page is answered with.
void fail(httplib::Response& response, const Refusal& refusal) {
    reply(response, refusal.status, {{"error", {{"code", refusal.code}, {"message", refusal.message}}}});
}
void fail(httplib::Response& response, int status, std::string code, std::string message) {
    fail(response, Refusal{status, std::move(code), std::move(message)});
}

// A JSON body's text field; nothing when absent or of another type.
std::optional<std::string> textField(const Json& body, const char* key) {
    if (!body.is_object() || !body.contains(key) || !body[key].is_string()) return std::nullopt;
    return body[key].get<std::string>();
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
    MutexLock guard(mutex_);
    return streams_.size();
}

std::optional<std::string> ConsoleServer::destination() {
    MutexLock guard(mutex_);
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
    // connection is accepted (or its last answer sent) until its route
    // starts, after the headers and the body are read.
    auto peer = [](const httplib::Request& request) {
        return SlowRequestGuard::peerName(request.remote_addr, request.remote_port);
    };
    using Route = void (ConsoleServer::*)(const httplib::Request&, httplib::Response&);
    auto route = [this, peer](Route handler) {
        return httplib::Server::Handler(
            lifetime_.guard([this, peer, handler](const httplib::Request& request, httplib::Response& response) {
                guard_->handling(peer(request));
                (this->*handler)(request, response);
            }));
    };
    server.set_logger(lifetime_.guard(
        [this, peer](const httplib::Request& request, const httplib::Response&) { guard_->answered(peer(request)); }));

    RequestGate gate([this] { return authority(); }, options_.token, [this] { return cookieName(); });
    server.set_pre_routing_handler(
        lifetime_.guard([gate](const httplib::Request& request, httplib::Response& response) {
            auto refusal = gate.admit(request, response);
            if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
            fail(response, *refusal);
            return httplib::Server::HandlerResponse::Handled;
        }));

    server.Get("/api/session", route(&ConsoleServer::session));
    server.Get("/", route(&ConsoleServer::page));
    server.Post("/api/destination", route(&ConsoleServer::chooseDestination));
    server.Post("/api/call", route(&ConsoleServer::call));
    server.Post("/api/imported", route(&ConsoleServer::imported));
    server.Get("/api/folder", route(&ConsoleServer::cardFolder));
    server.Get("/api/media", route(&ConsoleServer::cardMedia));
    server.Post("/api/copy", route(&ConsoleServer::copy));
    server.Post("/api/cancel", route(&ConsoleServer::cancel));
    server.Get("/api/thumbnail", route(&ConsoleServer::thumbnail));
    server.Get("/api/events", route(&ConsoleServer::events));

    port_ = options_.port > 0 ? (server.bind_to_port(options_.host, options_.port) ? options_.port : -1)
                              : server.bind_to_any_port(options_.host);
    if (port_ <= 0) return false;
    guard_ = std::make_unique<SlowRequestGuard>(port_, options_.requestTimeLimit);
    serving_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
    events_ = std::thread(lifetime_.guard([this] { listenToEvents(); }));
    return true;
}

// Whether the page's session still holds (the gate answers 403 when not).
void ConsoleServer::session(const httplib::Request&, httplib::Response& response) {
    reply(response, 200, {{"value", true}});
}

void ConsoleServer::page(const httplib::Request&, httplib::Response& response) {
    response.set_content(kConsolePage, "text/html; charset=utf-8");
}

void ConsoleServer::chooseDestination(const httplib::Request& request, httplib::Response& response) {
    auto path = textField(parseRequest(request.body), "path").value_or("");
    std::error_code error;
    if (path.empty() || path.front() != '/' || !fs::is_directory(path, error))
        return fail(response, 400, "destination", "Choose an existing folder.");
    auto free = callHost("lumivane/macos", "file.freeSpace", EncodableMap{{"path", path}});
    auto* value = free ? std::get_if<EncodableValue>(&*free) : nullptr;
    if (!value || value->isNull()) return fail(response, 400, "destination", "The host cannot see that folder.");
    auto canonical = DownloadPolicy::canonicalFolder(path);
    {
        MutexLock guard(mutex_);
        destination_ = canonical;
    }
    reply(response, 200, {{"value", {{"path", canonical}, {"free", toJson(*value)}}}});
}

void ConsoleServer::call(const httplib::Request& request, httplib::Response& response) {
    auto body = parseRequest(request.body);
    auto channel = textField(body, "channel"), method = textField(body, "method");
    if (!channel || !method) return fail(response, 400, "request", "A channel and a method.");
    if (!allowed(*channel, *method)) return fail(response, 403, "refused", "Not part of the console's API.");
    auto arguments = body.contains("args") ? fromJson(body["args"]) : EncodableValue();
    DownloadPolicy::Reservation reservation(policy_);
    if (auto refusal = policy_.ready(*method, arguments, destination(), reservation)) return fail(response, *refusal);
    auto answer = callHost(*channel, *method, arguments);
    if (!answer) return fail(response, 502, "host", "The host is not answering.");
    reply(response, 200, answerJson(*answer));
}

// Which of the named files the destination already holds with the same
// size: those were imported before.
void ConsoleServer::imported(const httplib::Request& request, httplib::Response& response) {
    auto body = parseRequest(request.body);
    auto destination = this->destination();
    if (!destination) return fail(response, 400, "destination", "Choose a folder first.");
    if (!body.is_object() || !body.contains("files") || !body["files"].is_array() || body["files"].size() > 100'000)
        return fail(response, 400, "request", "A list of files.");
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
}

// Cards and disks: the console lists and copies their files itself.
std::string ConsoleServer::onCard(const std::string& path) { return onVolume(path, cards()); }

void ConsoleServer::cardFolder(const httplib::Request& request, httplib::Response& response) {
    auto folder = onCard(rawText(request.get_param_value("path")));
    if (folder.empty()) return fail(response, 403, "volume", "Not on a card or disk.");
    reply(response, 200, {{"value", folderEntries(folder)}});
}

void ConsoleServer::cardMedia(const httplib::Request& request, httplib::Response& response) {
    auto folder = onCard(rawText(request.get_param_value("path")));
    if (folder.empty()) return fail(response, 403, "volume", "Not on a card or disk.");
    reply(response, 200, {{"value", mediaUnder(folder)}});
}

void ConsoleServer::copy(const httplib::Request& request, httplib::Response& response) {
    auto body = parseRequest(request.body);
    auto source = onCard(rawText(textField(body, "source").value_or("")));
    auto name = rawText(textField(body, "name").value_or("")), token = textField(body, "token").value_or("");
    auto destination = this->destination();
    if (!destination) return fail(response, 403, "destination", "Choose a folder first.");
    if (source.empty() || !isPlainFileName(name) || token.empty())
        return fail(response, 403, "copy", "A file on a card, a name and a token.");
    DownloadPolicy::Reservation reservation(policy_);
    auto target = reservation.take(*destination, name);
    auto copied = copyFile(source, target, [&](std::uint64_t done, std::uint64_t total) {
        publish(jsonText({{"channel", "lumivane/console"},
                          {"event", {{"type", "download"}, {"token", token}, {"done", done}, {"total", total}}}}));
        MutexLock guard(mutex_);
        return cancelled_.count(token) == 0;
    });
    {
        MutexLock guard(mutex_);
        cancelled_.erase(token);
    }
    if (!copied.ok()) return fail(response, 200, "copy", copied.error().message);
    reply(response, 200, {{"value", target}});
}

void ConsoleServer::cancel(const httplib::Request& request, httplib::Response& response) {
    auto token = textField(parseRequest(request.body), "token");
    if (!token) return fail(response, 400, "request", "A token.");
    MutexLock guard(mutex_);
    if (cancelled_.size() >= 10'000) cancelled_.clear();  // tokens of copies that never ran
    cancelled_.insert(*token);
    reply(response, 200, {{"value", nullptr}});
}

void ConsoleServer::thumbnail(const httplib::Request& request, httplib::Response& response) {
    auto method = request.get_param_value("method");
    if (method != "iphone.thumbnail" && method != "camera.thumbnail" && method != "file.thumbnail")
        return fail(response, 403, "refused", "Not a thumbnail.");
    auto arguments = fromJson(parseRequest(request.get_param_value("args")));
    auto answer = callHost("lumivane/macos", method, arguments);
    const auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
    const auto* bytes = value ? value->get<Bytes>() : nullptr;
    if (!bytes) return fail(response, 404, "thumbnail", "No thumbnail.");
    response.set_content(std::string(bytes->begin(), bytes->end()), "image/jpeg");
}

void ConsoleServer::events(const httplib::Request&, httplib::Response& response) {
    auto stream = std::make_shared<Stream>();
    {
        MutexLock guard(mutex_);
        // Each stream holds a request worker for as long as it is open.
        if (streams_.size() >= kMaxEventStreams)
            return fail(response, 503, "busy", "Too many pages are open on this console.");
        streams_.insert(stream);
    }
    response.set_chunked_content_provider(
        "text/event-stream", lifetime_.guard([this, stream](std::size_t, httplib::DataSink& sink) {
            MutexLock lock(mutex_);
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
        }),
        lifetime_.guard([this, stream](bool) {
            MutexLock guard(mutex_);
            streams_.erase(stream);
        }));
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

void ConsoleServer::publish(const std::string& event) {
    MutexLock guard(mutex_);
    for (const auto& stream : streams_) {
        if (stream->events.size() < 10'000) stream->events.push_back(event);  // a stalled page loses events, not memory
    }
    changed_.notify_all();
}

Result<MethodResponse> ConsoleServer::callHost(const std::string& channel, const std::string& method,
                                               const EncodableValue& arguments) {
    HostClient client;
    if (!client.connect(options_.socketPath)) return Error(Error::Code::unavailable, "The host is not answering.");
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
        MutexLock guard(mutex_);
        for (const auto& stream : streams_) stream->closed = true;
    }
    changed_.notify_all();
    if (server_) server_->stop();
    if (serving_.joinable()) serving_.join();
    if (events_.joinable()) events_.join();
    lifetime_.end();  // nothing is left to run a route; one still running is waited for
    guard_.reset();   // no worker is left to call it
}

}  // namespace lumivane
