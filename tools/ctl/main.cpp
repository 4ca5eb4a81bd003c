// lumivanectl: calls host methods and listens to event channels over the host
// socket. JSON in, JSON out.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "channel/arguments.h"
#include "tools/common/json_value.h"
#include "tools/common/program_info.h"
#include "tools/ctl/import_command.h"
#include "tools/transport/host_client.h"

using namespace lumivane;

namespace {

volatile std::sig_atomic_t interrupted = 0;

std::string usageText() {
    return std::string(
               "usage:\n"
               "  lumivanectl [--socket PATH] call CHANNEL METHOD [JSON-ARGS] [--out FILE] [--head N]\n"
               "              [--events CHANNEL [--linger S] [--cancel-at FRACTION]]\n"
               "  lumivanectl [--socket PATH] listen CHANNEL [--count N] [--seconds S]\n") +
           ImportCommand::usage() +
           "--out writes the answer's first block of bytes to FILE; a FILE holding %d gets\n"
           "every block, numbered from 1. The socket defaults to $LUMIVANE_SOCKET, else the user\n"
           "service's $XDG_RUNTIME_DIR/lumivane/host.sock.\n"
           "--help prints this; --version the version.\n";
}

int usage() {
    std::cerr << usageText();
    return 64;
}

// Every block of bytes in the answer, in order.
void collectBytes(const EncodableValue& value, std::vector<const Bytes*>& found) {
    if (auto* bytes = value.get<Bytes>()) found.push_back(bytes);
    if (auto* map = value.get<EncodableMap>())
        for (const auto& [key, item] : *map) collectBytes(item, found);
    if (auto* list = value.get<EncodableList>())
        for (const auto& item : *list) collectBytes(item, found);
}

// Writes the answer's bytes: the first block to `path`, or, when the path
// holds "%d", each block to the path with its number (from 1) there.
bool writeBytes(const EncodableValue& value, const std::string& path) {
    std::vector<const Bytes*> blocks;
    collectBytes(value, blocks);
    auto numbered = path.find("%d");
    if (numbered == std::string::npos && blocks.size() > 1) blocks.resize(1);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        auto target = path;
        if (numbered != std::string::npos) target.replace(numbered, 2, std::to_string(i + 1));
        std::ofstream out(target, std::ios::binary);
        out.write(reinterpret_cast<const char*>(blocks[i]->data()), static_cast<std::streamsize>(blocks[i]->size()));
        if (!out) {
            std::cerr << "cannot write " << target << "\n";
            return false;
        }
    }
    return true;
}

// Progress events ({"done", "total"}) draw a bar on standard error; other
// events print as JSON lines there.
void showEvent(const std::string& channel, const MethodResponse& event) {
    auto* value = std::get_if<EncodableValue>(&event);
    if (!value) {
        if (auto* error = std::get_if<MethodError>(&event))
            std::cerr << channel << ": error " << error->code << ": " << error->message.value_or("") << "\n";
        return;
    }
    if (auto* map = value->get<EncodableMap>()) {
        auto* done = map->find("done");
        auto* total = map->find("total");
        if (done && total && done->integer() && total->integer()) {
            auto d = *done->integer(), t = *total->integer();
            int width = 30;
            int filled = t > 0 ? static_cast<int>(width * std::min<double>(1.0, double(d) / double(t))) : 0;
            auto* type = map->find("type");
            auto* stage = map->find("stage");
            std::string label = stage && stage->get<std::string>() ? *stage->get<std::string>()
                                : type && type->get<std::string>() ? *type->get<std::string>()
                                                                   : "progress";
            std::cerr << "\r  " << label << " [" << std::string(filled, '#') << std::string(width - filled, '.') << "] "
                      << d << "/" << t << (t > 0 && d >= t ? "\n" : "") << std::flush;
            return;
        }
    }
    std::cerr << "  event " << toJson(*value).dump() << "\n";
}

int printResponse(const MethodResponse& response, const std::string& outPath, long head = -1) {
    if (std::holds_alternative<NotImplemented>(response)) {
        std::cout << "not implemented\n";
        return 2;
    }
    if (auto* error = std::get_if<MethodError>(&response)) {
        std::cout << error->code << ": " << error->message.value_or("") << "\n";
        return 1;
    }
    const auto& value = std::get<EncodableValue>(response);
    if (!outPath.empty() && !writeBytes(value, outPath)) return 1;
    auto* list = value.get<EncodableList>();
    if (head >= 0 && list) {
        // A long list: its first entries, one a line.
        for (std::size_t i = 0; i < list->size() && i < static_cast<std::size_t>(head); ++i)
            std::cout << "  " << toJson((*list)[i]).dump() << "\n";
        if (list->size() > static_cast<std::size_t>(head))
            std::cout << "  (" << list->size() - static_cast<std::size_t>(head) << " more)\n";
        return 0;
    }
    std::cout << toJson(value).dump() << "\n";
    return 0;
}

