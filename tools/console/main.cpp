// lumivane-console: a page to import photos with a browser, served over HTTP
// by a client of the host's socket. Prints the page's address (with its
// token) as the first line of its output, then serves until SIGTERM.
#include <signal.h>

#include <iostream>
#include <string>

#include "runtime/termination_signals.h"
#include "tools/console/console_server.h"

using namespace lumivane;

int main(int argc, char** argv) {
    ConsoleServer::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--socket" && !next.empty()) {
            options.socketPath = next;
            ++i;
        } else if (arg == "--listen" && next.find(':') != std::string::npos) {
            auto colon = next.rfind(':');
            options.host = next.substr(0, colon);
            options.port = std::atoi(next.c_str() + colon + 1);
            ++i;
        } else {
            options.socketPath.clear();
            break;
        }
    }
    if (options.socketPath.empty()) {
        std::cerr << "usage: lumivane-console --socket PATH [--listen 127.0.0.1:PORT]\n"
                     "  --listen defaults to 127.0.0.1:0 (a free port on the loopback address).\n";
        return 64;
    }
    blockTerminationSignals();

    ConsoleServer server(options);
    if (!server.start()) {
        std::cerr << "lumivane-console: cannot listen on " << options.host << ":" << options.port << "\n";
        return 1;
    }
    std::cout << server.url() << std::endl;
    waitForTermination();
    server.stop();
    return 0;
}
