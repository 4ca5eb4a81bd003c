// lumivane-host: runs the host on the simulated Mac or on this machine's real
// services and serves its messenger on a Unix socket.
#include <pthread.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include <filesystem>
#include <memory>
#include <optional>

#include "app/host.h"
#include "app/host_lock.h"
#include "app/sim_control/sim_control.h"
#include "platform/linux/linux_platform.h"
#include "platform/sim/sim_mac.h"
#include "runtime/allocator.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"
#include "runtime/termination_signals.h"
#include "tools/common/program_info.h"
#include "tools/host/socket_server.h"

using namespace lumivane;

namespace {

const std::string kUsage =
    "usage: lumivane-host --platform sim|linux --socket PATH [--home DIR] [--bundle-id ID]\n"
    "                     [--mobile-device PROVIDER.so] [--library DIR] [--camera-folder DIR ...]\n"
    "  --mobile-device names the MobileDevice provider library (default on sim: the\n"
    "  simulated provider built beside this program; on linux: the libimobiledevice\n"
    "  provider built beside it, for real phones through the usbmux daemon).\n"
    "  --home and --bundle-id set the simulated Mac's home folder (default: a new\n"
    "  temporary folder) and bundle identifier (default com.lumivane.app).\n"
    "  --library names the photo library folder on linux (default: $XDG_PICTURES_DIR,\n"
    "  else ~/Pictures); the simulated Mac's is set by the control \"library.load\".\n"
    "  --camera-folder adds, on linux, a camera on libgphoto2's Directory Browse driver\n"
    "  at that folder (repeatable).\n"
    "  --help prints this; --version the version.\n";

int usage() {
    std::cerr << kUsage;
    return 64;
}

// A path relative to the folder of this executable.
std::string besideThisProgram(const std::string& relative) {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return relative;
    return (self.parent_path() / relative).lexically_normal().string();
}

// A MobileDevice provider that came with this program: in the package's
// private library folder (/usr/lib/lumivane), or in the build's lib folder.
std::string providerBesideThisProgram(const std::string& name) {
    auto installed = besideThisProgram("../lib/lumivane/" + name);
    return std::filesystem::exists(installed) ? installed : besideThisProgram("../lib/" + name);
}

struct CommandLine {
    std::string platform = "sim";
    std::string socketPath, home, provider;
    LinuxPlatformOptions linuxOptions;
    std::optional<std::string> bundleId = "com.lumivane.app";
};

// The command line, or none when it is not one this program takes.
std::optional<CommandLine> parse(int argc, char** argv) {
    CommandLine parsed;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--platform")
            parsed.platform = next();
        else if (arg == "--socket")
            parsed.socketPath = next();
        else if (arg == "--mobile-device")
            parsed.provider = next();
        else if (arg == "--library")
            parsed.linuxOptions.libraryFolder = next();
        else if (arg == "--camera-folder")
            parsed.linuxOptions.cameraFolders.push_back(next());
        else if (arg == "--home")
            parsed.home = next();
        else if (arg == "--bundle-id") {
            parsed.bundleId = next();
            if (parsed.bundleId->empty()) parsed.bundleId.reset();  // "" means no bundle identifier
        } else
            return std::nullopt;
    }
    if ((parsed.platform != "sim" && parsed.platform != "linux") || parsed.socketPath.empty()) return std::nullopt;
    return parsed;
}

// The services the host runs on: this machine's, or a simulated Mac in a
// home folder of its own. Fills in the MobileDevice provider built beside
// this program when none was named.
struct Services {
    std::unique_ptr<SimMac> simMac;
    std::unique_ptr<LinuxPlatform> linuxPlatform;
    Platform platform() { return simMac ? simMac->platform() : linuxPlatform->platform(); }
};

Services makeServices(CommandLine& arguments, MainLoop& loop, Log& log) {
    Services services;
    if (arguments.platform == "linux") {
        // Real phones through libimobiledevice, when that provider was built.
        if (arguments.provider.empty()) {
            auto real = providerBesideThisProgram("liblumivane_imobiledevice.so");
            if (std::filesystem::exists(real)) arguments.provider = real;
        }
        services.linuxPlatform = std::make_unique<LinuxPlatform>(loop, log, std::move(arguments.linuxOptions));
        return services;
    }
    if (arguments.home.empty()) {
        char pattern[] = "/tmp/lumivane-home-XXXXXX";
        arguments.home = mkdtemp(pattern) ? pattern : "/tmp";
    }
    std::error_code error;
    std::filesystem::create_directories(arguments.home, error);
    if (error) log.write("Lumivane: cannot create the simulated home " + arguments.home + ": " + error.message());
    if (arguments.provider.empty()) arguments.provider = providerBesideThisProgram("liblumivane_sim_mobile_device.so");
    services.simMac =
        std::make_unique<SimMac>(SimMac::Options{arguments.home, arguments.bundleId, arguments.provider, &log}, loop);
    return services;
}

// After the main loop: the host is gone within two seconds whatever is stuck
// (a device that stopped answering, a read that never returns); past that,
// work still in flight is abandoned with one log line.
void exitWithinTwoSeconds() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1900));
        std::fputs("Lumivane: work still in flight after two seconds; exiting without it\n", stderr);
        std::_Exit(0);
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = answerHelpOrVersion(argc, argv, "lumivane-host", kUsage)) return *answered;
    auto arguments = parse(argc, argv);
    if (!arguments) return usage();
    tuneAllocatorForLargeBuffers();
    // Termination signals are taken by one thread, which quits the main loop;
    // every other thread inherits the blocked mask.
    blockTerminationSignals();

    Log log(Log::Options{true, arguments->platform == "linux", false});
    MainLoop loop;
    auto services = makeServices(*arguments, loop, log);
    Host::Options options;
    options.bridges.iphone.provider = arguments->provider;
    Host host(services.platform(), loop, log, std::move(options));
    // Before the import history is opened: a second host over it would take
    // the first one's running jobs for interrupted ones.
    auto lock = HostLock::take(host.localDataFolder(), arguments->socketPath);
    if (!lock.ok()) {
        log.write("Lumivane: " + lock.error().message);
        return 2;
    }
    std::unique_ptr<SimControl> simControl;
    if (services.simMac)
        simControl = std::make_unique<SimControl>(host.messenger(), log, *services.simMac, bridgeTable());
    host.start();

    SocketServer server(loop, host.messenger(), log);
    if (!server.start(arguments->socketPath)) return 1;
    log.write("Lumivane: host serving on " + arguments->socketPath + " (" + arguments->platform + ")");

    std::thread signalThread([&] {
        waitForTermination();
        loop.quit();
    });
    loop.run();
    exitWithinTwoSeconds();
    // Going, in order: take nothing more in (and answer nothing more), drop
    // queued work, let work in flight end, then destroy what is left.
    server.stop();
    host.shutdown();
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    return 0;
}
