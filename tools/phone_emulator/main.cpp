// lumivane-phone-emulator: phones on the wire for anyone without one. See
// phone_emulator.h; the README lists the control commands.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "runtime/termination_signals.h"
#include "tools/phone_emulator/phone_emulator.h"

using namespace lumivane::emulator;

namespace {

int usage() {
    std::cerr << "usage: lumivane-phone-emulator --socket PATH --phone UDID=FOLDER [--phone UDID=FOLDER ...]\n"
                 "                              [--name UDID=NAME] [--untrusted UDID] [--control PATH]\n";
    return 64;
}

// One command a line on the control socket, answered "ok" or "error: ...".
std::string command(PhoneEmulator& emulator, const std::string& line) {
    std::istringstream words(line);
    std::string verb, udid, value;
    words >> verb >> udid >> value;
    bool known = false;
    if (verb == "trust" && (value == "yes" || value == "no" || value == "pending"))
        known = emulator.setTrust(udid, value == "yes"  ? PhoneEmulator::Trust::trusted
                                        : value == "no" ? PhoneEmulator::Trust::refused
                                                        : PhoneEmulator::Trust::pending);
    else if (verb == "latency" && !value.empty())
        known = emulator.setLatency(udid, std::atoi(value.c_str()));
    else if (verb == "detach")
        known = emulator.detach(udid);
    else if (verb == "attach")
        known = emulator.attach(udid);
    else
        return "error: unknown command";
    return known ? "ok" : "error: no such phone";
}

void serveControl(PhoneEmulator& emulator, int listenFd) {
    for (;;) {
        int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0) return;
        std::string buffer;
        char chunk[512];
        ssize_t got;
        while ((got = ::read(fd, chunk, sizeof chunk)) > 0) {
            buffer.append(chunk, std::size_t(got));
            std::size_t end;
            while ((end = buffer.find('\n')) != std::string::npos) {
                auto answer = command(emulator, buffer.substr(0, end)) + "\n";
                buffer.erase(0, end + 1);
                if (::write(fd, answer.data(), answer.size()) < 0) break;
            }
        }
        ::close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath, controlPath;
    std::vector<std::pair<std::string, std::string>> phones;
    std::map<std::string, std::string> names;
    std::vector<std::string> untrusted;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string next = i + 1 < argc ? argv[i + 1] : "";
        auto pair = [&](auto& out) {
            auto equals = next.find('=');
            if (equals == std::string::npos || equals == 0) return false;
            out.emplace_back(next.substr(0, equals), next.substr(equals + 1));
            ++i;
            return true;
        };
        if (arg == "--socket" && !next.empty()) {
            socketPath = next;
            ++i;
        } else if (arg == "--control" && !next.empty()) {
            controlPath = next;
            ++i;
        } else if (arg == "--phone") {
            if (!pair(phones)) return usage();
        } else if (arg == "--name") {
            std::vector<std::pair<std::string, std::string>> named;
            if (!pair(named)) return usage();
            names[named[0].first] = named[0].second;
        } else if (arg == "--untrusted" && !next.empty()) {
            untrusted.push_back(next);
            ++i;
        } else {
            return usage();
        }
    }
    if (socketPath.empty() || phones.empty()) return usage();

    lumivane::blockTerminationSignals();

    PhoneEmulator emulator;
    for (const auto& [udid, folder] : phones) {
        auto name = names.count(udid) ? names[udid] : std::filesystem::path(folder).filename().string();
        emulator.addPhone(udid, folder, name);
    }
    for (const auto& udid : untrusted) emulator.setTrust(udid, PhoneEmulator::Trust::pending);
    if (!emulator.start(socketPath)) {
        std::cerr << "lumivane-phone-emulator: cannot listen on " << socketPath << "\n";
        return 1;
    }
    int controlFd = -1;
    std::thread control;
    if (!controlPath.empty()) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, controlPath.c_str(), sizeof address.sun_path - 1);
        ::unlink(controlPath.c_str());
        controlFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(controlFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(controlFd, 4) != 0) {
            std::cerr << "lumivane-phone-emulator: cannot listen on " << controlPath << "\n";
            return 1;
        }
        control = std::thread([&] { serveControl(emulator, controlFd); });
    }
    lumivane::waitForTermination();
    emulator.stop();
    if (controlFd >= 0) {
        ::shutdown(controlFd, SHUT_RDWR);
        control.join();
        ::close(controlFd);
        ::unlink(controlPath.c_str());
    }
    return 0;
}
