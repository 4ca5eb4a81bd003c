#include "tools/ctl/import_command.h"

#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>

#include "channel/arguments.h"
#include "tools/common/json_value.h"

namespace lumivane {

namespace {

volatile std::sig_atomic_t stopAsked = 0;

std::string bytesText(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 4) bytes /= 1000, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}

std::string durationText(double seconds) {
    if (seconds < 0) return "--:--";
    auto whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

EncodableMap sourceOf(const std::string& from) {
    for (const char* kind : {"iphone", "camera", "volume"}) {
        std::string prefix = std::string(kind) + ":";
        if (from.rfind(prefix, 0) == 0) return {{"kind", kind}, {"id", from.substr(prefix.size())}};
    }
    return {{"kind", "volume"}, {"id", from}};
}

std::string absolute(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    char here[4096];
    return ::getcwd(here, sizeof here) ? std::string(here) + "/" + path : path;
}

// One line that redraws itself: the bar, items, bytes, rate, time left.
void drawProgress(const Arguments& event) {
    auto bytes = event.integer("bytes").value_or(0), totalBytes = event.integer("totalBytes").value_or(0);
    auto items = event.integer("items").value_or(0), total = event.integer("total").value_or(0);
    double rate = event.real("rate").value_or(0), left = event.real("timeLeft").value_or(-1);
    constexpr int kWidth = 30;
    int filled = totalBytes > 0 ? static_cast<int>(kWidth * std::min(1.0, double(bytes) / double(totalBytes))) : 0;
    std::cerr << "\r  [" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << items << "/"
              << total << " items, " << bytesText(double(bytes)) << " of " << bytesText(double(totalBytes)) << ", "
              << bytesText(rate) << "/s, " << durationText(left) << " left   " << std::flush;
}

}  // namespace

const char* ImportCommand::usage() {
    return "  lumivanectl [--socket PATH] import FROM [TO] [--subfolders T] [--rename T] [--backup DIR]\n"
           "              [--all] [--no-verify] [--delete-after]\n"
           "  lumivanectl [--socket PATH] import --resume JOB\n"
           "  lumivanectl [--socket PATH] items FROM\n";
}

int ImportCommand::run(HostClient& client) const {
    if (auto listening = client.call("lumivane/import/events", "listen"); !listening) {
        std::cerr << listening.error().message << "\n";
        return 3;
    }
    Result<MethodResponse> started = Error("");
    if (resume) {
        started = client.call("lumivane/import", "import.resume", EncodableMap{{"job", operands[0]}});
    } else {
        EncodableMap args{
            {"source", sourceOf(operands[0])}, {"onlyNew", !all}, {"verify", !noVerify}, {"deleteAfter", deleteAfter}};
        if (operands.size() > 1) args.set("destination", absolute(operands[1]));
        if (!subfolders.empty()) args.set("subfolders", subfolders);
        if (!rename.empty()) args.set("rename", rename);
        if (!backup.empty()) args.set("backup", absolute(backup));
        started = client.call("lumivane/import", "import.start", args);
    }
    if (!started) {
        std::cerr << started.error().message << "\n";
        return 3;
    }
    if (auto* error = std::get_if<MethodError>(&*started)) {
        std::cerr << error->code << ": " << error->message.value_or("") << "\n";
        return 1;
    }
    auto* id = std::get<EncodableValue>(*started).get<std::string>();
    if (!id) return 1;
    const std::string job = *id;
    std::cerr << "import " << job << "\n";
    std::signal(SIGINT, [](int) { stopAsked = 1; });
    bool cancelSent = false;
    for (;;) {
        if (stopAsked && !cancelSent) {
            std::cerr << "\n  cancelling (resume with: lumivanectl import --resume " << job << ")\n";
            client.post("lumivane/import", "import.cancel", EncodableMap{{"job", job}});
            cancelSent = true;
        }
        auto event = client.nextEvent(std::chrono::milliseconds(100));
        if (client.fd() < 0) {
            std::cerr << "\nthe host closed the connection\n";
            return 3;
        }
        if (!event) continue;
        auto* value = std::get_if<EncodableValue>(&event->second);
        if (!value) continue;
        Arguments fields(*value);
        if (fields.string("job") != job) continue;
        auto type = fields.string("type").value_or("");
        if (type == "progress") {
            drawProgress(fields);
        } else if (type == "item" && fields.string("state") != "imported") {
            std::cerr << "\r  " << fields.string("state").value_or("") << ": " << fields.string("source").value_or("")
                      << " (" << fields.string("reason").value_or("") << ")\n";
        } else if (type == "done") {
            auto state = fields.string("state").value_or("");
            std::cerr << "\n";
            std::cout << state << ": " << fields.integer("imported").value_or(0) << " imported, "
                      << fields.integer("skipped").value_or(0) << " skipped, " << fields.integer("failed").value_or(0)
                      << " failed of " << fields.integer("total").value_or(0);
            if (auto reason = fields.string("reason"); reason && !reason->empty()) std::cout << " (" << *reason << ")";
            std::cout << "\n";
            return state == "done" ? 0 : 1;
        }
    }
}

int ImportCommand::listItems(HostClient& client) const {
    auto answer = client.call("lumivane/import", "import.items", EncodableMap{{"source", sourceOf(operands[0])}});
    if (!answer) {
        std::cerr << answer.error().message << "\n";
        return 3;
    }
    if (auto* error = std::get_if<MethodError>(&*answer)) {
        std::cerr << error->code << ": " << error->message.value_or("") << "\n";
        return 1;
    }
    const auto* value = std::get_if<EncodableValue>(&*answer);
    const auto* leaders = value ? value->get<EncodableList>() : nullptr;
    if (!leaders) return 1;
    std::map<std::string, int> kinds;
    int companions = 0;
    for (const auto& entry : *leaders) {
        Arguments leader(entry);
        auto kind = leader.string("kind").value_or("");
        ++kinds[kind];
        std::cout << leader.string("path").value_or("") << "  " << bytesText(double(leader.integer("size").value_or(0)))
                  << "  " << kind;
        if (const auto* others = leader.list("companions"); others && !others->empty()) {
            std::cout << "  +";
            for (const auto& other : *others) {
                auto path = Arguments(other).string("path").value_or("");
                std::cout << " " << path.substr(path.rfind('/') + 1);
                ++companions;
            }
        }
        std::cout << "\n";
    }
    std::cout << leaders->size() << " items";
    const char* separator = ": ";
    for (const auto& [kind, number] : kinds) std::cout << separator << number << " " << kind, separator = ", ";
    std::cout << "; " << companions << " twins and sidecars with them\n";
    return 0;
}

}  // namespace lumivane
