// Trace points against their rivals, measured in the same run:
// - a disabled trace point (GTRACE_ENTRY while the block is not enabled) against an empty call
//   of a function that is not inlined; goal: at most 1 ns more;
// - an enabled entry point (one slot) and a data point with one 16-byte item, on the fast path of
//   a wrapping ring buffer, against the same records written into a ring buffer guarded by a
//   std::mutex, on one thread and on two; goals: the one-slot point at most 25 ns on one thread,
//   and at least 5 times faster than the mutex-guarded buffer on two threads.
//
// The program prints Google Benchmark's table, then the differences and ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "osse/diag/ecf.h"
#include "osse/diag/trace.h"
#include "osse/diag/tracepoints.h"

namespace {

// The smallest buffer: it stays in the second-level cache, so that both sides measure their own
// work rather than the memory bus.
constexpr std::uint32_t kBufferSize = 0x80000;
const char kPayload[16] = "sixteen bytes!!";

GTCB* g_block = nullptr;

__attribute__((noinline)) void EmptyCall(std::uint32_t fid) { benchmark::DoNotOptimize(fid); }

// The rival: the same records, framed the same way, in a ring of 64-byte slots under a mutex.
struct alignas(64) MutexRing {
  std::mutex mutex;
  std::uint32_t counter = 0;
  std::uint32_t mask = 0;
  char* data = nullptr;
};
MutexRing g_rival;

void writeSlots(std::uint32_t seq, std::uint32_t i, std::uint32_t slots, const GTraceRecord& r, const void* item,
                std::uint32_t itemLength) {
  char* slot = g_rival.data + static_cast<std::size_t>(i) * 64;
  std::memcpy(slot + 8, &r, item != nullptr ? 56 : 52);
  if (item != nullptr) {
    const GTraceItemDescriptor d{3, itemLength};
    std::memcpy(slot + 64, &d, 8);
    std::memcpy(slot + 72, item, itemLength);
  }
  const std::uint64_t header = seq | (0xCAFEull << 32) | (static_cast<std::uint64_t>(slots) << 48);
  std::memcpy(slot, &header, 8);
  const std::uint32_t trailer = ~seq;
  std::memcpy(slot + slots * 64 - 4, &trailer, 4);
}

// The rival's record and framing. Locked: the rival, under its mutex. Not locked: the least any
// ring with one shared counter can cost here: its reservation is the one fetch-and-add, and
// nothing else of a trace point (no control block, no options, no filter test) is done.
template <bool Locked>
void RingWrite(std::uint32_t fid, std::uint32_t type, const void* item, std::uint32_t itemLength) {
  GTraceRecord r{};
  r.threadId = _gtraceThreadID();
  r.processId = 1;
  r.functionId = fid;
  r.type = static_cast<std::uint16_t>(type);
  r.data2 = 1000000;
  const std::uint32_t size = item != nullptr ? 56 + 8 + itemLength : 52;
  const std::uint32_t slots = (size + 75) / 64;
  std::uint32_t seq;
  std::uint32_t i;
  if constexpr (Locked) {
    std::lock_guard<std::mutex> guard(g_rival.mutex);
    seq = g_rival.counter;
    i = seq & g_rival.mask;
    if (i + slots > g_rival.mask + 1) {
      seq += g_rival.mask + 1 - i;
      i = 0;
    }
    g_rival.counter = seq + slots;
    writeSlots(seq, i, slots, r, item, itemLength);
  } else {
    do {
      seq = __atomic_fetch_add(&g_rival.counter, slots, __ATOMIC_RELAXED);
      i = seq & g_rival.mask;
    } while (i + slots > g_rival.mask + 1);
    writeSlots(seq, i, slots, r, item, itemLength);
  }
}

void BM_EmptyCall(benchmark::State& state) {
  for (auto _ : state) EmptyCall(ECF_FN_ramboSync);
}

void BM_DisabledTracePoint(benchmark::State& state) {
  if (state.thread_index() == 0) gtraceDisable();
  for (auto _ : state) GTRACE_ENTRY(ECF_FN_ramboSync);
}

void BM_TraceEntry(benchmark::State& state) {
  if (state.thread_index() == 0) gtraceEnable();
  for (auto _ : state) GTRACE_ENTRY(ECF_FN_ramboSync);
}

void BM_MutexEntry(benchmark::State& state) {
  for (auto _ : state) RingWrite<true>(ECF_FN_ramboSync, 1, nullptr, 0);
}

void BM_BareEntry(benchmark::State& state) {
  for (auto _ : state) RingWrite<false>(ECF_FN_ramboSync, 1, nullptr, 0);
}

void BM_TraceData16(benchmark::State& state) {
  if (state.thread_index() == 0) gtraceEnable();
  for (auto _ : state) GTRACE_DATA(ECF_FN_ramboSync, 10, GTRACE_ITEM_BYTES, 16, kPayload);
}

void BM_MutexData16(benchmark::State& state) {
  for (auto _ : state) RingWrite<true>(ECF_FN_ramboSync, 3, kPayload, 16);
}

void BM_BareData16(benchmark::State& state) {
  for (auto _ : state) RingWrite<false>(ECF_FN_ramboSync, 3, kPayload, 16);
}

BENCHMARK(BM_EmptyCall);
BENCHMARK(BM_DisabledTracePoint);
BENCHMARK(BM_TraceEntry)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_MutexEntry)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_BareEntry)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_TraceData16)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_MutexData16)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_BareData16)->Threads(1)->Threads(2)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  double time(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? -1 : it->second;
  }
  void printRatio(const std::string& ours, const std::string& rival) const {
    const double a = time(ours), b = time(rival);
    if (a <= 0 || b <= 0) return;
    std::printf("ratio %-40s / %-40s = %.2f\n", rival.c_str(), ours.c_str(), b / a);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t bytes = gtraceGetAllocSize(kBufferSize);
  g_block = static_cast<GTCB*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
  auto* options = static_cast<GTraceOptions*>(std::calloc(1, sizeof(GTraceOptions)));
  options->bufferSize = kBufferSize;
  options->traceType = GTRACE_TYPE_WRAP;
  if (gtraceInitialize(g_block, options) != 0 || gtraceAttach(g_block, 1, nullptr, nullptr) != 0) return 1;
  g_rival.mask = kBufferSize / 64 - 1;
  g_rival.data = static_cast<char*>(std::aligned_alloc(64, kBufferSize));
  std::memset(g_rival.data, 0, kBufferSize);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::fflush(stdout);

  const double empty = reporter.time("BM_EmptyCall"), disabled = reporter.time("BM_DisabledTracePoint");
  if (empty > 0 && disabled > 0)
    std::printf("\ndisabled trace point - empty call = %.2f ns (goal: at most 1 ns)\n", disabled - empty);
  const double entry = reporter.time("BM_TraceEntry/real_time/threads:1");
  if (entry > 0) std::printf("enabled one-slot trace point, one thread = %.2f ns (goal: at most 25 ns)\n", entry);
  std::printf("\nTime of the mutex-guarded ring divided by the trace point's (goal on two threads: at least 5)\n");
  for (const char* threads : {"threads:1", "threads:2"}) {
    const std::string suffix = std::string("/real_time/") + threads;
    reporter.printRatio("BM_TraceEntry" + suffix, "BM_MutexEntry" + suffix);
    reporter.printRatio("BM_TraceData16" + suffix, "BM_MutexData16" + suffix);
  }
  std::printf("\nThe same for the bare one-counter ring: the most any trace point can reach on this machine\n");
  for (const char* threads : {"threads:1", "threads:2"}) {
    const std::string suffix = std::string("/real_time/") + threads;
    reporter.printRatio("BM_BareEntry" + suffix, "BM_MutexEntry" + suffix);
    reporter.printRatio("BM_BareData16" + suffix, "BM_MutexData16" + suffix);
  }
  benchmark::Shutdown();
  gtraceDetach();
  std::free(g_rival.data);
  std::free(options);
  std::free(g_block);
  return 0;
}
