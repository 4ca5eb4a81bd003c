// Codec throughput: a camera-roll-shaped listing and a large byte buffer,
// each against memcpy of the same number of bytes measured in the same run.
#include <benchmark/benchmark.h>
#include <cstring>

#include "bench/ratio_reporter.h"
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

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    benchmark::Initialize(&argc, argv);
    std::vector<RatioReporter::Ratio> ratios;
    for (std::string step : {"Encode", "Decode", "EncodeDecode"}) {
        ratios.push_back({"listing of 1,000 items, " + step + " / memcpy of the same bytes", "BM_Listing" + step,
                          "BM_ListingMemcpy"});
        ratios.push_back({"4 MiB byte buffer, " + step + " / memcpy of the same bytes", "BM_Bytes4MiB" + step,
                          "BM_Bytes4MiBMemcpy"});
    }
    RatioReporter reporter(ratios, {"goal: the 4 MiB buffer's encode and decode each within 2x of memcpy "
                                    "(a round trip is two copies)"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
