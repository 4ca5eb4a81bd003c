// Import jobs through the socket of a host process on the simulated Mac, from
// a card, a phone and a camera holding the same files, and from a camera on
// libgphoto2's Directory Browse driver (which reads only whole files) and a
// phone on the wire (the phone emulator, read through libimobiledevice), each
// in a host on this machine's own services, with and without
// verification, against `cp -r` then `sync` of those files (what a user
// could run instead); a card import that deletes what it copied, against the
// same import that does not; and the "only new" lookup in a history of
// 100,000 copies.
//
// The files: LUMIVANE_IMPORT_PHOTOS photos of 3 MiB (default 1000) and one
// video of LUMIVANE_IMPORT_VIDEO_MIB MiB (default 2048), random bytes.
// Counters: host_peak_MiB is the host's peak resident size during the job,
// host_cpu_s the CPU time it spent on one import;
// vs_cp_sync the throughput against a cp -r + sync run just before each import.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "bench/host_process.h"
#include "bench/ratio_reporter.h"
#include "bench/run_command.h"
#include "bench/scratch_folder.h"
#include "bridges/import/import_history.h"
#include "channel/arguments.h"
#include "tools/phone_emulator/phone_emulator.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

std::string work, binFolder;
std::string tree() { return work + "/tree"; }
std::string destination() { return work + "/out"; }

long setting(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value ? std::atol(value) : fallback;
}

void writeRandom(const std::string& path, std::size_t bytes, std::mt19937_64& random) {
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    for (std::size_t written = 0; written < bytes; written += block.size() * 8) {
        for (auto& word : block) word = random();
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(std::min(bytes - written, block.size() * 8)));
    }
}

// A phone's layout, which a card and a camera serve as well.
void makeTree() {
    std::mt19937_64 random(7);
    auto folder = tree() + "/DCIM/100APPLE";
    fs::create_directories(folder);
    for (long i = 0, photos = setting("LUMIVANE_IMPORT_PHOTOS", 1000); i < photos; ++i)
        writeRandom(folder + "/IMG_" + std::to_string(1000 + i) + ".JPG", 3 << 20, random);
    writeRandom(folder + "/MVI_0001.MOV", std::size_t(setting("LUMIVANE_IMPORT_VIDEO_MIB", 2048)) << 20, random);
    runCommand({"sync"});  // else the first run's flush writes the tree too
}

void clearDestination() {
    fs::remove_all(destination());
    fs::create_directories(destination());
    runCommand({"sync"});
}

bool cpSync() { return runCommand({"sh", "-c", "cp -r '" + tree() + "/DCIM' '" + destination() + "/' && sync"}); }

void BM_CpSync(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        clearDestination();
        state.ResumeTiming();
        if (!cpSync()) state.SkipWithError("cp failed");
    }
}

std::string text(const Result<MethodResponse>& reply, const char* key) {
    auto* value = reply.ok() ? std::get_if<EncodableValue>(&reply.value()) : nullptr;
    if (!value) return "";
    if (auto* string = value->get<std::string>(); string && !key) return *string;
    return key ? Arguments(*value).string(key).value_or("") : "";
}

