// lumivane-console: a page to import photos with a browser, served over HTTP
// by a client of the host's socket. Prints the page's address (with its
// token) as the first line of its output, then serves until SIGTERM. It
// listens on 127.0.0.1:5718 unless told otherwise; on a fixed port its token
// is kept from start to start, so the address can be bookmarked.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "runtime/termination_signals.h"
#include "tools/common/program_info.h"
#include "tools/console/console_server.h"
#include "tools/console/console_token.h"

using namespace lumivane;

namespace {
constexpr int kDefaultPort = 5718;

const char* const kUsage =
    "usage: lumivane-console --socket PATH [--listen 127.0.0.1:PORT] [--allow-remote]\n"
    "       lumivane-console --url | --open [--listen 127.0.0.1:PORT]\n"
    "  --listen defaults to 127.0.0.1:5718 (port 0: a free one, with a new token each start);\n"
    "  any other address needs --allow-remote, as the page then reaches the network.\n"
    "  --url prints the address of the console kept on that port (with its token),\n"
    "  --open opens it in the browser (xdg-open); neither serves.\n"
    "  --help prints this; --version the version.\n";

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = answerHelpOrVersion(argc, argv, "lumivane-console", kUsage)) return *answered;
    ConsoleServer::Options options;
    options.port = kDefaultPort;
    bool allowRemote = false, usage = false, printUrl = false, open = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--socket" && !next.empty()) {
            options.socketPath = next;
            ++i;
        } else if (arg == "--listen" && next.find(':') != std::string::npos) {
            auto colon = next.rfind(':');
            options.host = next.substr(0, colon);
            if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']')
                options.host = options.host.substr(1, options.host.size() - 2);
            auto port = next.substr(colon + 1);
            usage |= port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
                     std::stoi(port) > 65535;
            if (!usage) options.port = std::stoi(port);
            ++i;
        } else if (arg == "--allow-remote") {
            allowRemote = true;
        } else if (arg == "--url") {
            printUrl = true;
        } else if (arg == "--open") {
            open = true;
        } else {
            usage = true;
        }
    }
    if (!usage && (printUrl || open)) {
        // The address a console on this port serves, for a menu entry or a
        // bookmark: its token is the one kept for the port.
        if (options.port == 0) {
            std::cerr << "lumivane-console: a console on port 0 has no lasting address.\n";
            return 64;
        }
        auto url = ConsoleServer::addressOf(options.host, options.port, keptToken(userConfigFolder(), options.port));
        if (printUrl) std::cout << url << std::endl;
        if (!open) return 0;
        ::execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
        std::cerr << "lumivane-console: cannot run xdg-open: " << std::strerror(errno) << "\n";
        return 1;
    }
    if (usage || options.socketPath.empty()) {
        std::cerr << kUsage;
        return 64;
    }
    if (!ConsoleServer::isLoopback(options.host) && !allowRemote) {
        std::cerr << "lumivane-console: " << options.host
                  << " is not a loopback address; add --allow-remote to serve the network.\n";
        return 64;
    }
    if (options.port != 0) {
        options.token = keptToken(userConfigFolder(), options.port);
        options.tokenKept = true;
    }
    blockTerminationSignals();

    ConsoleServer server(options);
    if (!server.start()) {
        std::cerr << "lumivane-console: cannot listen on " << options.host << ":" << options.port
                  << " (another console may be there; --listen 127.0.0.1:0 takes a free port)\n";
        return 1;
    }
    std::cout << server.url() << std::endl;
    waitForTermination();
    // Gone within two seconds whatever a request is stuck on.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1900));
        std::fputs("lumivane-console: requests still running after two seconds; exiting without them\n", stderr);
        std::_Exit(0);
    }).detach();
    server.stop();
    return 0;
}
