// The web console in front of a host on the simulated Mac, asked as a browser
// asks it: from the page's first request to 60 thumbnails of a 1,000-photo
// phone (six connections at a time, as a browser opens to one site), and an
// import of 100 photos of 4 MiB (two at a time, as the page imports) against
// `cp` of the same files.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "bench/host_process.h"
#include "bench/ratio_reporter.h"
#include "bench/run_command.h"
#include "bench/scratch_folder.h"
#include "tools/common/json_value.h"
#include "tools/console/console_server.h"
#include "tools/transport/host_client.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

constexpr int kPhotos = 1000, kImported = 100, kShown = 60;
std::string work, binFolder;
std::vector<std::string> importedPaths;  // the phone's paths of the photos to import

// A host process on the simulated Mac with one phone, for the whole run.
class Host {
public:
    Host() {
        HostClient client;
        client.connect(process_.socket());
        (void)client.call("sim/control", "phone.add",
                          EncodableMap{{"udid", "PHONE"}, {"name", "iPhone"}, {"root", work + "/phone"}});
        (void)client.call("sim/control", "phone.attach", EncodableMap{{"udid", "PHONE"}, {"link", "usb"}});
    }
    std::string socket() const { return process_.socket(); }

private:
    HostProcess process_{binFolder, work};
};

// The console with its cookie, and a client of it.
struct Console {
    ConsoleServer server;
    httplib::Headers cookie;

    explicit Console(const Host& host) : server(ConsoleServer::Options{.socketPath = host.socket()}) {
        server.start();
        cookie = {{"Cookie", server.cookieName() + "=" + server.token()}};
    }
    std::unique_ptr<httplib::Client> client() {
        auto made = std::make_unique<httplib::Client>("127.0.0.1", server.port());
        made->set_read_timeout(600, 0);
        return made;
    }
    Json call(httplib::Client& client, const std::string& method, const Json& args) {
        auto response = client.Post("/api/call", cookie,
                                    Json{{"channel", "lumivane/macos"}, {"method", method}, {"args", args}}.dump(),
                                    "application/json");
        return response ? Json::parse(response->body, nullptr, false) : Json();
    }
};

// Runs `count` jobs on `parallel` threads, job i on thread i % parallel.
void inParallel(int parallel, int count, const std::function<void(int, httplib::Client&)>& job, Console& console) {
    std::vector<std::thread> threads;
    for (int t = 0; t < parallel; ++t)
        threads.emplace_back([&, t] {
            auto client = console.client();
            for (int i = t; i < count; i += parallel) job(i, *client);
        });
    for (auto& thread : threads) thread.join();
}

void BM_PageTo60Thumbnails(benchmark::State& state) {
    Host host;
    Console console(host);
    for (auto _ : state) {
        auto client = console.client();
        auto page = client->Get("/", console.cookie);
        auto started = std::chrono::steady_clock::now();
        auto media = console.call(*client, "iphone.media", {{"udid", "PHONE"}});
        state.counters["listing_ms"] =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        if (!page || page->status != 200 || !media["value"].is_array() || media["value"].size() < kShown)
            return state.SkipWithError("no page or no listing");
        std::atomic<int> shown = 0;
        inParallel(
            6, kShown,
            [&](int i, httplib::Client& client) {
                auto args = Json{{"udid", "PHONE"}, {"path", media["value"][i]["path"]}, {"px", 256}}.dump();
                auto query = httplib::detail::params_to_query_str({{"method", "iphone.thumbnail"}, {"args", args}});
                auto thumbnail = client.Get("/api/thumbnail?" + query, console.cookie);
                // A video without a picture answers 404, and the page shows its sign.
                shown += thumbnail && (thumbnail->status == 200 || thumbnail->status == 404);
            },
            console);
        if (shown != kShown) state.SkipWithError("a thumbnail is missing");
    }
}

void BM_ConsoleImport100(benchmark::State& state) {
    Host host;
    Console console(host);
    auto imports = work + "/imports";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(imports);
        fs::create_directories(imports);
        auto chooser = console.client();
        chooser->Post("/api/destination", console.cookie, Json{{"path", imports}}.dump(), "application/json");
        state.ResumeTiming();
        inParallel(
            2, kImported,
            [&](int i, httplib::Client& client) {
                auto name = fs::path(importedPaths[i]).filename().string();
                console.call(client, "iphone.download",
                             {{"udid", "PHONE"},
                              {"path", importedPaths[i]},
                              {"target", imports + "/" + name},
                              {"token", "t" + std::to_string(i)}});
            },
            console);
    }
    if (std::distance(fs::directory_iterator(imports), fs::directory_iterator()) != kImported)
        state.SkipWithError("not every photo arrived");
}

// `cp` of the same files; with `sync` of the copies after it when
// state.range(0) is 1, for the same promise an import makes: every file it
// reports is on the disk.
void BM_Cp100(benchmark::State& state) {
    auto copies = work + "/copies";
    std::vector<std::string> command{"cp"}, sync{"sync"};
    for (const auto& path : importedPaths) {
        command.push_back(work + "/phone/DCIM/" + path);
        sync.push_back(copies + "/" + fs::path(path).filename().string());
    }
    command.push_back(copies);
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(copies);
        fs::create_directories(copies);
        state.ResumeTiming();
        if (!runCommand(command) || (state.range(0) == 1 && !runCommand(sync))) state.SkipWithError("cp failed");
    }
}

BENCHMARK(BM_PageTo60Thumbnails)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Cp100)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConsoleImport100)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ScratchFolder scratch;
    work = scratch.path();
    binFolder = fs::canonical("/proc/self/exe").parent_path().string();
    // The phone: 1,000 photos as a phone files them, then 100 more of a
    // camera's size (4 MiB of noise each) in a folder of their own.
    if (!runCommand({binFolder + "/lumivane-photos", work + "/phone", std::to_string(kPhotos), "1"})) return 1;
    std::mt19937_64 random(7);
    std::string bytes(4 << 20, '\0');
    fs::create_directories(work + "/phone/DCIM/099APPLE");
    for (int i = 0; i < kImported; ++i) {
        for (auto& byte : bytes) byte = static_cast<char>(random());
        char name[32];
        std::snprintf(name, sizeof name, "099APPLE/IMG_%04d.JPG", 5000 + i);
        std::ofstream(work + "/phone/DCIM/" + name, std::ios::binary) << bytes;
        importedPaths.push_back(name);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"console import / cp and sync of 100 photos of 4 MiB (goal: at most 1.5)", "BM_ConsoleImport100",
          "BM_Cp100/1"},
         {"console import / cp alone, which leaves the copies in the page cache", "BM_ConsoleImport100", "BM_Cp100/0"}},
        {"page to 60 thumbnails: the time of BM_PageTo60Thumbnails"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
