#include "tools/console/console_server.h"

#include <algorithm>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>

#include "runtime/concurrent_queue.h"
#include "runtime/file_name.h"
#include "runtime/mutex.h"
#include "runtime/utf8.h"
#include "tools/common/json_value.h"
#include "tools/console/console_request.h"
#include "tools/console/console_token.h"
#include "tools/console/request_gate.h"
#include "tools/console/slow_request_guard.h"
#include "tools/console/volume_files.h"
#include "tools/transport/host_client.h"

namespace lumivane {

extern const char* const kConsolePage;  // the page, built into the program

namespace {

namespace fs = std::filesystem;

// The HTTP library's task queue over an elastic pool of workers.
class ElasticTasks final : public httplib::TaskQueue {
public:
    explicit ElasticTasks(std::size_t maxWorkers) : queue_("lumivane.console.http", maxWorkers) {}
    void enqueue(std::function<void()> task) override { queue_.post(std::move(task)); }
    void shutdown() override {}  // the queue's destructor finishes what it has

private:
    ConcurrentQueue queue_;
};

void replyText(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    // With its charset named, the HTTP library leaves it uncompressed: on the
    // loopback, compressing a large listing (brotli, when the browser offers
    // it) takes seconds and saves nothing.
    response.set_content(body, "application/json; charset=utf-8");
}
void reply(httplib::Response& response, int status, const Json& body) { replyText(response, status, jsonText(body)); }

// The one form of every refusal and failure the page is answered with.
void fail(httplib::Response& response, const Refusal& refusal) {
    reply(response, refusal.status, {{"error", {{"code", refusal.code}, {"message", refusal.message}}}});
}
void fail(httplib::Response& response, int status, std::string code, std::string message) {
    fail(response, Refusal{status, std::move(code), std::move(message)});
}

// A map's text entry; "" when absent or of another type.
std::string textOf(const EncodableMap& map, const char* key) {
    const auto* value = map.find(key);
    return value && value->get<std::string>() ? *value->get<std::string>() : std::string();
}

// A JSON body's text field; nothing when absent or of another type.
std::optional<std::string> textField(const Json& body, const char* key) {
    if (!body.is_object() || !body.contains(key) || !body[key].is_string()) return std::nullopt;
    return body[key].get<std::string>();
}

// The import options a page sends: the templates and the switches.
EncodableMap importOptions(const Json& body) {
    EncodableMap options;
    for (const char* key : {"subfolders", "rename", "shoot"})
        if (auto text = textField(body, key)) options.set(key, *text);
    if (body.contains("clockShift") && body["clockShift"].is_number_integer())
        options.set("clockShift", body["clockShift"].get<std::int64_t>());
    for (const char* key : {"onlyNew", "skipDuplicates", "deleteAfter", "companions", "log"})
        if (body.contains(key) && body[key].is_boolean()) options.set(key, body[key].get<bool>());
    return options;
}

// The page's answer to a host call: {"value"}, {"error"} or {"notImplemented"}.
std::string answerText(const MethodResponse& answer) {
    if (auto* value = std::get_if<EncodableValue>(&answer)) return "{\"value\":" + jsonTextOf(*value) + "}";
    if (auto* error = std::get_if<MethodError>(&answer))
        return jsonText({{"error", {{"code", error->code}, {"message", error->message.value_or("")}}}});
    return jsonText({{"notImplemented", true}});
}

}  // namespace

ConsoleServer::ConsoleServer(Options options) : options_(std::move(options)) {
    if (options_.token.empty()) options_.token = newToken();
    if (const char* home = std::getenv("HOME"); options_.home.empty() && home) options_.home = home;
}

ConsoleServer::~ConsoleServer() { stop(); }

std::string ConsoleServer::authority() const { return authorityOf(options_.host, port_); }

std::string ConsoleServer::authorityOf(const std::string& host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ConsoleServer::addressOf(const std::string& host, int port, const std::string& token) {
    return "http://" + authorityOf(host, port) + "/?token=" + token;
}

std::vector<std::string> ConsoleServer::authorities() const {
    std::vector<std::string> names{authority()};
    if (isLoopback(options_.host)) names.push_back("localhost:" + std::to_string(port_));
    return names;
}

std::string ConsoleServer::cookieName() const { return std::string(kCookie) + "_" + std::to_string(port_); }

std::string ConsoleServer::url() const { return addressOf(options_.host, port_, options_.token); }

bool ConsoleServer::allowed(const std::string& channel, const std::string& method) {
    // Downloads are not here: imports are import jobs, started by /api/import
    // into the chosen folders; so are automatic imports, kept by /api/auto.
    static const std::set<std::pair<std::string, std::string>> kMethods = {
        {"lumivane/macos", "iphone.available"},    {"lumivane/macos", "iphone.list"},
        {"lumivane/macos", "iphone.children"},     {"lumivane/macos", "iphone.media"},
        {"lumivane/macos", "iphone.setAutoWifi"},  {"lumivane/macos", "camera.list"},
        {"lumivane/macos", "camera.children"},     {"lumivane/macos", "camera.media"},
        {"lumivane/macos", "camera.eject"},        {"lumivane/macos", "volume.list"},
        {"lumivane/macos", "volume.eject"},        {"lumivane/macos", "file.freeSpace"},
        {"lumivane/macos", "file.pickFolder"},     {"lumivane/macos", "file.reveal"},
        {"lumivane/import", "import.status"},      {"lumivane/import", "import.list"},
        {"lumivane/import", "import.cancel"},      {"lumivane/import", "import.resume"},
        {"lumivane/import", "import.dates"},       {"lumivane/import", "import.settings"},
        {"lumivane/import", "import.autoList"},    {"lumivane/import", "import.autoRemove"},
        {"lumivane/import", "import.deviceDates"}, {"lumivane/import", "import.items"},
        {"lumivane/import", "import.imported"},    {"lumivane/import", "import.flag"},
        {"lumivane/import", "import.flags"},
    };
    return kMethods.count({channel, method}) > 0;
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

EncodableMap ConsoleServer::settings() {
    auto answer = callHost("lumivane/import", "import.settings", EncodableValue());
    const auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
    const auto* map = value ? value->get<EncodableMap>() : nullptr;
    return map ? *map : EncodableMap();
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
    server.set_payload_max_length(16 << 20);  // the longest request: /api/import of a whole card's items

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

    RequestGate gate([this] { return authorities(); }, options_.token, [this] { return cookieName(); },
                     options_.tokenKept);
    server.set_pre_routing_handler(
        lifetime_.guard([gate](const httplib::Request& request, httplib::Response& response) {
            auto refusal = gate.admit(request, response);
            if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
            if (request.path == "/") {  // a person at the address bar reads a sentence, not JSON
                response.status = refusal->status;
                response.set_content(
                    "<!doctype html><meta charset=utf-8><title>Lumivane console</title><p>" + refusal->message + "</p>",
                    "text/html; charset=utf-8");
                return httplib::Server::HandlerResponse::Handled;
            }
            fail(response, *refusal);
            return httplib::Server::HandlerResponse::Handled;
        }));

    server.Get("/api/session", route(&ConsoleServer::session));
    server.Get("/", route(&ConsoleServer::page));
    server.Post("/api/destination", route(&ConsoleServer::chooseFolder));
    server.Post("/api/call", route(&ConsoleServer::call));
    server.Post("/api/import", route(&ConsoleServer::import));
    server.Post("/api/auto", route(&ConsoleServer::automatic));
    server.Get("/api/folder", route(&ConsoleServer::cardFolder));
    server.Get("/api/media", route(&ConsoleServer::cardMedia));
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

// The destination ("role": "destination") or the backup destination
// ("backup"; an empty path: none), remembered by the host for every client.
// A folder is typed as a person would ("~/Pictures", "Pictures"); one that
// does not exist yet is made when the page says so ("create"), after asking.
void ConsoleServer::chooseFolder(const httplib::Request& request, httplib::Response& response) {
    auto body = parseRequest(request.body);
    auto typed = textField(body, "path").value_or("");
    auto role = textField(body, "role").value_or("destination");
    if (role != "destination" && role != "backup") return fail(response, 400, "request", "A destination or a backup.");
    if (role == "backup" && typed.empty()) {
        if (!callHost("lumivane/import", "import.remember", EncodableMap{{"settings", EncodableMap{{"backup", ""}}}}))
            return fail(response, 502, "host", "The host is not answering.");
        return reply(response, 200, {{"value", {{"path", ""}}}});
    }
    auto path = typedFolder(typed, options_.home);
    if (path.empty()) return fail(response, 400, "destination", "Choose a folder by its full path.");
    std::error_code error;
    auto status = fs::status(path, error);
    if (!fs::exists(status)) {
        bool create = body.contains("create") && body["create"].is_boolean() && body["create"].get<bool>();
        if (!create) return fail(response, 404, "missing", path + " does not exist.");
        if (!fs::create_directories(path, error) && error)
            return fail(response, 400, "destination", path + " could not be made: " + error.message() + ".");
    } else if (!fs::is_directory(status)) {
        return fail(response, 400, "destination", path + " is not a folder.");
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0)
        return fail(response, 400, "destination", "The folder " + path + " cannot be written.");
    auto free = callHost("lumivane/macos", "file.freeSpace", EncodableMap{{"path", path}});
    auto* value = free ? std::get_if<EncodableValue>(&*free) : nullptr;
    if (!value || value->isNull()) return fail(response, 400, "destination", "The host cannot see that folder.");
    auto canonical = canonicalFolder(path);
    if (role == "backup" && canonical == textOf(settings(), "destination"))
        return fail(response, 400, "destination", "The backup goes to another folder than the import.");
    auto remembered =
        callHost("lumivane/import", "import.remember", EncodableMap{{"settings", EncodableMap{{role, canonical}}}});
    if (!remembered || !std::holds_alternative<EncodableValue>(*remembered))
        return fail(response, 502, "host", "The host could not remember that folder.");
    reply(response, 200, {{"value", {{"path", canonical}, {"free", toJson(*value)}}}});
}

void ConsoleServer::call(const httplib::Request& request, httplib::Response& response) {
    auto body = parseRequest(request.body);
    auto channel = textField(body, "channel"), method = textField(body, "method");
    if (!channel || !method) return fail(response, 400, "request", "A channel and a method.");
    if (!allowed(*channel, *method)) return fail(response, 403, "refused", "Not part of the console's API.");
    auto arguments = body.contains("args") ? fromJson(body["args"]) : EncodableValue();
    if (*method == "file.reveal") {
        const auto* map = arguments.get<EncodableMap>();
        const auto* path = map && map->find("path") ? map->find("path")->get<std::string>() : nullptr;
        auto destination = textOf(settings(), "destination");
        if (destination.empty() || !path || !under(*path, destination, true))
            return fail(response, 403, "destination", "Only the chosen folder can be shown.");
    }
    if (*channel == "lumivane/import" && !sourceShown(arguments))
        return fail(response, 403, "source", "Only a phone, camera or card this page shows.");
    auto answer = callHost(*channel, *method, arguments);
    if (!answer) return fail(response, 502, "host", "The host is not answering.");
    replyText(response, 200, answerText(*answer));
}

// An import job from one device into the chosen folders: the page gives the
// source, the items and the options; the folders are the ones the host
// remembers, never the page's. The options are remembered for next time.
void ConsoleServer::import(const httplib::Request& request, httplib::Response& response) {
    auto body = parseRequest(request.body);
    if (!pageDevice(body, response)) return;
    // Without a destination, the host takes the folders it remembers.
    EncodableMap args{{"source", fromJson(body["source"])}, {"autoResume", true}};
    if (body.contains("items")) {
        if (!body["items"].is_array()) return fail(response, 400, "request", "Items are a list of paths.");
        EncodableList items;
        for (const auto& item : body["items"]) {
            if (!item.is_string()) return fail(response, 400, "request", "Items are a list of paths.");
            items.push_back(rawText(item.get<std::string>()));
        }
        args.set("items", std::move(items));
    }
    // What a person chooses each time (deleting, companions) is not remembered.
    EncodableMap options;
    for (const auto& [key, value] : importOptions(body)) {
        args.set(key, value);
        if (key != "deleteAfter" && key != "companions" && key != "log") options.set(key, value);
    }
    auto answer = callHost("lumivane/import", "import.start", args);
    if (!answer) return fail(response, 502, "host", "The host is not answering.");
    // Remembering is for next time: the import stands whether or not it is kept.
    if (std::holds_alternative<EncodableValue>(*answer) && !options.empty())
        (void)callHost("lumivane/import", "import.remember", EncodableMap{{"settings", options}});
    // The device's own names, kept for it (or forgotten) when the page says so.
    if (std::holds_alternative<EncodableValue>(*answer) && body.contains("preset") && body["preset"].is_boolean()) {
        EncodableMap names;
        if (body["preset"].get<bool>())
            for (const char* key : {"subfolders", "rename", "clockShift"})
                if (const auto* value = options.find(key)) names.set(key, *value);
        (void)callHost("lumivane/import", "import.remember",
                       EncodableMap{{"settings", std::move(names)},
                                    {"source", args.find("source") ? *args.find("source") : EncodableValue()}});
    }
    replyText(response, 200, answerText(*answer));
}

// An automatic import of a device the page shows, with the page's options
// into the chosen folders (never the page's). The rule names the device as
// the host knows it from one connection to the next: a card by its volume's
// UUID, a camera by its serial number, a phone by its UDID.
void ConsoleServer::automatic(const httplib::Request& request, httplib::Response& response) {
    auto body = parseRequest(request.body);
    auto device = pageDevice(body, response);
    if (!device) return;
    auto kind = textField(body["source"], "kind");
    std::string identity = *kind == "volume"   ? textOf(*device, "uuid")
                           : *kind == "camera" ? textOf(*device, "serial")
                                               : textOf(*device, "udid");
    if (identity.empty() && *kind == "camera") identity = textOf(*device, "id");
    if (identity.empty())
        return fail(response, 400, "source", textOf(*device, "name") + " has no identity to know it again by.");
    bool eject = body.contains("eject") && body["eject"].is_boolean() && body["eject"].get<bool>();
    auto answer = callHost("lumivane/import", "import.autoSet",
                           EncodableMap{{"device", EncodableMap{{"kind", *kind}, {"id", identity}}},
                                        {"settings", importOptions(body)},
                                        {"eject", eject}});
    if (!answer) return fail(response, 502, "host", "The host is not answering.");
    replyText(response, 200, answerText(*answer));
}

std::optional<EncodableMap> ConsoleServer::pageDevice(const Json& body, httplib::Response& response) {
    if (textOf(settings(), "destination").empty()) {
        fail(response, 400, "destination", "Choose a folder to import to first.");
        return std::nullopt;
    }
    if (!body.is_object() || !body.contains("source") || !body["source"].is_object()) {
        fail(response, 400, "request", "A source.");
        return std::nullopt;
    }
    auto kind = textField(body["source"], "kind"), id = textField(body["source"], "id");
    auto device = kind && id ? shownDevice(*kind, rawText(*id)) : std::nullopt;
    if (!device) fail(response, 403, "source", "Import only from a phone, camera or card this page shows.");
    return device;
}

// Cards and disks: the console lists their files itself.
std::string ConsoleServer::onCard(const std::string& path) { return onVolume(path, cards()); }

void ConsoleServer::cardFolder(const httplib::Request& request, httplib::Response& response) {
    auto folder = onCard(rawText(request.get_param_value("path")));
    if (folder.empty()) return fail(response, 403, "volume", "Not on a card or disk.");
    reply(response, 200, {{"value", folderEntries(folder)}});
}

// A card's photos as the host's import engine sees them (what an import of
// the card copies, sidecars included), in the entries the page lists: each
// leader, then its twins and sidecars.
void ConsoleServer::cardMedia(const httplib::Request& request, httplib::Response& response) {
    auto path = rawText(request.get_param_value("path"));
    auto cardsNow = cards();
    if (std::find(cardsNow.begin(), cardsNow.end(), path) == cardsNow.end())
        return fail(response, 403, "volume", "Not a card or disk.");
    auto answer = callHost("lumivane/import", "import.items",
                           EncodableMap{{"source", EncodableMap{{"kind", "volume"}, {"id", path}}}});
    if (!answer) return fail(response, 502, "host", "The host is not answering.");
    const auto* value = std::get_if<EncodableValue>(&*answer);
    const auto* leaders = value ? value->get<EncodableList>() : nullptr;
    if (!leaders) return replyText(response, 200, answerText(*answer));
    EncodableList entries;
    auto entry = [](const EncodableMap& item) {
        auto where = textOf(item, "path");
        const auto* size = item.find("size");
        const auto* modified = item.find("modified");
        double seconds = modified && modified->get<double>() ? *modified->get<double>() : 0;
        return EncodableValue(EncodableMap{{"name", where.substr(where.rfind('/') + 1)},
                                           {"path", where},
                                           {"dir", false},
                                           {"size", size ? *size : EncodableValue(std::int64_t{0})},
                                           {"modified", static_cast<std::int64_t>(seconds * 1000)}});
    };
    for (const auto& leader : *leaders) {
        const auto* item = leader.get<EncodableMap>();
        if (!item) continue;
        entries.push_back(entry(*item));
        const auto* companions = item->find("companions");
        for (const auto& companion :
             companions && companions->get<EncodableList>() ? *companions->get<EncodableList>() : EncodableList())
            if (const auto* map = companion.get<EncodableMap>()) entries.push_back(entry(*map));
    }
    replyText(response, 200, answerText(EncodableValue(std::move(entries))));
}

bool ConsoleServer::sourceShown(const EncodableValue& arguments) {
    // What the import engine reads of a device, only of one the page shows:
    // never a disk's own photos by a made-up mount point.
    const auto* map = arguments.get<EncodableMap>();
    const auto* source = map ? map->find("source") : nullptr;
    if (!source) return true;
    const auto* sourceMap = source->get<EncodableMap>();
    const auto* kind = sourceMap && sourceMap->find("kind") ? sourceMap->find("kind")->get<std::string>() : nullptr;
    const auto* id = sourceMap && sourceMap->find("id") ? sourceMap->find("id")->get<std::string>() : nullptr;
    return kind && id && shownDevice(*kind, *id);
}

void ConsoleServer::thumbnail(const httplib::Request& request, httplib::Response& response) {
    auto method = request.get_param_value("method");
    // A large preview is rendered by the import engine from the item itself.
    bool preview = method == "import.preview";
    if (!preview && method != "iphone.thumbnail" && method != "camera.thumbnail" && method != "file.thumbnail")
        return fail(response, 403, "refused", "Not a thumbnail.");
    auto arguments = fromJson(parseRequest(request.get_param_value("args")));
    if (preview &&
        (!arguments.get<EncodableMap>() || !arguments.get<EncodableMap>()->find("source") || !sourceShown(arguments)))
        return fail(response, 403, "source", "Only a phone, camera or card this page shows.");
    auto answer = callHost(preview ? "lumivane/import" : "lumivane/macos", method, arguments);
    const auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
    const auto* bytes = value ? value->get<Bytes>() : nullptr;
    if (!bytes) return fail(response, 404, "thumbnail", "No thumbnail.");
    // A grid that renders only what is in view asks again for what comes back.
    response.set_header("Cache-Control", "private, max-age=600");
    response.set_content(std::string(bytes->begin(), bytes->end()), "image/jpeg");
}

void ConsoleServer::events(const httplib::Request&, httplib::Response& response) {
    auto stream = std::make_shared<Stream>();
    {
        MutexLock guard(mutex_);
        // Each stream holds a request worker for as long as it is open, and
        // a client that never reads cannot be told from a quiet page: when
        // every slot is taken the oldest stream ends and the newest page is
        // served. A page whose stream ended opens a new one by itself.
        if (streams_.size() >= kMaxEventStreams) {
            streams_.front()->closed = true;
            streams_.pop_front();
            changed_.notify_all();
        }
        streams_.push_back(stream);
    }
    response.set_chunked_content_provider(
        "text/event-stream", lifetime_.guard([this, stream](std::size_t, httplib::DataSink& sink) {
            MutexLock lock(mutex_);
            // A line every second when there is nothing to say: a page that
            // went is found at the next write, and its slot freed, within a second or two.
            changed_.wait_for(lock, kHeartbeat, [&] { return stopping_ || stream->closed || !stream->events.empty(); });
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
            std::erase(streams_, stream);
        }));
}

void ConsoleServer::listenToEvents() {
    while (!stopping_) {
        HostClient client;
        if (!client.connect(options_.socketPath, std::chrono::seconds(1))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a path that can never work fails at once
            continue;
        }
        (void)client.call("lumivane/macos/events", "listen");
        (void)client.call("lumivane/bonjour/events", "listen");
        (void)client.call("lumivane/import/events", "listen");
        while (!stopping_) {
            auto event = client.nextEvent(std::chrono::milliseconds(300));
            if (!event) {
                if (client.fd() < 0) break;  // the host went: connect again
                continue;
            }
            auto* value = std::get_if<EncodableValue>(&event->second);
            if (!value) continue;
            publish("{\"channel\":" + jsonText(event->first) + ",\"event\":" + jsonTextOf(*value) + "}");
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

bool ConsoleServer::shown(const std::string& kind, const std::string& id) { return shownDevice(kind, id).has_value(); }

std::optional<EncodableMap> ConsoleServer::shownDevice(const std::string& kind, const std::string& id) {
    if (kind == "volume") {
        for (auto& card : cardEntries())
            if (textOf(card, "path") == id) return card;
        return std::nullopt;
    }
    if (kind != "iphone" && kind != "camera") return std::nullopt;
    auto answer = callHost("lumivane/macos", kind + ".list", EncodableValue());
    const auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
    const auto* list = value ? value->get<EncodableList>() : nullptr;
    for (const auto& entry : list ? *list : EncodableList()) {
        const auto* device = entry.get<EncodableMap>();
        if (device && textOf(*device, kind == "iphone" ? "udid" : "id") == id) return *device;
    }
    return std::nullopt;
}

std::vector<EncodableMap> ConsoleServer::cardEntries() {
    auto answer = callHost("lumivane/macos", "volume.list", EncodableValue());
    const auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
    const auto* list = value ? value->get<EncodableList>() : nullptr;
    std::vector<EncodableMap> cards;
    for (const auto& entry : list ? *list : EncodableList()) {
        const auto* volume = entry.get<EncodableMap>();
        if (!volume) continue;
        auto flag = [&](const char* key) {
            const auto* found = volume->find(key);
            return found && found->get<bool>() && *found->get<bool>();
        };
        if (!textOf(*volume, "path").empty() && (flag("removable") || flag("ejectable")) && !flag("root"))
            cards.push_back(*volume);
    }
    return cards;
}

std::vector<std::string> ConsoleServer::cards() {
    std::vector<std::string> paths;
    for (const auto& card : cardEntries()) paths.push_back(textOf(card, "path"));
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
