// The web console in front of a host on the simulated Mac, asked as a browser
// asks it: from the page's first request to 60 thumbnails of a 1,000-photo
// phone (six connections at a time, as a browser opens to one site), and an
// import of 200 selected photos (one import job, followed as the page follows
// it) against the host's own downloads of the same 200 photos, and against
// `cp` of the same files.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
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

constexpr int kPhotos = 1000, kImported = 200, kShown = 60;
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
    Json call(httplib::Client& client, const std::string& method, const Json& args,
              const std::string& channel = "lumivane/macos") {
        return post(client, "/api/call", Json{{"channel", channel}, {"method", method}, {"args", args}});
    }
    Json post(httplib::Client& client, const std::string& path, const Json& body) {
        auto response = client.Post(path, cookie, body.dump(), "application/json");
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

// The page's import: one job of the 200 selected photos, followed on the
// console's event stream until its "done", as the page follows it.
void BM_ConsoleImport200(benchmark::State& state) {
    Host host;
    Console console(host);
    auto imports = work + "/imports";
    auto client = console.client();
    Json items = Json::array();
    for (const auto& path : importedPaths) items.push_back(path);
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(imports);
        fs::create_directories(imports);
        console.post(*client, "/api/destination", {{"path", imports}});
        std::atomic<bool> done{false};
        std::thread listener([&] {
            std::string received;
            console.client()->Get("/api/events", console.cookie, [&](const char* data, std::size_t length) {
                received.append(data, length);
                done = received.find("\"type\":\"done\"") != std::string::npos;
                return !done;
            });
        });
        while (console.server.openEventStreams() == 0) std::this_thread::yield();
        state.ResumeTiming();
        auto job =
            console.post(*client, "/api/import",
                         {{"source", {{"kind", "iphone"}, {"id", "PHONE"}}}, {"items", items}, {"onlyNew", false}});
        if (!job["value"].is_string()) {
            console.server.stop();
            listener.join();
            return state.SkipWithError("the import did not start");
        }
        while (!done) std::this_thread::sleep_for(std::chrono::microseconds(200));
        state.PauseTiming();
        listener.join();
        state.ResumeTiming();
    }
    auto copied = std::distance(fs::recursive_directory_iterator(imports), fs::recursive_directory_iterator());
    if (copied != kImported) state.SkipWithError("not every photo arrived");
}

// The host's own downloads of the same photos, a few at a time over the
// socket, as a client that needs no page would ask.
void BM_HostDownloads200(benchmark::State& state) {
    Host host;
    auto downloads = work + "/downloads";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(downloads);
        fs::create_directories(downloads);
        state.ResumeTiming();
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&, t] {
                HostClient client;
                client.connect(host.socket());
                for (int i = t; i < kImported; i += 3)
                    (void)client.call(
                        "lumivane/macos", "iphone.download",
                        EncodableMap{{"udid", "PHONE"},
                                     {"path", importedPaths[i]},
                                     {"target", downloads + "/" + fs::path(importedPaths[i]).filename().string()},
                                     {"token", "d" + std::to_string(i)}});
            });
        for (auto& thread : threads) thread.join();
    }
    if (std::distance(fs::directory_iterator(downloads), fs::directory_iterator()) != kImported)
        state.SkipWithError("not every photo arrived");
}

// `cp` of the same files; with `sync` of the copies after it when
// state.range(0) is 1, for the same promise an import makes: every file it
// reports is on the disk.
void BM_Cp200(benchmark::State& state) {
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
BENCHMARK(BM_Cp200)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HostDownloads200)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConsoleImport200)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ScratchFolder scratch;
    work = scratch.path();
    binFolder = fs::canonical("/proc/self/exe").parent_path().string();
    // The phone: 1,000 photos as a phone files them; the 200 newest are
    // the ones selected.
    if (!runCommand({binFolder + "/lumivane-photos", work + "/phone", std::to_string(kPhotos), "1"})) return 1;
    for (int number = kPhotos - kImported + 1; number <= kPhotos; ++number) {
        char name[32];
        std::snprintf(name, sizeof name, "%dAPPLE/IMG_%04d.JPG", 100 + (number - 1) / 200, number);
        importedPaths.push_back(name);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"console import of 200 photos / the host's own 200 downloads (goal: at most 2)", "BM_ConsoleImport200",
          "BM_HostDownloads200"},
         {"console import (verified) / cp and sync of the same 200", "BM_ConsoleImport200", "BM_Cp200/1"},
         {"console import (verified) / cp alone, which leaves the copies in the page cache", "BM_ConsoleImport200",
          "BM_Cp200/0"}},
        {"page to 60 thumbnails: the time of BM_PageTo60Thumbnails"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
