// The one-byte latch against its rivals: acquire and release uncontended, and with two threads
// contending, compared with std::mutex and pthread_spinlock_t measured in the same run.
//
// The program prints Google Benchmark's table and then one ratio line per pair: rival time
// divided by latch time (above 1 means the latch is faster). The goal for the uncontended case:
// at least 1.0 against the spin lock and 1.5 against std::mutex.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "osse/sys/latch.h"

namespace {

// Each lock guards one counter, so the critical section is the same small store for all three.
struct alignas(64) LatchState {
  OSSLatch latch;
  std::uint64_t counter;
};
struct alignas(64) MutexState {
  std::mutex mutex;
  std::uint64_t counter;
};
struct alignas(64) SpinState {
  pthread_spinlock_t spin;
  std::uint64_t counter;
};

LatchState g_latch;
MutexState g_mutex;
SpinState g_spin;

void BM_Latch(benchmark::State& state) {
  if (state.thread_index() == 0) g_latch.latch.init();
  for (auto _ : state) {
    g_latch.latch.get();
    g_latch.counter = g_latch.counter + 1;
    g_latch.latch.release();
  }
  benchmark::DoNotOptimize(g_latch.counter);
}

void BM_StdMutex(benchmark::State& state) {
  for (auto _ : state) {
    g_mutex.mutex.lock();
    g_mutex.counter = g_mutex.counter + 1;
    g_mutex.mutex.unlock();
  }
  benchmark::DoNotOptimize(g_mutex.counter);
}

void BM_SpinLock(benchmark::State& state) {
  for (auto _ : state) {
    pthread_spin_lock(&g_spin.spin);
    g_spin.counter = g_spin.counter + 1;
    pthread_spin_unlock(&g_spin.spin);
  }
  benchmark::DoNotOptimize(g_spin.counter);
}

BENCHMARK(BM_Latch)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_StdMutex)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SpinLock)->Threads(1)->Threads(2)->UseRealTime();

// Keeps the console output and remembers the time per iteration of each run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that a log of the run stays plain text.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }

  void printRatio(const std::string& ours, const std::string& rival) const {
    const auto a = times_.find(ours), b = times_.find(rival);
    if (a == times_.end() || b == times_.end() || a->second <= 0) return;
    std::printf("ratio %-34s / %-34s = %.2f\n", rival.c_str(), ours.c_str(), b->second / a->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // The process-wide spin tuning that library start-up derives from the processor count.
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  ossLatchTuneForProcessors(processors > 0 ? static_cast<std::uint32_t>(processors) : 1);
  pthread_spin_init(&g_spin.spin, PTHREAD_PROCESS_PRIVATE);
  g_latch.latch.init();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::fflush(stdout);
  std::printf("\nLatch acquire and release; time of the rival divided by the latch's (above 1: the latch is faster)\n");
  for (const char* threads : {"threads:1", "threads:2"}) {
    const std::string suffix = std::string("/real_time/") + threads;
    reporter.printRatio("BM_Latch" + suffix, "BM_StdMutex" + suffix);
    reporter.printRatio("BM_Latch" + suffix, "BM_SpinLock" + suffix);
  }
  benchmark::Shutdown();
  pthread_spin_destroy(&g_spin.spin);
  return 0;
}
