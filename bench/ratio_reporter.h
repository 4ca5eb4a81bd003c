#pragma once
// Prints, after the usual table, each benchmark's time as a multiple of a
// baseline measured in the same run, or one counter of a benchmark as a
// multiple of the same counter of another ("name:counter"). Called by Google
// Benchmark on the benchmark's main thread.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace lumivane {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Ratio {
        std::string label, measured, baseline;
    };
    explicit RatioReporter(std::vector<Ratio> ratios, std::vector<std::string> notes = {})
        : ratios_(std::move(ratios)), notes_(std::move(notes)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            // Named by function, and by function/argument when it takes one.
            times_[run.run_name.function_name] = run.GetAdjustedRealTime();
            auto named = run.run_name.function_name;
            if (!run.run_name.args.empty()) {
                named += "/" + run.run_name.args;
                times_[named] = run.GetAdjustedRealTime();
            }
            for (const auto& [counter, value] : run.counters) times_[named + ":" + counter] = value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& ratio : ratios_) {
            if (!times_.count(ratio.measured) || !times_.count(ratio.baseline)) continue;
            std::printf("ratio %s: %.3fx\n", ratio.label.c_str(), times_[ratio.measured] / times_[ratio.baseline]);
        }
        for (const auto& note : notes_) std::printf("%s\n", note.c_str());
    }

private:
    std::vector<Ratio> ratios_;
    std::vector<std::string> notes_;
    std::map<std::string, double> times_;
};

}  // namespace lumivane
