// The allocator in its default mode (IDLE): one _ossMemAlloc and _ossMemFree pair of 64 bytes and
// of 4 KiB, against the same pair of glibc's malloc and free, on one thread and on two threads at
// once (the settings snapshot and the heap are then shared).
//
// After the benchmarks the program prints, for each size and thread count, the processor time
// per pair of both and their ratio (goals: at most 1.3 times malloc on one thread, 1.5 times on
// two). Each benchmark runs kRepetitions times in a row and the ratio is taken between the median
// repetitions of the two sides: on a shared machine a single run can fall into a busy spell of
// other programs. (The repetitions are not shuffled among the benchmarks: a 4-KiB pair's cost
// depends on the state the heap was left in by the benchmark before it.)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "osse/diag/memory.h"

namespace {

constexpr int kRepetitions = 5;

void BM_OssMemAllocFree(benchmark::State& state) {
  const auto size = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    void* block = nullptr;
    _ossMemAlloc(&block, nullptr, size, 0, __FILE__, __LINE__);
    benchmark::DoNotOptimize(block);
    _ossMemFree(&block, nullptr, 0, __FILE__, __LINE__);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OssMemAllocFree)->Arg(64)->Arg(4096)->Threads(1)->Threads(2)->Repetitions(kRepetitions);

void BM_MallocFree(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    void* block = std::malloc(size);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MallocFree)->Arg(64)->Arg(4096)->Threads(1)->Threads(2)->Repetitions(kRepetitions);

// Processor time per pair of each repetition, by "size/threads:n" and rival.
std::map<std::string, std::pair<std::vector<double>, std::vector<double>>> g_times;

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // Processor time: the machine is shared, and wall time would count other programs' turns.
      const double ns = run.GetAdjustedCPUTime() * nanosecondsPer(run.time_unit);
      const std::string name = run.benchmark_name();
      const std::size_t slash = name.find('/');
      if (slash == std::string::npos) continue;
      // "64/repeats:5/threads:1" -> "64/threads:1"
      std::string key = name.substr(slash + 1);
      if (const std::size_t repeats = key.find("/repeats:"); repeats != std::string::npos)
        key.erase(repeats, key.find('/', repeats + 1) - repeats);
      if (name.rfind("BM_OssMemAllocFree", 0) == 0) g_times[key].first.push_back(ns);
      if (name.rfind("BM_MallocFree", 0) == 0) g_times[key].second.push_back(ns);
    }
  }

 private:
  static double nanosecondsPer(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond: return 1e9;
      case benchmark::kMillisecond: return 1e6;
      case benchmark::kMicrosecond: return 1e3;
      default: return 1;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The settings are read and the first allocation made before any timing.
  void* warm = nullptr;
  _ossMemAlloc(&warm, nullptr, 1, 0, __FILE__, __LINE__);
  _ossMemFree(&warm, nullptr, 0, __FILE__, __LINE__);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const auto& [key, times] : g_times) {
    const double ours = median(times.first);
    const double rival = median(times.second);
    if (ours <= 0 || rival <= 0) continue;
    const bool twoThreads = key.find("threads:2") != std::string::npos;
    std::printf("%-16s median of %zu: _ossMemAlloc/_ossMemFree %7.2f ns, malloc/free %7.2f ns: ratio %.2f (goal: at most %.1f)\n",
                key.c_str(), times.first.size(), ours, rival, ours / rival, twoThreads ? 1.5 : 1.3);
  }
  return 0;
}