// What the command line asked for.
struct Options {
    std::string socketPath;
    std::vector<std::string> words;  // the command and its operands
    std::string outPath, eventsChannel;
    long count = -1, head = -1;
    double cancelAt = -1, seconds = -1, linger = 0;
    ImportCommand import;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    // The user service's host, unless told otherwise.
    if (const char* socket = std::getenv("LUMIVANE_SOCKET"))
        o.socketPath = socket;
    else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        o.socketPath = std::string(runtime) + "/lumivane/host.sock";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--socket")
            o.socketPath = next();
        else if (arg == "--out")
            o.outPath = next();
        else if (arg == "--events")
            o.eventsChannel = next();
        else if (arg == "--count")
            o.count = std::atol(next().c_str());
        else if (arg == "--seconds")
            o.seconds = std::atof(next().c_str());
        else if (arg == "--head")
            o.head = std::atol(next().c_str());
        else if (arg == "--cancel-at")
            o.cancelAt = std::atof(next().c_str());
        else if (arg == "--linger")
            o.linger = std::atof(next().c_str());
        else if (arg == "--subfolders")
            o.import.subfolders = next();
        else if (arg == "--rename")
            o.import.rename = next();
        else if (arg == "--backup")
            o.import.backup = next();
        else if (arg == "--resume")
            o.import.resume = true;
        else if (arg == "--all")
            o.import.all = true;
        else if (arg == "--no-verify")
            o.import.noVerify = true;
        else if (arg == "--delete-after")
            o.import.deleteAfter = true;
        else
            o.words.push_back(arg);
    }
    return o;
}

// Shows events as they come; with --cancel-at, also cancels the call's
// transfer once that share of it has arrived.
void watchEvents(HostClient& client, const Options& o, const std::optional<std::string>& token) {
    client.setEventCallback(showEvent);
    if (o.cancelAt < 0 || !token) return;
    // The cancel of the call's own bridge: "iphone.cancel", "camera.cancel".
    auto method = o.words.size() > 2 ? o.words[2] : std::string();
    auto cancel = method.substr(0, method.find('.') + 1) + "cancel";
    client.setEventCallback([&client, token, cancel, cancelAt = o.cancelAt, sent = false](
                                const std::string& channel, const MethodResponse& event) mutable {
        showEvent(channel, event);
        auto* value = std::get_if<EncodableValue>(&event);
        if (!value) return;
        Arguments fields(*value);
        if (sent || fields.string("token") != token) return;
        auto done = fields.integer("done").value_or(0), total = fields.integer("total").value_or(0);
        if (total > 0 && done >= cancelAt * static_cast<double>(total)) {
            std::cerr << "\n  cancelling " << *token << "\n";
            client.post("lumivane/macos", cancel, EncodableMap{{"token", *token}});
            sent = true;
        }
    });
}

int runCall(HostClient& client, const Options& o) {
    EncodableValue arguments;
    if (o.words.size() == 4) {
        try {
            arguments = fromJson(Json::parse(o.words[3]));
        } catch (const std::exception& e) {
            std::cerr << "arguments are not JSON: " << e.what() << "\n";
            return 64;
        }
    }
    watchEvents(client, o, Arguments(arguments).string("token"));
    if (!o.eventsChannel.empty()) {
        if (auto listening = client.call(o.eventsChannel, "listen"); !listening) {
            std::cerr << listening.error().message << "\n";
            return 3;
        }
    }
    auto response = client.call(o.words[1], o.words[2], arguments);
    if (!response) {
        std::cerr << response.error().message << "\n";
        return 3;
    }
    int status = printResponse(*response, o.outPath, o.head);
    // Events the call set off may still be on their way.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(o.linger * 1000));
    while (!o.eventsChannel.empty() && std::chrono::steady_clock::now() < until && client.fd() >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (auto event = client.nextEvent(left)) showEvent(event->first, event->second);
    }
    return status;
}

int runListen(HostClient& client, const Options& o) {
    std::signal(SIGINT, [](int) { interrupted = 1; });
    auto response = client.call(o.words[1], "listen");
    if (!response) {
        std::cerr << response.error().message << "\n";
        return 3;
    }
    if (!std::holds_alternative<EncodableValue>(*response)) return printResponse(*response, "");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(o.seconds * 1000));
    for (long seen = 0; !interrupted && (o.count < 0 || seen < o.count);) {
        if (o.seconds >= 0 && std::chrono::steady_clock::now() >= deadline) break;
        auto event = client.nextEvent(std::chrono::milliseconds(100));
        if (client.fd() < 0) {
            std::cerr << "the host closed the connection\n";
            return 3;
        }
        if (!event) continue;
        ++seen;
        if (auto* value = std::get_if<EncodableValue>(&event->second))
            std::cout << toJson(*value).dump() << std::endl;
        else if (auto* failure = std::get_if<MethodError>(&event->second))
            std::cout << failure->code << ": " << failure->message.value_or("") << std::endl;
    }
    (void)client.call(o.words[1], "cancel");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = answerHelpOrVersion(argc, argv, "lumivanectl", usageText())) return *answered;
    Options o = parseOptions(argc, argv);
    if (o.socketPath.empty() || o.words.empty()) return usage();
    bool call = o.words[0] == "call" && (o.words.size() == 3 || o.words.size() == 4);
    bool listen = o.words[0] == "listen" && o.words.size() == 2;
    bool import =
        o.words[0] == "import" && (o.import.resume ? o.words.size() == 2 : o.words.size() == 2 || o.words.size() == 3);
    bool items = o.words[0] == "items" && o.words.size() == 2;
    if (!call && !listen && !import && !items) return usage();
    o.import.operands.assign(o.words.begin() + 1, o.words.end());

    HostClient client;
    if (!client.connect(o.socketPath)) {
        std::cerr << "cannot connect to " << o.socketPath << "\n";
        return 3;
    }
    if (import) return o.import.run(client);
    if (items) return o.import.listItems(client);
    return call ? runCall(client, o) : runListen(client, o);
}
