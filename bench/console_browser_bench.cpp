// The web console in Debian's Chromium, timed: the browser test's walk
// through a 20,000-photo phone (the same script `./lumivane test` runs, run
// once here), from the click on the phone to its first screen of thumbnails
// and to its final order by date taken, against the same browser showing the
// first screen's photos straight from files on disk; and the longest task on
// the page's main thread while it scrolls to the end.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "bench/ratio_reporter.h"
#include "bench/run_command.h"
#include "bench/scratch_folder.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

nlohmann::json figures;  // from the run, before the benchmarks report it

// One figure of the run as this benchmark's time.
void report(benchmark::State& state, const char* key) {
    for (auto _ : state) {
        if (!figures.contains(key) || !figures[key].is_number()) {
            state.SkipWithError("the browser run gave no figures");
            break;
        }
        state.SetIterationTime(figures[key].get<double>() / 1000.0);
    }
    if (figures.contains("longestTaskMs")) state.counters["longest_task_ms"] = figures["longestTaskMs"].get<double>();
}

void BM_ConsoleFirstScreen(benchmark::State& s) { report(s, "firstScreenMs"); }
void BM_FilesFirstScreen(benchmark::State& s) { report(s, "filesScreenMs"); }
void BM_ConsoleFinalOrder(benchmark::State& s) { report(s, "finalOrderMs"); }

BENCHMARK(BM_ConsoleFirstScreen)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilesFirstScreen)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConsoleFinalOrder)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ScratchFolder scratch;
    auto bin = fs::canonical("/proc/self/exe").parent_path().string();
    auto out = scratch.path() + "/figures.json";
    ::setenv("LUMIVANE_BROWSER_FIGURES", out.c_str(), 1);
    if (runCommand({"node", std::string(LUMIVANE_SOURCE_DIR) + "/tests/browser/console_e2e.mjs", bin,
                    scratch.path() + "/screenshots"})) {
        std::ifstream in(out);
        figures = nlohmann::json::parse(in, nullptr, false);
        if (figures.is_discarded()) figures = nlohmann::json::object();
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"console's first screen of the 20,000-photo phone / the same photos from files",
                             "BM_ConsoleFirstScreen", "BM_FilesFirstScreen"}},
                           {"goals: the first screen within 2 s, the final order within 10 s, no task over 200 ms "
                            "(longest_task_ms) while scrolling to the end"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