// Runs one job to its end through `client`; its final state.
std::string runJob(HostClient& client, const EncodableMap& source, bool verify, bool deleteAfter) {
    auto started = client.call("lumivane/import", "import.start",
                               EncodableMap{{"source", source},
                                            {"destination", destination()},
                                            {"onlyNew", false},
                                            {"verify", verify},
                                            {"deleteAfter", deleteAfter}});
    auto job = text(started, nullptr);
    if (job.empty()) return "not started";
    for (;;) {
        auto status = client.call("lumivane/import", "import.list");
        auto* value = status.ok() ? std::get_if<EncodableValue>(&status.value()) : nullptr;
        auto* jobs = value ? value->get<EncodableList>() : nullptr;
        if (jobs && !jobs->empty()) {
            Arguments newest(jobs->front());
            if (newest.string("job") == job && newest.string("state") != "running")
                return newest.string("state").value_or("");
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
}

// A host with the tree as a card, a phone and a camera.
struct ImportHost {
    HostProcess host{binFolder, work + "/host"};
    HostClient client;
    void control(const char* method, EncodableMap args) {
        auto reply = client.call("sim/control", method, std::move(args));
        if (!reply.ok() || std::holds_alternative<MethodError>(reply.value()))
            std::fprintf(stderr, "sim/control %s was refused\n", method);
    }
    ImportHost() {
        client.connect(host.socket());
        control("volume.mount", {{"path", tree()}, {"uuid", "CARD-1"}});
        control("phone.add", {{"udid", "PHONE"}, {"name", "iPhone"}, {"root", tree()}});
        control("phone.attach", {{"udid", "PHONE"}, {"link", "usb"}});
        control("camera.add", {{"uuid", "CAMERA"}, {"name", "Camera"}, {"root", tree()}});
        // Ready once the host knows the phone and the camera has its catalogue.
        for (auto deadline = steady_clock::now() + minutes(2);;) {
            if (steady_clock::now() > deadline) {
                std::fprintf(stderr, "the host did not list the phone and the camera within two minutes\n");
                std::exit(1);
            }
            auto phones = client.call("lumivane/macos", "iphone.list");
            auto cameras = client.call("lumivane/macos", "camera.list");
            auto* list = phones.ok() ? std::get_if<EncodableValue>(&phones.value()) : nullptr;
            auto* cameraList = cameras.ok() ? std::get_if<EncodableValue>(&cameras.value()) : nullptr;
            bool phone = list && list->get<EncodableList>() && !list->get<EncodableList>()->empty();
            bool camera = false;
            if (cameraList && cameraList->get<EncodableList>())
                for (const auto& entry : *cameraList->get<EncodableList>())
                    camera = camera || Arguments(entry).boolean("ready").value_or(false);
            if (phone && camera) break;
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    std::string import(const EncodableMap& source, bool verify, bool deleteAfter = false) {
        return runJob(client, source, verify, deleteAfter);
    }
};

// The same tree as a camera on libgphoto2's Directory Browse driver, in a
// host on this machine's own services: a camera that reads only whole files.
struct GphotoHost {
    HostProcess host{binFolder, work + "/linux-host", {"--platform", "linux", "--camera-folder", tree()}};
    HostClient client;
    EncodableMap source;
    GphotoHost() {
        client.connect(host.socket());
        for (auto deadline = steady_clock::now() + minutes(2); source.empty();) {
            if (steady_clock::now() > deadline) {
                std::fprintf(stderr, "the libgphoto2 camera was not ready within two minutes\n");
                std::exit(1);
            }
            auto cameras = client.call("lumivane/macos", "camera.list");
            auto* list = cameras.ok() ? std::get_if<EncodableValue>(&cameras.value()) : nullptr;
            if (list && list->get<EncodableList>())
                for (const auto& entry : *list->get<EncodableList>())
                    if (Arguments(entry).boolean("ready").value_or(false))
                        source = {{"kind", "camera"}, {"id", Arguments(entry).string("id").value_or("")}};
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
};

std::unique_ptr<ImportHost> shared;

// The same tree as a phone on the wire: the phone emulator (usbmux, lockdown,
// AFC) in this process, and a host on this machine's own services reading it
// through libimobiledevice.
constexpr char kEmulatedUdid[] = "00008110-0000000000000E1A";
struct EmulatedHost {
    emulator::PhoneEmulator phone;
    bool listening = [this] {
        phone.addPhone(kEmulatedUdid, tree(), "Emulated");
        return phone.start(work + "/usbmuxd");
    }();
    HostProcess host{
        binFolder, work + "/wire-host", {"--platform", "linux"}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + work + "/usbmuxd"}};
    HostClient client;
    EncodableMap source{{"kind", "iphone"}, {"id", kEmulatedUdid}};
    EmulatedHost() {
        client.connect(host.socket());
        for (auto deadline = steady_clock::now() + minutes(2);;) {
            if (!listening || steady_clock::now() > deadline) {
                std::fprintf(stderr, "the emulated phone was not paired within two minutes\n");
                std::exit(1);
            }
            auto phones = client.call("lumivane/macos", "iphone.list");
            auto* list = phones.ok() ? std::get_if<EncodableValue>(&phones.value()) : nullptr;
            if (list && list->get<EncodableList>() && !list->get<EncodableList>()->empty() &&
                Arguments(list->get<EncodableList>()->front()).boolean("paired").value_or(false))
                break;
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    ~EmulatedHost() { phone.stop(); }
};

std::unique_ptr<GphotoHost> gphoto;
std::unique_ptr<EmulatedHost> emulated;

template <typename Host>
void importFrom(benchmark::State& state, Host& host, const EncodableMap& source) {
    bool verify = state.range(0) != 0;
    duration<double> copying{}, importing{};
    double hostCpu = 0;
    for (auto _ : state) {
        // The same copy by cp just before each import, untimed: this disk's
        // speed drifts from one minute to the next.
        state.PauseTiming();
        clearDestination();
        auto cpStart = steady_clock::now();
        if (!cpSync()) state.SkipWithError("cp failed");
        copying += steady_clock::now() - cpStart;
        clearDestination();
        host.host.resetPeak();
        auto cpu = host.host.cpuSeconds();
        state.ResumeTiming();
        auto start = steady_clock::now();
        if (auto end = runJob(host.client, source, verify, false); end != "done")
            state.SkipWithError(("the job ended " + end).c_str());
        importing += steady_clock::now() - start;
        hostCpu += host.host.cpuSeconds() - cpu;
    }
    state.counters["host_peak_MiB"] = host.host.memory("VmHWM:");
    state.counters["host_cpu_s"] = hostCpu / double(state.iterations());
    state.counters["vs_cp_sync"] = importing.count() > 0 ? copying / importing : 0;
}

ImportHost& sharedHost() {
    if (!shared) shared = std::make_unique<ImportHost>();
    return *shared;
}

void BM_ImportCard(benchmark::State& state) { importFrom(state, sharedHost(), {{"kind", "volume"}, {"id", tree()}}); }

// A verified card import that deletes each file from the card once it is
// proven the same as its copy: read again and hashed just before.
void BM_ImportCardDeleting(benchmark::State& state) {
    sharedHost();
    auto card = work + "/deleting";
    for (auto _ : state) {
        state.PauseTiming();
        clearDestination();
        fs::remove_all(card);
        // A card of its own, in the page cache as the tree is, since the job empties it.
        if (!runCommand({"cp", "-r", tree(), card}) || !runCommand({"sync"})) state.SkipWithError("cp failed");
        shared->control("volume.mount", {{"path", card}, {"uuid", "CARD-2"}, {"removable", true}});
        shared->host.resetPeak();
        state.ResumeTiming();
        if (auto end = shared->import({{"kind", "volume"}, {"id", card}}, true, true); end != "done")
            state.SkipWithError(("the job ended " + end).c_str());
        state.PauseTiming();
        if (!fs::is_empty(card + "/DCIM/100APPLE")) state.SkipWithError("files were left on the card");
        state.ResumeTiming();
    }
    state.counters["host_peak_MiB"] = shared->host.memory("VmHWM:");
}
void BM_ImportPhone(benchmark::State& state) { importFrom(state, sharedHost(), {{"kind", "iphone"}, {"id", "PHONE"}}); }
void BM_ImportCamera(benchmark::State& state) {
    importFrom(state, sharedHost(), {{"kind", "camera"}, {"id", "CAMERA"}});
}
void BM_ImportEmulated(benchmark::State& state) {
    if (!emulated) emulated = std::make_unique<EmulatedHost>();
    importFrom(state, *emulated, emulated->source);
}
void BM_ImportGphoto(benchmark::State& state) {
    if (!gphoto) gphoto = std::make_unique<GphotoHost>();
    importFrom(state, *gphoto, gphoto->source);
}

// "Only new" asks the history once per item: 100,000 copies recorded.
void BM_HistoryLookup(benchmark::State& state) {
    Log log{Log::Options{false, false, false}};
    auto opened = ImportHistory::open(work + "/history.sqlite", log);
    if (!opened.ok()) return state.SkipWithError("no history");
    auto& history = *opened.value();
    constexpr int kCopies = 100'000;
    std::vector<ImportItem> items;
    for (int i = 0; i < kCopies; ++i)
        items.push_back(
            {"DCIM/" + std::to_string(100 + i / 1000) + "APPLE/IMG_" + std::to_string(i) + ".JPG", 3 << 20, 1.6e9 + i});
    (void)history.addJob({"job", 0, JobState::done, "{}", "volume", "card", "card:1", "Card", ""});
    (void)history.addItems("job", items);
    for (int i = 0; i < kCopies; ++i) {
        ImportHistory::Item item;
        item.seq = i + 1;
        item.item = items[std::size_t(i)];
        item.state = ItemState::imported;
        item.path = "/out/" + std::to_string(i);
        item.hash = std::to_string(i);
        (void)history.finishItem("job", item, "card:1", 0);
    }
    std::mt19937 random(3);
    for (auto _ : state) {
        auto& item = items[random() % kCopies];
        if (!history.previous("card:1", item)) state.SkipWithError("a recorded copy was not found");
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_CpSync)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportCard)->Arg(1)->Arg(0)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportCardDeleting)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportPhone)->Arg(1)->Arg(0)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportCamera)->Arg(1)->Arg(0)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportEmulated)->Arg(1)->Arg(0)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportGphoto)->Arg(1)->Arg(0)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HistoryLookup)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    ScratchFolder scratch;
    work = scratch.path();
    binFolder = fs::canonical("/proc/self/exe").parent_path().string();
    makeTree();
    benchmark::Initialize(&argc, argv);
    std::vector<RatioReporter::Ratio> ratios;
    for (const char* kind : {"Card", "Phone", "Camera", "Gphoto", "Emulated"})
        for (auto [arg, goal] : {std::pair{"1", "0.7"}, std::pair{"0", "0.9"}})
            ratios.push_back({std::string(kind) + " import throughput " + (arg[0] == '1' ? "with" : "without") +
                                  " verification / cp -r + sync (goal: at least " + goal + ")",
                              "BM_CpSync", "BM_Import" + std::string(kind) + "/" + arg});
    for (const char* arg : {"1", "0"})
        ratios.push_back({std::string("Emulated phone: the host's CPU time for the import / the simulated phone's, ") +
                              (arg[0] == '1' ? "with" : "without") + " verification (goal: at most 1.5)",
                          "BM_ImportEmulated/" + std::string(arg) + ":host_cpu_s",
                          "BM_ImportPhone/" + std::string(arg) + ":host_cpu_s"});
    ratios.push_back(
        {"Card import with delete-after / the same verified import without (goal: what proving each "
         "file before deleting it costs)",
         "BM_ImportCard/1", "BM_ImportCardDeleting"});
    RatioReporter reporter(std::move(ratios),
                           {"history: BM_HistoryLookup's time is one \"only new\" lookup in 100,000 copies (goal: "
                            "under 1 ms)",
                            "memory: host_peak_MiB of each import (goal: flat in the number of items)",
                            "paired: vs_cp_sync is the same throughput ratio with a cp -r + sync run just before "
                            "each import"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    shared.reset();
    gphoto.reset();
    emulated.reset();
    benchmark::Shutdown();
    return 0;
}
