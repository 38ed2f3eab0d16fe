// Shuffle and unshuffle throughput on 4 MiB spans, measured beside memcpy of the same
// span so the figures read as a fraction of what the memory system allows.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/shuffle.h"

namespace {

constexpr std::size_t kSpan = std::size_t{4} << 20;

struct Buffers {
  std::vector<std::byte> src;
  std::vector<std::byte> dst;
  Buffers() : src(kSpan), dst(kSpan) {
    std::mt19937_64 rng(7);
    for (auto& b : src) b = static_cast<std::byte>(rng());
    // Fault the destination in now, not inside the first timed run.
    std::memset(dst.data(), 0, dst.size());
  }
};

Buffers& buffers() {
  static Buffers b;
  return b;
}

template <typename Fn>
void run(benchmark::State& state, Fn&& fn) {
  Buffers& b = buffers();
  for (auto _ : state) {
    fn(std::span<const std::byte>(b.src), std::span<std::byte>(b.dst));
    benchmark::DoNotOptimize(b.dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kSpan));
}

// The console output as usual, plus each run's bytes/second kept for the summary.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& r : reports) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_.emplace_back(r.benchmark_name(), it->second.value);
    }
  }

  const std::vector<std::pair<std::string, double>>& rates() const { return rates_; }

 private:
  std::vector<std::pair<std::string, double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  namespace codec = pelorin::codec;

  benchmark::RegisterBenchmark("memcpy", [](benchmark::State& state) {
    run(state, [](std::span<const std::byte> src, std::span<std::byte> dst) {
      std::memcpy(dst.data(), src.data(), src.size());
    });
  });
  for (std::size_t elem : {2u, 4u, 8u, 16u}) {
    const std::string n = std::to_string(elem);
    benchmark::RegisterBenchmark(("shuffle/" + n).c_str(), [elem](benchmark::State& state) {
      run(state, [elem](std::span<const std::byte> src, std::span<std::byte> dst) {
        codec::shuffle(src, elem, dst);
      });
    });
    benchmark::RegisterBenchmark(("unshuffle/" + n).c_str(), [elem](benchmark::State& state) {
      run(state, [elem](std::span<const std::byte> src, std::span<std::byte> dst) {
        codec::unshuffle(src, elem, dst);
      });
    });
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  double memcpy_rate = 0;
  for (const auto& [name, rate] : reporter.rates())
    if (name == "memcpy") memcpy_rate = rate;
  std::printf("\n%-12s %10s  %s\n", "name", "GB/s", "vs memcpy");
  for (const auto& [name, rate] : reporter.rates()) {
    if (memcpy_rate > 0)
      std::printf("%-12s %6.2f GB/s  %.2fx memcpy\n", name.c_str(), rate / 1e9,
                  rate / memcpy_rate);
    else
      std::printf("%-12s %6.2f GB/s\n", name.c_str(), rate / 1e9);
  }
  return 0;
}
