// The trace facility: initialisation and control, the record of every trace-point kind byte for
// byte, item limits, the filter, the stop condition, callbacks, the modes not yet in the library,
// dump validation, and trace points racing from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/trace.h"
#include "osse/diag/tracepoints.h"
#include "trace_support.h"

namespace {

using tarn::test::field;
using tarn::test::TraceBlock;
using Record = std::vector<std::uint8_t>;

constexpr std::uint32_t kFid = 0x082A0020;  // product 1, component 5, sub-field 2, function 32

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    gtraceDetach();
    gtraceSetProcessID(0xFFFFFFFF);
    gtraceSetFixedData1(0xFFFFFFFF);
    gtraceSetFixedData2(0xFFFFFFFF);
  }
  void TearDown() override { gtraceDetach(); }
};

// ---------------------------------------------------------------------------------------------
// Initialisation and control.

TEST_F(Trace, AllocSize) {
  EXPECT_EQ(gtraceGetAllocSize(0x80000), 182896u + ramboGetAllocSize(0x80000));
  EXPECT_EQ(gtraceGetAllocSize(0x7FFFF), 0u);
  EXPECT_EQ(gtraceGetAllocSize(0x80001), 0u);
}

TEST_F(Trace, InitializeRefusalsLeaveTheBlockAlone) {
  struct Case {
    const char* name;
    std::uint32_t bufferSize, traceType, rc;
  } cases[] = {
      {"size below the minimum", 0x7FFFF, 1, ECF_GTRACE_INVALID_BUFFER_SIZE},
      {"size above the maximum", 0x40000001, 1, ECF_GTRACE_INVALID_BUFFER_SIZE},
      {"size not a power of two", 0x80001, 1, ECF_RAMBO_INVALID_BUFFER_SIZE},
      {"no kind bit", 0x80000, 0x20, ECF_INVALID_PARAMETER},
      {"profile mode", 0x80000, 0x08, ECF_NOT_SUPPORTED},
      {"coverage mode", 0x80000, 0x80, ECF_NOT_SUPPORTED},
      {"profile wins over kind bits", 0x80000, 0x0C, ECF_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    TraceBlock block(c.traceType, c.bufferSize);
    EXPECT_EQ(block.initialize(), c.rc) << c.name;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.gtcb());
    bool untouched = true;
    for (std::uint64_t i = 0; i < block.bytes(); i += 997) untouched = untouched && bytes[i] == 0x5A;
    EXPECT_TRUE(untouched) << c.name;
  }
  TraceBlock block;
  EXPECT_EQ(gtraceInitialize(block.gtcb(), nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(gtraceInitialize(nullptr, &block.options()), ECF_INVALID_PARAMETER);
}

TEST_F(Trace, InitializeChoosesTheKindAndStartsDisabled) {
  struct Case {
    std::uint32_t traceType;
    std::uint8_t circular, chunked;
    bool randomDelay;
  } cases[] = {{0x01, 1, 0, false}, {0x02, 0, 0, false}, {0x04, 1, 1, false}, {0x07, 1, 1, false},
               {0x03, 1, 0, false}, {0x10, 0, 0, true},  {0x12, 0, 0, true}};
  for (const Case& c : cases) {
    TraceBlock block(c.traceType);
    block.options().flags = 0x100;
    block.options().stopRc = 77;
    ASSERT_EQ(block.initialize(), 0u) << c.traceType;
    GTCB* g = block.gtcb();
    EXPECT_EQ(g->initialized, 1u);
    EXPECT_EQ(g->enabled, 0u);
    EXPECT_EQ(g->stopCounter, 1u);
    EXPECT_EQ(g->reserved, 0u);
    EXPECT_EQ(g->options.stopRc, 77u);
    EXPECT_EQ(block.ring()->circular, c.circular) << c.traceType;
    EXPECT_EQ(block.ring()->chunked, c.chunked) << c.traceType;
    EXPECT_EQ(g->options.flags, 0x100u | (c.randomDelay ? GTRACE_FLAG_RANDOM_DELAY : 0u)) << c.traceType;
  }
}

TEST_F(Trace, ControlFunctionsNeedAnAttachedInitialisedBlock) {
  GTraceOptions* ptr = nullptr;
  auto options = std::make_unique<GTraceOptions>();
  RamboDumpTail tail;
  RamboChunkWalker walker;
  auto header = std::make_unique<GTraceDumpHeader>();
  const std::vector<std::pair<const char*, std::function<std::uint32_t()>>> calls = {
      {"enable", [] { return gtraceEnable(); }},
      {"disable", [] { return gtraceDisable(); }},
      {"setOptions", [&] { return gtraceSetOptions(options.get()); }},
      {"getOptions", [&] { return gtraceGetOptions(options.get()); }},
      {"getOptionsPtr", [&] { return gtraceGetOptionsPtr(&ptr); }},
      {"clear", [] { return gtraceClear(); }},
      {"dumpHeader", [&] { return gtraceGetDumpHeaderBuffer(true, header.get(), nullptr, nullptr); }},
      {"dumpTail", [&] { return gtraceGetDumpTail(&tail); }},
      {"chunkWalker", [&] { return gtraceInitializeChunkWalker(&walker); }},
      {"autoDump", [] { return gtraceAutoDumpEnabled(true); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), ECF_GTRACE_NOT_ATTACHED) << name;
  std::vector<std::uint8_t> zero(sizeof(GTCB) + 4096, 0);
  ASSERT_EQ(gtraceAttach(reinterpret_cast<GTCB*>(zero.data()), 1, nullptr, nullptr), 0u);
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), ECF_GTRACE_NOT_INITIALIZED) << name;
  EXPECT_EQ(gtraceAttach(nullptr, 1, nullptr, nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(gtraceDetach(), 0u);
  EXPECT_EQ(g_pGTCB, nullptr);

  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  EXPECT_EQ(gtraceSetOptions(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(gtraceGetOptions(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(gtraceGetOptionsPtr(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(gtraceGetDumpTail(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(gtraceAutoDumpEnabled(true), ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED);  // kind 1
}

std::atomic<int> g_disableCalls{0};
void countDisable() { ++g_disableCalls; }

TEST_F(Trace, DisableCallsTheDisableCallbackOnceEnableNever) {
  g_disableCalls = 0;
  TraceBlock block;
  ASSERT_EQ(block.start(nullptr, countDisable), 0u);
  EXPECT_EQ(block.gtcb()->enabled, 1u);
  EXPECT_EQ(g_disableCalls, 0);
  EXPECT_EQ(gtraceDisable(), 0u);
  EXPECT_EQ(block.gtcb()->enabled, 0u);
  EXPECT_EQ(g_disableCalls, 1);
  EXPECT_EQ(gtraceEnable(), 0u);
  EXPECT_EQ(g_disableCalls, 1);
}

TEST_F(Trace, OptionsAreReplacedFromFlagsOn) {
  TraceBlock block(GTRACE_TYPE_WRAP | GTRACE_TYPE_RANDOM_DELAY);
  ASSERT_EQ(block.start(), 0u);
  auto fresh = std::make_unique<GTraceOptions>();
  std::memset(fresh.get(), 0, sizeof(GTraceOptions));
  fresh->bufferSize = 0x100000;
  fresh->traceType = GTRACE_TYPE_FILL_ONCE;
  fresh->flags = GTRACE_FLAG_CALLBACK;
  fresh->stopCount = 9;
  fresh->functionBitmap[3] = 0x40;
  fresh->mask.scanPoints.count = 17;  // the last bytes of the options
  ASSERT_EQ(gtraceSetOptions(fresh.get()), 0u);
  auto out = std::make_unique<GTraceOptions>();
  ASSERT_EQ(gtraceGetOptions(out.get()), 0u);
  EXPECT_EQ(out->bufferSize, 0x80000u);                      // kept
  EXPECT_EQ(out->traceType, GTRACE_TYPE_WRAP | GTRACE_TYPE_RANDOM_DELAY);  // kept
  EXPECT_EQ(out->flags, GTRACE_FLAG_CALLBACK | GTRACE_FLAG_RANDOM_DELAY);  // mode flag set again
  EXPECT_EQ(out->stopCount, 9u);
  EXPECT_EQ(out->functionBitmap[3], 0x40);
  EXPECT_EQ(out->mask.scanPoints.count, 17u);
  GTraceOptions* live = nullptr;
  ASSERT_EQ(gtraceGetOptionsPtr(&live), 0u);
  EXPECT_EQ(live, &block.gtcb()->options);
}

TEST_F(Trace, SetOptionsInProfileModeDropsTimingFromTheCallersOptions) {
  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  // Profile blocks cannot be initialised yet; the live options are put into that mode by hand.
  GTraceOptions* live = nullptr;
  ASSERT_EQ(gtraceGetOptionsPtr(&live), 0u);
  live->traceType = GTRACE_TYPE_PROFILE;
  auto fresh = std::make_unique<GTraceOptions>();
  std::memset(fresh.get(), 0, sizeof(GTraceOptions));
  fresh->flags = GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_PROFILE_TIMING | GTRACE_FLAG_CALLBACK;
  ASSERT_EQ(gtraceSetOptions(fresh.get()), 0u);
  EXPECT_EQ(fresh->flags, GTRACE_FLAG_CALLBACK);  // the caller's structure is changed
  EXPECT_EQ(live->flags, GTRACE_FLAG_CALLBACK | GTRACE_FLAG_PROFILE);
  live->traceType = GTRACE_TYPE_WRAP;
}

TEST_F(Trace, StampedValuesAreReturned) {
  EXPECT_EQ(gtraceSetProcessID(12), 12u);
  EXPECT_EQ(gtraceSetFixedData1(0xABCD), 0xABCDu);
  EXPECT_EQ(gtraceSetFixedData2(7), 7u);
}

// ---------------------------------------------------------------------------------------------
// Records, byte for byte.

// The 52 bytes every record starts with.
Record head(std::uint64_t tid, std::uint32_t fid, std::uint16_t type, std::uint16_t flags, std::uint16_t probe,
            std::uint16_t itemBytes, std::uint32_t d1, std::uint32_t d2, std::uint32_t rc) {
  Record r(52, 0);
  const std::uint32_t pid = 4242, f1 = 0x11111111, f2 = 0x22222222;
  std::memcpy(&r[8], &tid, 8);
  std::memcpy(&r[16], &pid, 4);
  std::memcpy(&r[20], &fid, 4);
  std::memcpy(&r[24], &f1, 4);
  std::memcpy(&r[28], &f2, 4);
  std::memcpy(&r[32], &type, 2);
  std::memcpy(&r[34], &flags, 2);
  std::memcpy(&r[36], &probe, 2);
  std::memcpy(&r[38], &itemBytes, 2);
  std::memcpy(&r[40], &d1, 4);
  std::memcpy(&r[44], &d2, 4);
  std::memcpy(&r[48], &rc, 4);
  return r;
}
void put32(Record& r, std::uint32_t v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
  r.insert(r.end(), p, p + 4);
}

TEST_F(Trace, EveryKindWritesItsRecord) {
  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  gtraceSetFixedData1(0x11111111);
  gtraceSetFixedData2(0x22222222);
  const std::uint32_t rc = 0x9000000C;
  const char bytes3[3] = {'a', 'b', 'c'};
  const std::uint64_t tid = 0x0000000700000005ull;

  struct Case {
    const char* name;
    std::function<void()> emit;
    Record expected;  // the record's own bytes (the reader adds padding up to 64n - 12)
  };
  std::vector<Case> cases;
  cases.push_back({"entry", [] { _gtraceEntry(5, 7, kFid, 0, 1000000); }, head(tid, kFid, 1, 0, 0, 0, 0, 1000000, 0)});
  cases.push_back({"exit", [&] { _gtraceExit(5, 7, kFid, &rc, 3, 4); }, head(tid, kFid, 2, 0, 0, 0, 3, 4, rc)});
  cases.push_back({"error", [] { _gtraceError(5, 7, kFid, 30, 4, 8, 9); }, head(tid, kFid, 4, 0, 30, 0, 8, 9, 0)});
  cases.push_back({"marker", [] { _gtraceMarker(5, 7, kFid, 40, 0x10006); }, head(tid, kFid, 6, 2, 40, 0, 0, 0, 0)});
  cases.push_back({"marker without flag", [] { _gtraceMarker(5, 7, kFid, 41, 6); }, head(tid, kFid, 6, 0, 41, 0, 0, 0, 0)});
  {
    Record r = head(tid, kFid, 7, 0, 50, 0, 1, 2, rc);
    put32(r, 0);  // item count (not a field of this kind, written as 0)
    put32(r, 0xE1);
    put32(r, 0xE2);
    cases.push_back({"errorRc", [&] { _gtraceErrorRc(5, 7, kFid, 50, 7, 1, 2, rc, 0xE1, 0xE2); }, r});
  }
  {
    Record r = head(tid, kFid, 13, 0, 51, 0, 1, 2, 0);
    put32(r, 0);
    put32(r, 0xE1);
    put32(r, 0xE2);
    cases.push_back({"errorTrans", [] { _gtraceErrorTrans(5, 7, kFid, 51, 1, 2, 0xE1, 0xE2); }, r});
  }
  {
    Record r = head(tid, kFid, 3, 0, 10, 8 + 3, 0, 0, 0);
    put32(r, 1);
    put32(r, 9);
    put32(r, 3);
    r.insert(r.end(), bytes3, bytes3 + 3);
    cases.push_back({"var", [&] { _gtraceVar(5, 7, kFid, 10, 3, 1, 9u, 3u, bytes3); }, r});
  }
  {
    Record r = head(tid, kFid, 1, 0, 0, 8 + 4, 1, 2, 0);
    put32(r, 1);
    put32(r, 1);
    put32(r, 4);
    put32(r, 7);  // the value itself
    cases.push_back({"entryVar", [] { _gtraceEntryVar(5, 7, kFid, 1, 2, 1, 1u, 4u, (const void*)std::uintptr_t{7}); }, r});
  }
  {
    Record r = head(tid, kFid, 2, 0, 0, 8 + 2, 0, 0, rc);
    put32(r, 1);
    put32(r, 2);
    put32(r, 2);
    r.push_back(0x34);
    r.push_back(0x12);
    cases.push_back({"exitVar", [&] { _gtraceExitVar(5, 7, kFid, &rc, 0, 0, 1, 2u, 2u, (const void*)std::uintptr_t{0x1234}); }, r});
  }
  {
    Record r = head(tid, kFid, 4, 0, 20, 8 + 4, 0, 0, 0);
    put32(r, 1);
    put32(r, 0);
    put32(r, 4);
    put32(r, rc);
    cases.push_back({"errorVar (the macro's form)", [&] { _gtraceErrorVar(5, 7, kFid, 20, 4, 0, 0, 1, 0u, 4u, &rc); }, r});
  }
  {
    Record r = head(tid, kFid, 9, 0, 60, 8 + 8 + 3, 1, 2, rc);
    put32(r, 1);
    put32(r, 0xE1);
    put32(r, 0xE2);
    put32(r, 9);
    put32(r, 3);
    r.insert(r.end(), bytes3, bytes3 + 3);
    cases.push_back({"errorRcVar", [&] { _gtraceErrorRcVar(5, 7, kFid, 60, 9, 1, 2, rc, 0xE1, 0xE2, 1, 9u, 3u, bytes3); }, r});
  }
  {
    Record r = head(tid, kFid, 12, 0, 70, 8 + 3, 1, 2, 0xC0C0);
    put32(r, 1);
    put32(r, 9);
    put32(r, 3);
    r.insert(r.end(), bytes3, bytes3 + 3);
    cases.push_back({"correlatorVar", [&] { _gtraceCorrelatorVar(5, 7, kFid, 70, 0xC0C0, 1, 2, 1, 9u, 3u, bytes3); }, r});
  }
  {
    Record r = head(tid, kFid, 3, 0, 80, 8 + 3, 1, 2, 0);
    put32(r, 1);
    put32(r, 9);
    put32(r, 3);
    r.insert(r.end(), bytes3, bytes3 + 3);
    cases.push_back({"event", [&] { _gtraceEvent(5, 7, kFid, 80, 3, 1, 2, 9, 3, bytes3); }, r});
  }
  {
    Record r = head(tid, kFid, 3, 0, 90, 0, 0, 0, 0);
    put32(r, 0);
    cases.push_back({"var without items", [] { _gtraceVar(5, 7, kFid, 90, 3, 0); }, r});
  }

  for (const Case& c : cases) {
    ASSERT_EQ(gtraceClear(), 0u);
    c.emit();
    const auto records = block.records();
    ASSERT_EQ(records.size(), 1u) << c.name;
    const Record& got = records[0];
    EXPECT_EQ(got.size(), ramboRecordBytes(ramboSlotsFor(static_cast<std::uint32_t>(c.expected.size())))) << c.name;
    ASSERT_GE(got.size(), c.expected.size()) << c.name;
    EXPECT_EQ(Record(got.begin(), got.begin() + c.expected.size()), c.expected) << c.name;
  }
}

TEST_F(Trace, ItemLimitsAndCuts) {
  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  std::vector<char> big(70000, 'x');
  struct Expect {
    std::uint32_t type, length;
  };
  struct Case {
    const char* name;
    std::function<void()> emit;
    std::uint16_t itemBytes;
    std::vector<Expect> items;
  };
  const std::vector<Case> cases = {
      {"two items of 40000: the second cut to 25519",
       [&] { _gtraceVar(1, 0, kFid, 1, 3, 2, 3u, 40000u, big.data(), 3u, 40000u, big.data()); }, 65535,
       {{3, 40000}, {4, 25519}}},
      {"a descriptor that would cross the limit is dropped",
       [&] { _gtraceVar(1, 0, kFid, 1, 3, 3, 3u, 65527u, big.data(), 3u, 1u, big.data(), 3u, 1u, big.data()); }, 65535,
       {{3, 65527}}},
      {"the item crossing the limit is cut to what is left",
       [&] { _gtraceVar(1, 0, kFid, 1, 3, 2, 3u, 65518u, big.data(), 3u, 5u, big.data()); }, 65535,
       {{3, 65518}, {4, 1}}},
      {"null pointer: length 0xFFFFFFFF, no bytes",
       [&] { _gtraceVar(1, 0, kFid, 1, 3, 2, 0u, 16u, nullptr, 3u, 2u, big.data()); }, 8 + 8 + 2,
       {{0, 0xFFFFFFFF}, {3, 2}}},
      {"value items store at most 4 bytes",
       [&] { _gtraceVar(1, 0, kFid, 1, 3, 2, 1u, 4u, (const void*)std::uintptr_t{7}, 2u, 9u, (const void*)std::uintptr_t{8}); },
       8 + 4 + 8 + 4, {{1, 4}, {2, 4}}},
      {"errorRcVar counts its extra words",
       [&] { _gtraceErrorRcVar(1, 0, kFid, 1, 4, 0, 0, 0, 0, 0, 2, 3u, 40000u, big.data(), 3u, 40000u, big.data()); },
       65535, {{3, 40000}, {4, 25511}}},
      {"event: an inline item over 65527 is cut and nothing follows",
       [&] { _gtraceEvent(1, 0, kFid, 1, 3, 0, 0, 3, 65528, big.data()); }, 65535, {{4, 65527}}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(gtraceClear(), 0u);
    c.emit();
    const auto records = block.records();
    ASSERT_EQ(records.size(), 1u) << c.name;
    const Record& r = records[0];
    const bool extra = std::string(c.name).rfind("errorRcVar", 0) == 0;
    const std::size_t at = extra ? 64 : 56;
    EXPECT_EQ(field<std::uint16_t>(r, 38), c.itemBytes) << c.name;
    ASSERT_EQ(field<std::uint32_t>(r, 52), c.items.size()) << c.name;
    std::size_t bytesAt = at + 8 * c.items.size();
    for (std::size_t k = 0; k < c.items.size(); ++k) {
      EXPECT_EQ(field<std::uint32_t>(r, at + 8 * k), c.items[k].type) << c.name << " item " << k;
      EXPECT_EQ(field<std::uint32_t>(r, at + 8 * k + 4), c.items[k].length) << c.name << " item " << k;
      if (c.items[k].length != 0xFFFFFFFF) bytesAt += c.items[k].length;
    }
    // The record is exactly as long as its items: 56 (or 64) plus the item bytes.
    EXPECT_EQ(r.size(), ramboRecordBytes(ramboSlotsFor(56 + c.itemBytes))) << c.name;
    EXPECT_LE(bytesAt, r.size()) << c.name;
  }
  // The value 7 of the value item, little-endian.
  ASSERT_EQ(gtraceClear(), 0u);
  _gtraceVar(1, 0, kFid, 1, 3, 1, 1u, 4u, (const void*)std::uintptr_t{7});
  EXPECT_EQ(field<std::uint32_t>(block.records()[0], 64), 7u);
}

// _gtraceEventVar reads its forwarded items from the caller's own variable-argument list.
void eventVar(std::uint32_t inlineLength, const void* inlineData, std::uint32_t count, ...) {
  va_list ap;
  va_start(ap, count);
  _gtraceEventVar(1, 0, kFid, 5, 3, 0, 0, 3, inlineLength, inlineData, count, &ap);
  va_end(ap);
}
void eventVarRedirected(std::uint32_t realCount, ...) {
  va_list ap;
  va_start(ap, realCount);
  eventVar(4, "inl", 1, GTRACE_ITEM_LIST_REDIRECT, realCount, &ap);
  va_end(ap);
}

TEST_F(Trace, EventVarForwardedLists) {
  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  const char four[4] = {'a', 'b', 'c', 'd'};
  const char eight[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  eventVar(4, "inl", 2, 3u, 4u, four, 70u, 3u, 8u, eight);
  auto records = block.records();
  ASSERT_EQ(records.size(), 1u);
  Record& r = records[0];
  EXPECT_EQ(field<std::uint32_t>(r, 52), 4u);   // descriptors
  EXPECT_EQ(field<std::uint16_t>(r, 38), 48u);  // 4 x 8 + 16
  const std::uint32_t expected[4][2] = {{3, 4}, {3, 4}, {70, 0}, {3, 8}};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(field<std::uint32_t>(r, 56 + 8 * k), expected[k][0]) << k;
    EXPECT_EQ(field<std::uint32_t>(r, 60 + 8 * k), expected[k][1]) << k;
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[88]), 16), std::string("inl\0abcd12345678", 16));

  // itemCount 0: the inline item alone, nothing after it read.
  ASSERT_EQ(gtraceClear(), 0u);
  eventVar(4, "inl", 0);
  records = block.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(field<std::uint32_t>(records[0], 52), 1u);
  EXPECT_EQ(field<std::uint16_t>(records[0], 38), 12u);

  // 0x40: the real count and list follow.
  ASSERT_EQ(gtraceClear(), 0u);
  eventVarRedirected(2, 3u, 4u, four, 3u, 8u, eight);
  records = block.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(field<std::uint32_t>(records[0], 52), 3u);
  EXPECT_EQ(field<std::uint32_t>(records[0], 72), 3u);
  EXPECT_EQ(field<std::uint32_t>(records[0], 76), 8u);
}

// ---------------------------------------------------------------------------------------------
// The filter.

struct FilterCase {
  const char* name;
  std::uint32_t flags;
  std::function<void(GTraceOptions&)> setUp;
  std::function<void()> emit;
  bool recorded;
};

void setBit(std::uint8_t* bits, std::uint32_t n) { bits[n / 8] |= static_cast<std::uint8_t>(1u << (n % 8)); }
void allowFid(GTraceOptions& o, std::uint32_t fid, std::uint32_t type) {
  setBit(o.productBitmap, fid >> 27);
  setBit(o.componentBitmap, (fid >> 19) & 0xFF);
  setBit(o.functionBitmap, fid & 0xFFFF);
  setBit(o.subfieldBitmap, (fid >> 16) & 7);
  setBit(o.typeBitmap, type);
}
const std::uint32_t kZero = 0, kFail = 0x9000000C;
void none(GTraceOptions&) {}

class TraceFilter : public Trace, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(TraceFilter, DecidesWhatIsRecorded) {
  const FilterCase& c = GetParam();
  TraceBlock block;
  block.options().flags = c.flags;
  c.setUp(block.options());
  ASSERT_EQ(block.start(), 0u);
  c.emit();
  EXPECT_EQ(block.records().size(), c.recorded ? 1u : 0u);
}

const std::uint32_t kPid = 4242;
INSTANTIATE_TEST_SUITE_P(
    Cases, TraceFilter,
    ::testing::Values(
        FilterCase{"errors_only_exit_0", 0x4000, none, [] { _gtraceExit(1, 0, kFid, &kZero, 0, 0); }, false},
        FilterCase{"errors_only_exit_failing", 0x4000, none, [] { _gtraceExit(1, 0, kFid, &kFail, 0, 0); }, true},
        FilterCase{"errors_only_data", 0x4000, none, [] { _gtraceVar(1, 0, kFid, 1, 3, 0); }, false},
        FilterCase{"errors_only_error_type_4", 0x4000, none, [] { _gtraceError(1, 0, kFid, 1, 4, 0, 0); }, true},
        FilterCase{"errors_only_type_11", 0x4000, none, [] { _gtraceMarker(1, 0, kFid, 1, 11); }, true},
        FilterCase{"errors_only_entry", 0x4000, none, [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"process_matches", 0x20,
                   [](GTraceOptions& o) { o.filterCount = 2; o.filters[1] = {1, kPid, 0}; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, true},
        FilterCase{"process_differs", 0x20,
                   [](GTraceOptions& o) { o.filterCount = 1; o.filters[0] = {1, kPid + 1, 0}; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"entry_not_in_use", 0x20,
                   [](GTraceOptions& o) { o.filterCount = 1; o.filters[0] = {0, kPid, 0}; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"entry_beyond_filter_count", 0x20,
                   [](GTraceOptions& o) { o.filterCount = 1; o.filters[1] = {1, kPid, 0}; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"thread_matches", 0x20,
                   [](GTraceOptions& o) { o.filterCount = 1; o.filters[0] = {3, kPid, 0x700000001ull}; },
                   [] { _gtraceEntry(1, 7, kFid, 0, 0); }, true},
        FilterCase{"thread_differs", 0x20,
                   [](GTraceOptions& o) { o.filterCount = 1; o.filters[0] = {3, kPid, 2}; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"filter_count_above_5_is_bounded", 0x20,
                   [](GTraceOptions& o) { o.filterCount = 1000; o.filters[4] = {1, kPid, 0}; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, true},
        FilterCase{"bitmaps_all_set", 0x4, [](GTraceOptions& o) { allowFid(o, kFid, 1); },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, true},
        FilterCase{"bitmaps_type_missing", 0x4, [](GTraceOptions& o) { allowFid(o, kFid, 2); },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"bitmaps_product_missing", 0x4,
                   [](GTraceOptions& o) { allowFid(o, kFid, 1); o.productBitmap[0] = 0; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"bitmaps_component_missing", 0x4,
                   [](GTraceOptions& o) { allowFid(o, kFid, 1); std::memset(o.componentBitmap, 0, 32); },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"bitmaps_function_missing", 0x4,
                   [](GTraceOptions& o) { allowFid(o, kFid, 1); std::memset(o.functionBitmap, 0, 512); },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"bitmaps_subfield_missing", 0x4,
                   [](GTraceOptions& o) { allowFid(o, kFid, 1); o.subfieldBitmap[0] = 0; },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"bitmaps_type_16_has_no_bit", 0x4,
                   [](GTraceOptions& o) { allowFid(o, kFid, 1); std::memset(o.typeBitmap, 0xFF, 2); },
                   [] { _gtraceMarker(1, 0, kFid, 1, 16); }, false},
        FilterCase{"bitmaps_function_4096_has_no_bit", 0x4,
                   [](GTraceOptions& o) { allowFid(o, kFid, 1); std::memset(o.functionBitmap, 0xFF, 512); },
                   [] { _gtraceEntry(1, 0, (kFid & 0xFFFF0000u) | 4096u, 0, 0); }, false},
        FilterCase{"mask_filter_passes_nothing_yet", 0x2000, none, [] { _gtraceEntry(1, 0, kFid, 0, 0); }, false},
        FilterCase{"bitmaps_decide_before_the_mask", 0x2004, [](GTraceOptions& o) { allowFid(o, kFid, 1); },
                   [] { _gtraceEntry(1, 0, kFid, 0, 0); }, true},
        FilterCase{"flag_8_only_routes", 0x8, none, [] { _gtraceEntry(1, 0, kFid, 0, 0); }, true},
        FilterCase{"errors_only_and_process", 0x4020,
                   [](GTraceOptions& o) { o.filterCount = 1; o.filters[0] = {1, kPid, 0}; },
                   [] { _gtraceError(1, 0, kFid, 1, 5, 0, 0); }, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Trace, TimestampOnlyThroughTheFilteredPath) {
  for (std::uint32_t flags : {0u, GTRACE_FLAG_TIMESTAMP}) {
    TraceBlock block;
    block.options().flags = flags;
    ASSERT_EQ(block.start(), 0u);
    _gtraceEntry(1, 0, kFid, 0, 0);
    const auto records = block.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(field<std::uint64_t>(records[0], 0) != 0, flags != 0) << flags;
    gtraceDetach();
  }
}

// ---------------------------------------------------------------------------------------------
// Stop condition, callbacks, full buffer, random delay, clear.

TEST_F(Trace, StopConditionDisablesAfterTheChosenOccurrence) {
  struct Case {
    const char* name;
    std::uint32_t flags, stopCount;
    std::function<void()> emit;
    int disablesAfter;  // calls of emit until disabled; 0: never (within 5)
  };
  const std::vector<Case> cases = {
      {"exit with stopRc, count 1", 0xC0, 1, [] { _gtraceExit(1, 0, kFid, &kFail, 0, 0); }, 1},
      {"exit with stopRc, count 3", 0xC0, 3, [] { _gtraceExit(1, 0, kFid, &kFail, 0, 0); }, 3},
      {"exit with another rc", 0xC0, 1, [] { _gtraceExit(1, 0, kFid, &kZero, 0, 0); }, 0},
      {"exit without 0x80", 0x40, 1, [] { _gtraceExit(1, 0, kFid, &kFail, 0, 0); }, 0},
      {"error of type 5", 0x40, 2, [] { _gtraceError(1, 0, kFid, 1, 5, 0, 0); }, 2},
      {"errorVar of type 5", 0x40, 1, [] { _gtraceErrorVar(1, 0, kFid, 1, 5, 0, 0, 0); }, 1},
      {"error of type 4", 0x40, 1, [] { _gtraceError(1, 0, kFid, 1, 4, 0, 0); }, 0},
      {"errorRc of type 5 does not count", 0x40, 1, [] { _gtraceErrorRc(1, 0, kFid, 1, 5, 0, 0, 0, 0, 0); }, 0},
  };
  for (const Case& c : cases) {
    TraceBlock block;
    block.options().flags = c.flags;
    block.options().stopCount = c.stopCount;
    block.options().stopRc = kFail;
    ASSERT_EQ(block.start(), 0u);
    int disabledAt = 0;
    for (int k = 1; k <= 5 && disabledAt == 0; ++k) {
      c.emit();
      if (block.gtcb()->enabled == 0) disabledAt = k;
    }
    EXPECT_EQ(disabledAt, c.disablesAfter) << c.name;
    gtraceDetach();
  }
}

struct CallbackSeen {
  int calls = 0;
  std::uint32_t type = 0, fid = 0, probe = 0, count = 0;
  const std::uint32_t* rc = nullptr;
  std::uint32_t firstItemType = 0;
};
CallbackSeen g_seen;
void pointCallback(std::uint32_t type, std::uint32_t fid, std::uint32_t probe, const std::uint32_t* rc,
                   std::uint32_t count, void* items) {
  ++g_seen.calls;
  g_seen.type = type;
  g_seen.fid = fid;
  g_seen.probe = probe;
  g_seen.rc = rc;
  g_seen.count = count;
  g_seen.firstItemType = 0;
  if (items != nullptr) {
    va_list copy;
    va_copy(copy, *static_cast<va_list*>(items));
    g_seen.firstItemType = va_arg(copy, std::uint32_t);
    va_end(copy);
  }
}

TEST_F(Trace, PointCallbackAfterEachRecordWithFlag0x100) {
  TraceBlock block;
  block.options().flags = GTRACE_FLAG_CALLBACK;
  ASSERT_EQ(block.start(pointCallback), 0u);
  g_seen = {};
  _gtraceExit(1, 0, kFid, &kFail, 0, 0);
  EXPECT_EQ(g_seen.calls, 1);
  EXPECT_EQ(g_seen.type, 2u);
  EXPECT_EQ(g_seen.fid, kFid);
  EXPECT_EQ(g_seen.rc, &kFail);
  EXPECT_EQ(g_seen.count, 0u);
  _gtraceVar(1, 0, kFid, 33, 3, 2, 9u, 1u, "x", 8u, 1u, "y");
  EXPECT_EQ(g_seen.calls, 2);
  EXPECT_EQ(g_seen.probe, 33u);
  EXPECT_EQ(g_seen.rc, nullptr);
  EXPECT_EQ(g_seen.count, 2u);
  EXPECT_EQ(g_seen.firstItemType, 9u);  // the cursor stands at the first item

  TraceBlock quiet;
  ASSERT_EQ(quiet.start(pointCallback), 0u);
  g_seen = {};
  _gtraceEntry(1, 0, kFid, 0, 0);
  EXPECT_EQ(g_seen.calls, 0);
}

TEST_F(Trace, FullFillOnceBufferDisablesTheTrace) {
  g_disableCalls = 0;
  TraceBlock block(GTRACE_TYPE_FILL_ONCE);
  ASSERT_EQ(block.start(nullptr, countDisable), 0u);
  std::uint32_t emitted = 0;
  while (block.gtcb()->enabled != 0 && emitted < 20000) {
    _gtraceEntry(1, 0, kFid, emitted, 0);
    ++emitted;
  }
  EXPECT_EQ(emitted, 8192u + 1);  // the 8193rd went to the scratch area and disabled the trace
  EXPECT_EQ(g_disableCalls, 1);
  const auto records = block.records();
  ASSERT_EQ(records.size(), 8192u);
  EXPECT_EQ(field<std::uint32_t>(records.back(), 40), 8191u);
}

TEST_F(Trace, RandomDelayModeWritesNothing) {
  TraceBlock block(GTRACE_TYPE_RANDOM_DELAY);
  block.options().stopRc = 1000000;  // a long period: no sleep during the test
  ASSERT_EQ(block.start(), 0u);
  for (int k = 0; k < 10; ++k) _gtraceEntry(1, 0, kFid, 0, 0);
  EXPECT_EQ(block.ring()->counter, 0u);
  EXPECT_TRUE(block.records().empty());
}

TEST_F(Trace, ClearStartsANewSequence) {
  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  _gtraceEntry(1, 0, kFid, 1, 0);
  _gtraceEntry(1, 0, kFid, 2, 0);
  ASSERT_EQ(gtraceClear(), 0u);
  _gtraceEntry(1, 0, kFid, 3, 0);
  const auto records = block.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(field<std::uint32_t>(records[0], 40), 3u);
}

// ---------------------------------------------------------------------------------------------
// Macros.

std::uint32_t instrumented(std::uint32_t input) {
  std::uint32_t rc = 0;
  GTRACE_ENTRY(kFid);
  GTRACE_DATA(kFid, 10, GTRACE_ITEM_VALUE, 4, input);
  if (input > 5) {
    rc = kFail;
    GTRACE_ERROR(kFid, 20, &rc);
  }
  GTRACE_EXIT(kFid, &rc);
  return rc;
}

TEST_F(Trace, MacrosAreGuardedAndWriteTheirRecords) {
  EXPECT_EQ(instrumented(9), kFail);  // no block: nothing happens
  TraceBlock block;
  ASSERT_EQ(block.initialize(), 0u);
  ASSERT_EQ(gtraceAttach(block.gtcb(), 1, nullptr, nullptr), 0u);
  instrumented(9);  // attached, not enabled
  EXPECT_EQ(block.ring()->counter, 0u);
  ASSERT_EQ(gtraceEnable(), 0u);
  instrumented(9);
  const auto records = block.records();
  ASSERT_EQ(records.size(), 4u);
  const std::uint16_t types[4] = {1, 3, 4, 2};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(field<std::uint16_t>(records[k], 32), types[k]) << k;
    EXPECT_EQ(field<std::uint32_t>(records[k], 20), kFid) << k;
    EXPECT_EQ(field<std::uint32_t>(records[k], 8), _gtraceThreadID()) << k;
  }
  EXPECT_EQ(field<std::uint32_t>(records[0], 44), 1000000u);
  EXPECT_EQ(field<std::uint32_t>(records[1], 64), 9u);     // the value item
  EXPECT_EQ(field<std::uint16_t>(records[2], 36), 20u);    // probe
  EXPECT_EQ(field<std::uint32_t>(records[2], 64), kFail);  // the return code as item
  EXPECT_EQ(field<std::uint32_t>(records[3], 48), kFail);
}

// ---------------------------------------------------------------------------------------------
// Dump files.

TEST_F(Trace, DumpValidationCodes) {
  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  _gtraceEntry(1, 0, kFid, 0, 0);
  const auto good = block.imageDump();
  ASSERT_FALSE(good.empty());
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint32_t expectedKind, rc;
  };
  std::vector<Case> cases = {
      {"good", good, 0, 0},
      {"good, ring expected", good, GTRACE_DUMP_KIND_RING, 0},
      {"profile expected", good, GTRACE_DUMP_KIND_PROFILE, ECF_INVALID_PARAMETER},
      {"header cut", std::vector<std::uint8_t>(good.begin(), good.begin() + 182903), 0, ECF_GTRACE_DUMP_HEADER_TRUNCATED},
      {"empty file", {}, 0, ECF_GTRACE_DUMP_HEADER_TRUNCATED},
      {"no buffer header", std::vector<std::uint8_t>(good.begin(), good.begin() + 182904), 0,
       ECF_RAMBO_DUMP_HEADER_TRUNCATED},
      {"image cut", std::vector<std::uint8_t>(good.begin(), good.end() - 10), 0, ECF_RAMBO_INSTANT_DUMP_TRUNCATED},
  };
  auto eye = good;
  eye[6] = '2';
  cases.push_back({"eye-catcher", eye, 0, ECF_GTRACE_INVALID_DUMP_EYE_CATCHER});
  auto profile = good;
  profile[12] = GTRACE_TYPE_PROFILE;  // traceType
  cases.push_back({"profile dump with its table", profile, GTRACE_DUMP_KIND_PROFILE, 0});
  cases.push_back({"profile dump cut", std::vector<std::uint8_t>(profile.begin(), profile.begin() + 200000), 0,
                   ECF_RAMBO_DUMP_TRUNCATED});
  for (const Case& c : cases) {
    RamboDumpFile file;
    file.openMemory(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(gtraceValidateDumpFile(&file, c.expectedKind), c.rc) << c.name;
    EXPECT_EQ(file.position(), 0u) << c.name;
  }
  // The profile parser is not in the library yet.
  RamboDumpFile file;
  file.openMemory(profile.data(), profile.size());
  GTraceDumpParser parser;
  EXPECT_EQ(gtraceOpenDumpFileParser(&file, &parser, true), ECF_NOT_SUPPORTED);
}

TEST_F(Trace, DumpReadingTracesItsFailures) {
  TraceBlock writer;
  ASSERT_EQ(writer.start(), 0u);
  auto damaged = writer.imageDump();
  damaged[damaged.size() - 30] = '!';  // the tail's eye-catcher
  gtraceDetach();
  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  RamboDumpFile file;
  file.openMemory(damaged.data(), damaged.size());
  ASSERT_EQ(gtraceValidateDumpFile(&file, 0), ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER);
  const auto records = block.records();
  // entry, the ring buffer's entry, error and exit, then the error and exit of the caller.
  struct Expect {
    std::uint32_t fid;
    std::uint16_t type, probe;
    std::uint32_t rc;  // in the exit's return code or the error's item
  } expected[] = {
      {ECF_FN_gtraceValidateDumpFile, 1, 0, 0},
      {ECF_FN_ramboValidateDumpFile, 1, 0, 0},
      {ECF_FN_ramboValidateDumpFile, 4, 10, ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER},
      {ECF_FN_ramboValidateDumpFile, 2, 0, ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER},
      {ECF_FN_gtraceValidateDumpFile, 4, 10, ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER},
      {ECF_FN_gtraceValidateDumpFile, 2, 0, ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER},
  };
  ASSERT_EQ(records.size(), std::size(expected));
  for (std::size_t k = 0; k < records.size(); ++k) {
    EXPECT_EQ(field<std::uint32_t>(records[k], 20), expected[k].fid) << k;
    EXPECT_EQ(field<std::uint16_t>(records[k], 32), expected[k].type) << k;
    EXPECT_EQ(field<std::uint16_t>(records[k], 36), expected[k].probe) << k;
    const std::size_t rcAt = expected[k].type == 2 ? 48 : 64;  // exit field, or the error's item
    if (expected[k].type != 1) {
      EXPECT_EQ(field<std::uint32_t>(records[k], rcAt), expected[k].rc) << k;
    }
  }
}

// Every failure of the dump functions is logged before its error trace point, with the same
// function and probe; a wrapper that fails because the ring-buffer function under it did names
// that function as the one it called.
struct LoggedFailure {
  std::uint32_t functionId, calledFunctionId, calledResult, ecfCode, probe;
};
std::vector<LoggedFailure>* g_failures = nullptr;
std::uint32_t CollectFailure(OSSLogFac*, std::uint32_t functionId, std::uint32_t calledFunctionId,
                             std::uint32_t calledResult, std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t,
                             std::uint32_t, std::int32_t, const OSSLogItem* const*) {
  if (g_failures != nullptr) g_failures->push_back({functionId, calledFunctionId, calledResult, ecfCode, probe});
  return 0;
}

TEST_F(Trace, DumpFailuresAreLoggedWithTheProbesOfTheirErrorPoints) {
  TraceBlock writer;
  ASSERT_EQ(writer.start(), 0u);
  const auto good = writer.imageDump();
  gtraceDetach();
  auto tail = good;
  tail[tail.size() - 30] = '!';  // the tail's eye-catcher
  auto eye = good;
  eye[1] = 'X';                  // the trace header's eye-catcher
  const std::vector<std::uint8_t> cut(good.begin(), good.begin() + 1000);

  TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  std::vector<LoggedFailure> logged;
  g_failures = &logged;
  ossSetOSSeLogCallback(&CollectFailure);
  GTraceDumpParser parser;
  RamboDumpFile file;
  file.openMemory(tail.data(), tail.size());
  EXPECT_EQ(gtraceValidateDumpFile(&file, 0), ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER);
  EXPECT_EQ(gtraceOpenDumpFileParser(&file, &parser, true), ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER);
  file.openMemory(eye.data(), eye.size());
  EXPECT_EQ(gtraceValidateDumpFile(&file, 0), ECF_GTRACE_INVALID_DUMP_EYE_CATCHER);
  EXPECT_EQ(gtraceOpenDumpFileParser(&file, &parser, false), ECF_GTRACE_INVALID_DUMP_EYE_CATCHER);
  file.openMemory(cut.data(), cut.size());
  EXPECT_EQ(gtraceValidateDumpFile(&file, 0), ECF_GTRACE_DUMP_HEADER_TRUNCATED);
  file.openMemory(good.data(), good.size());
  EXPECT_EQ(gtraceValidateDumpFile(&file, GTRACE_DUMP_KIND_PROFILE), ECF_INVALID_PARAMETER);
  EXPECT_EQ(gtraceValidateDumpFile(&file, 0), 0u);
  EXPECT_EQ(gtraceOpenDumpFileParser(nullptr, &parser, true), ECF_INVALID_PARAMETER);
  ossSetOSSeLogCallback(nullptr);
  g_failures = nullptr;

  constexpr std::uint32_t kRV = ECF_FN_ramboValidateDumpFile, kRO = ECF_FN_ramboOpenDumpFileParser;
  constexpr std::uint32_t kGV = ECF_FN_gtraceValidateDumpFile, kGO = ECF_FN_gtraceOpenDumpFileParser;
  constexpr std::uint32_t kTail = ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER;
  const LoggedFailure expected[] = {
      {kRV, 0, 0, kTail, 10},
      {kGV, kRV, kTail, kTail, 10},
      {kRO, 0, 0, kTail, 20},
      {kGO, kRO, kTail, kTail, 10},
      {kGV, 0, 0, ECF_GTRACE_INVALID_DUMP_EYE_CATCHER, 10},
      {kGO, 0, 0, ECF_GTRACE_INVALID_DUMP_EYE_CATCHER, 10},
      {kGV, 0, 0, ECF_GTRACE_DUMP_HEADER_TRUNCATED, 10},
      {kGV, 0, 0, ECF_INVALID_PARAMETER, 10},
      {kGO, 0, 0, ECF_INVALID_PARAMETER, 10},
  };
  ASSERT_EQ(logged.size(), std::size(expected));
  for (std::size_t k = 0; k < logged.size(); ++k) {
    EXPECT_EQ(logged[k].functionId, expected[k].functionId) << k;
    EXPECT_EQ(logged[k].calledFunctionId, expected[k].calledFunctionId) << k;
    EXPECT_EQ(logged[k].calledResult, expected[k].calledResult) << k;
    EXPECT_EQ(logged[k].ecfCode, expected[k].ecfCode) << k;
    EXPECT_EQ(logged[k].probe, expected[k].probe) << k;
  }
  // The error trace points, in the same order, carry the same function, probe and code.
  std::vector<Record> errors;
  for (const Record& r : block.records())
    if (field<std::uint16_t>(r, 32) == 4) errors.push_back(r);
  ASSERT_EQ(errors.size(), logged.size());
  for (std::size_t k = 0; k < errors.size(); ++k) {
    EXPECT_EQ(field<std::uint32_t>(errors[k], 20), logged[k].functionId) << k;
    EXPECT_EQ(field<std::uint16_t>(errors[k], 36), logged[k].probe) << k;
    EXPECT_EQ(field<std::uint32_t>(errors[k], 64), logged[k].ecfCode) << k;
  }
}

// ---------------------------------------------------------------------------------------------
// Several threads through the macros; every record intact and each thread's in order.

TEST_F(Trace, ThreadsTraceWithoutLosingOrTearingRecords) {
  for (std::uint32_t type : {GTRACE_TYPE_WRAP, GTRACE_TYPE_FILL_ONCE}) {
    TraceBlock block(type);
    ASSERT_EQ(block.start(), 0u);
    constexpr int kThreads = 4, kCalls = 300;  // 4 x 300 x 4 records of 1 or 2 slots: no lap
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([] {
        for (int k = 0; k < kCalls; ++k) instrumented(static_cast<std::uint32_t>(k % 10));
      });
    for (auto& th : threads) th.join();
    const auto records = block.records();
    std::map<std::uint32_t, std::vector<std::uint16_t>> byThread;
    for (const Record& r : records) byThread[field<std::uint32_t>(r, 8)].push_back(field<std::uint16_t>(r, 32));
    ASSERT_EQ(byThread.size(), static_cast<std::size_t>(kThreads));
    for (const auto& [tid, types] : byThread) {
      // entry, data, [error,] exit per call, in order
      std::size_t k = 0;
      int calls = 0;
      while (k < types.size()) {
        ASSERT_EQ(types[k++], 1) << tid;
        ASSERT_EQ(types[k++], 3) << tid;
        if (types[k] == 4) ++k;
        ASSERT_EQ(types[k++], 2) << tid;
        ++calls;
      }
      EXPECT_EQ(calls, kCalls);
    }
    gtraceDetach();
  }
}

}  // namespace
