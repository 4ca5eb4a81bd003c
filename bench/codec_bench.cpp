// Codec throughput: a camera-roll-shaped listing and a large byte buffer,
// each against memcpy of the same number of bytes measured in the same run.
#include <benchmark/benchmark.h>
#include <cstring>

#include "channel/standard_codec.h"
#include "runtime/allocator.h"

using namespace lumivane;

namespace {

EncodableValue listing() {
    EncodableList items;
    for (int i = 0; i < 1000; ++i) {
        auto name = "IMG_" + std::to_string(1000 + i) + ".HEIC";
        items.push_back(EncodableMap{{"path", "/DCIM/100APPLE/" + name},
                                     {"name", name},
                                     {"dir", false},
                                     {"size", std::int64_t{2'500'000} + i},
                                     {"modified", std::int64_t{1'733'550'000'000} + i}});
    }
    return items;
}

enum class Direction { encode, decode, both };

void codec(benchmark::State& state, const EncodableValue& value, Direction direction) {
    auto encodedOnce = StandardMessageCodec::encodeMessage(value);
    for (auto _ : state) {
        if (direction == Direction::decode) {
            auto decoded = StandardMessageCodec::decodeMessage(encodedOnce);
            benchmark::DoNotOptimize(decoded);
            continue;
        }
        auto encoded = StandardMessageCodec::encodeMessage(value);
        if (direction == Direction::both) {
            auto decoded = StandardMessageCodec::decodeMessage(encoded);
            benchmark::DoNotOptimize(decoded);
        }
        benchmark::DoNotOptimize(encoded);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encodedOnce.size()));
}

void memcpyBaseline(benchmark::State& state, std::size_t bytes) {
    std::vector<char> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_ListingEncode(benchmark::State& state) { codec(state, listing(), Direction::encode); }
void BM_ListingDecode(benchmark::State& state) { codec(state, listing(), Direction::decode); }
void BM_ListingEncodeDecode(benchmark::State& state) { codec(state, listing(), Direction::both); }
void BM_ListingMemcpy(benchmark::State& state) {
    memcpyBaseline(state, StandardMessageCodec::encodeMessage(listing()).size());
}
EncodableValue buffer() { return Bytes(4u << 20, 7); }
void BM_Bytes4MiBEncode(benchmark::State& state) { codec(state, buffer(), Direction::encode); }
void BM_Bytes4MiBDecode(benchmark::State& state) { codec(state, buffer(), Direction::decode); }
void BM_Bytes4MiBEncodeDecode(benchmark::State& state) { codec(state, buffer(), Direction::both); }
void BM_Bytes4MiBMemcpy(benchmark::State& state) { memcpyBaseline(state, (4u << 20) + 5); }

BENCHMARK(BM_ListingEncode);
BENCHMARK(BM_ListingDecode);
BENCHMARK(BM_ListingEncodeDecode);
BENCHMARK(BM_ListingMemcpy);
BENCHMARK(BM_Bytes4MiBEncode);
BENCHMARK(BM_Bytes4MiBDecode);
BENCHMARK(BM_Bytes4MiBEncodeDecode);
BENCHMARK(BM_Bytes4MiBMemcpy);

// Prints each codec case's time as a multiple of its memcpy baseline.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* step : {"Encode", "Decode", "EncodeDecode"}) {
            ratio("listing of 1,000 items", step, std::string("BM_Listing") + step, "BM_ListingMemcpy");
            ratio("4 MiB byte buffer", step, std::string("BM_Bytes4MiB") + step, "BM_Bytes4MiBMemcpy");
        }
        std::printf("goal: the 4 MiB buffer's encode and decode each within 2x of memcpy "
                    "(a round trip is two copies, so within 4x)\n");
    }

private:
    void ratio(const char* what, const char* step, const std::string& codec, const std::string& baseline) {
        if (!times_.count(codec) || !times_.count(baseline)) return;
        std::printf("ratio %s, %s: %.2fx the time of memcpy of the same bytes\n", what, step,
                    times_[codec] / times_[baseline]);
    }
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
