// The trace ring buffer: sizes, set-up, slot framing, the three kinds under several writers,
// chunk hand-over to a dumping agent, and dump files read back forwards and backwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/ringbuffer.h"

namespace {

constexpr std::uint32_t kB = 0x80000;      // the smallest buffer
constexpr std::uint32_t kS = kB / 64;      // 8192 slots

// One buffer in its own 64-byte aligned allocation.
class Ring {
 public:
  explicit Ring(std::uint32_t kind, std::uint32_t size = kB) : bytes_(ramboGetAllocSize(size)) {
    memory_ = static_cast<char*>(std::aligned_alloc(64, (bytes_ + 63) / 64 * 64));
    std::memset(memory_, 0xA5, bytes_);  // raw memory is not zero
    rc_ = ramboInitialize(cb(), size, kind);
  }
  ~Ring() { std::free(memory_); }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;

  RamboCB* cb() { return reinterpret_cast<RamboCB*>(memory_); }
  std::uint32_t rc() const { return rc_; }
  char* slot(std::uint32_t i) { return ramboData(cb()) + static_cast<std::size_t>(i) * 64; }

 private:
  std::uint64_t bytes_;
  char* memory_;
  std::uint32_t rc_;
};

// A record whose bytes say who wrote it: writer, number, length, then a pattern of those.
void fillRecord(char* at, std::uint32_t bytes, std::uint32_t writer, std::uint32_t number) {
  std::memcpy(at, &writer, 4);
  std::memcpy(at + 4, &number, 4);
  std::memcpy(at + 8, &bytes, 4);
  for (std::uint32_t k = 12; k < bytes; ++k) at[k] = static_cast<char>((writer * 31 + number * 7 + k) & 0xFF);
}

struct Found {
  std::uint32_t writer, number, bytes;
};

// Checks a record read back; false when its bytes are torn.
bool checkRecord(const std::vector<char>& rec, std::uint32_t length, Found* found) {
  if (length < 12) return false;
  std::memcpy(&found->writer, rec.data(), 4);
  std::memcpy(&found->number, rec.data() + 4, 4);
  std::memcpy(&found->bytes, rec.data() + 8, 4);
  if (found->bytes > length || ramboSlotsFor(found->bytes) * 64 - 12 != length) return false;
  for (std::uint32_t k = 12; k < found->bytes; ++k)
    if (rec[k] != static_cast<char>((found->writer * 31 + found->number * 7 + k) & 0xFF)) return false;
  return true;
}

void writeRecord(RamboCB* cb, std::uint32_t bytes, std::uint32_t writer, std::uint32_t number) {
  RamboReservation r;
  char* at = bytes <= 52 ? ramboReserveOneSlot(cb, &r) : ramboReserveSlots(cb, bytes, &r);
  if (r.slot != ramboScratch(cb)) fillRecord(at, bytes, writer, number);
  ramboSync(cb, &r);
}

void append(std::vector<std::uint8_t>& out, const void* data, std::size_t size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  std::memcpy(out.data() + at, data, size);
}

// An instantaneous dump of the buffer (from the buffer header on).
std::vector<std::uint8_t> imageDump(RamboCB* cb) {
  RamboDumpHeader header;
  void* data = nullptr;
  std::uint32_t size = 0;
  EXPECT_EQ(ramboGetDumpHeaderBuffer(cb, true, &header, &data, &size), 0u);
  RamboDumpTail tail;
  EXPECT_EQ(ramboGetDumpTail(cb, &tail), 0u);
  std::vector<std::uint8_t> out;
  append(out, &header, sizeof header);
  append(out, data, size);
  append(out, &tail, sizeof tail);
  return out;
}

std::vector<std::uint8_t> streamHeader(std::uint32_t size = kB, bool circular = true) {
  RamboDumpHeader header{};
  std::memcpy(header.eyeCatcher, "@HEAD\r\n", 8);
  header.bufferSize = size;
  header.dumpType = RAMBO_DUMP_STREAM;
  header.circular = circular ? 1 : 0;
  std::vector<std::uint8_t> out;
  append(out, &header, sizeof header);
  return out;
}

// Appends one framed record of n slots with the given sequence to a stream.
void appendFramed(std::vector<std::uint8_t>& out, std::uint32_t sequence, std::uint16_t n, std::uint8_t fill) {
  std::vector<std::uint8_t> group(n * 64u, fill);
  const std::uint16_t magic = 0xCAFE;
  std::memcpy(group.data(), &sequence, 4);
  std::memcpy(group.data() + 4, &magic, 2);
  std::memcpy(group.data() + 6, &n, 2);
  const std::uint32_t trailer = ~sequence;
  std::memcpy(group.data() + n * 64u - 4, &trailer, 4);
  append(out, group.data(), group.size());
}

struct ReadBack {
  std::vector<Found> records;
  std::vector<std::uint64_t> offsets;
  std::uint32_t torn = 0;
  bool wrapped = false, truncated = false;
  std::uint32_t openRc = 0;
};

ReadBack readDump(const std::vector<std::uint8_t>& dump, bool forward, bool circularStream = false) {
  ReadBack out;
  RamboDumpFile file;
  file.openMemory(dump.data(), dump.size());
  RamboDumpParser parser;
  out.openRc = ramboOpenDumpFileParser(&file, &parser, forward, circularStream);
  if (out.openRc != 0) return out;
  std::uint8_t flag = 0;
  ramboDidBufferWrap(&parser, &flag);
  out.wrapped = flag != 0;
  ramboWasBufferTruncated(&parser, &flag);
  out.truncated = flag != 0;
  std::vector<char> rec(RAMBO_MAX_RECORD_SLOTS * 64);
  std::uint64_t offset = 0;
  for (;;) {
    const std::uint32_t length = ramboParseDumpFile(&file, &parser, &offset, rec.data(), rec.size());
    if (length == 0) break;
    Found f{};
    if (!checkRecord(rec, length, &f)) ++out.torn;
    out.records.push_back(f);
    out.offsets.push_back(offset);
  }
  ramboCloseDumpFileParser(&parser);
  return out;
}

// ---------------------------------------------------------------------------------------------

TEST(RamboSizes, AllocationAndRounding) {
  struct Case {
    std::uint32_t size;
    std::uint64_t alloc;
  } cases[] = {
      {0x80000, 0x80000 + 256 + 80 + 24 + 0x20000},
      {0x100000, 0x100000 + 256 + 160 + 24 + 0x20000},
      {0x40000000, 0x40000000ull + 256 + (8192 * 20) + 24 + 0x20000},
      {0x80001, 0}, {0x7FFFF, 0}, {0x80000000u, 0}, {0, 0}, {0xC0000, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ramboGetAllocSize(c.size), c.alloc) << std::hex << c.size;
  const std::uint32_t rounding[][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {0x80001, 0x80000}, {0xFFFFFFFF, 0x80000000}};
  for (const auto& r : rounding) EXPECT_EQ(ramboRoundNearest2(r[0]), r[1]) << r[0];
  // 8 header bytes, the record and the 4-byte trailer, in whole slots.
  const std::uint32_t slots[][2] = {{0, 1}, {52, 1}, {53, 2}, {56, 2}, {116, 2}, {117, 3}, {131060, 2048}};
  for (const auto& s : slots) EXPECT_EQ(ramboSlotsFor(s[0]), s[1]) << s[0];
}

TEST(RamboInitialize, KindsAndRefusals) {
  struct Case {
    std::uint32_t kind;
    std::uint8_t circular, chunked, autoDump;
    std::uint32_t mask;
  } cases[] = {{1, 1, 0, 0, kS - 1}, {2, 0, 0, 0, 2 * kS - 1}, {4, 1, 1, 1, kS - 1}};
  for (const Case& c : cases) {
    Ring ring(c.kind);
    ASSERT_EQ(ring.rc(), 0u);
    RamboCB* cb = ring.cb();
    EXPECT_EQ(std::memcmp(cb->eyeCatcher, "RAMBOCB", 8), 0);
    EXPECT_EQ(cb->circular, c.circular);
    EXPECT_EQ(cb->chunked, c.chunked);
    EXPECT_EQ(cb->autoDump, c.autoDump);
    EXPECT_EQ(cb->mask, c.mask);
    EXPECT_EQ(cb->counter, 0u);
    EXPECT_EQ(cb->dataOffset, 256u + 80u);
    EXPECT_EQ(cb->chunkTableOffset, 256u);
    EXPECT_EQ(cb->scratchOffset, 256u + 80u + kB);
    EXPECT_EQ(cb->slotCount, kS);
    EXPECT_EQ(cb->chunkCount, 4u);
    EXPECT_EQ(cb->latch.state(), OSS_LATCH_FREE);
    for (std::uint32_t i = 0; i < 4; ++i) {
      RamboChunk* chunk = ramboChunk(cb, i);
      EXPECT_EQ(std::memcmp(chunk->eyeCatcher, "RAMBOCK", 8), 0);
      EXPECT_EQ(chunk->index, i);
      EXPECT_EQ(chunk->committed, 0u);
      EXPECT_EQ(chunk->generation, 0u);
    }
    // The data area is zeroed, whatever the memory held.
    for (std::uint32_t i = 0; i < kB; i += 4096) EXPECT_EQ(ramboData(cb)[i], 0);
  }
  Ring badKind(3);
  EXPECT_EQ(badKind.rc(), ECF_INVALID_PARAMETER);
  Ring badSize(1, 0x80001);
  EXPECT_EQ(ramboInitialize(nullptr, kB, 1), ECF_INVALID_PARAMETER);
  std::vector<char> raw(sizeof(RamboCB) + 64);
  EXPECT_EQ(ramboInitialize(reinterpret_cast<RamboCB*>(raw.data()), 0x80001, 1), ECF_RAMBO_INVALID_BUFFER_SIZE);
}

TEST(RamboControl, RefusesUninitialisedBlockAndWrongKind) {
  alignas(8) std::uint8_t zero[sizeof(RamboCB)] = {};
  auto* cb = reinterpret_cast<RamboCB*>(zero);
  RamboDumpHeader header;
  RamboDumpTail tail;
  RamboChunkWalker walker;
  void* data;
  std::uint32_t size;
  EXPECT_EQ(ramboNewSequence(cb), ECF_RAMBO_NOT_INITIALIZED);
  EXPECT_EQ(ramboAutoDumpEnabled(cb, true), ECF_RAMBO_NOT_INITIALIZED);
  EXPECT_EQ(ramboInitializeChunkWalker(cb, &walker), ECF_RAMBO_NOT_INITIALIZED);
  EXPECT_EQ(ramboGetDumpHeaderBuffer(cb, true, &header, &data, &size), ECF_RAMBO_NOT_INITIALIZED);
  EXPECT_EQ(ramboGetDumpTail(cb, &tail), ECF_RAMBO_NOT_INITIALIZED);
  EXPECT_EQ(ramboNewSequence(nullptr), ECF_INVALID_PARAMETER);

  for (std::uint32_t kind : {1u, 2u}) {
    Ring ring(kind);
    EXPECT_EQ(ramboAutoDumpEnabled(ring.cb(), false), ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED);
    EXPECT_EQ(ramboInitializeChunkWalker(ring.cb(), &walker), ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED);
  }
  Ring chunked(4);
  EXPECT_EQ(ramboNewSequence(chunked.cb()), ECF_NOT_SUPPORTED);
  EXPECT_EQ(ramboAutoDumpEnabled(chunked.cb(), false), 0u);
  EXPECT_EQ(chunked.cb()->autoDump, 0);
  walker.position = 99;
  EXPECT_EQ(ramboInitializeChunkWalker(chunked.cb(), &walker), 0u);
  EXPECT_EQ(walker.cb, chunked.cb());
  EXPECT_EQ(walker.chunk, ramboChunk(chunked.cb(), 0));
  EXPECT_EQ(walker.slot, ramboData(chunked.cb()));
  EXPECT_EQ(walker.position, 0u);
}

TEST(RamboFraming, HeaderAndTrailerBytes) {
  Ring ring(1);
  RamboCB* cb = ring.cb();
  cb->counter = 0x1234;  // so that the sequence is not 0
  RamboReservation r;
  char* at = ramboReserveOneSlot(cb, &r);
  EXPECT_EQ(at, ring.slot(0x1234 & (kS - 1)) + 8);
  std::memset(at, 0x11, 52);
  ramboSync(cb, &r);
  const std::uint8_t expected[8] = {0x34, 0x12, 0, 0, 0xFE, 0xCA, 1, 0};
  EXPECT_EQ(std::memcmp(r.slot, expected, 8), 0);
  std::uint32_t trailer;
  std::memcpy(&trailer, r.slot + 60, 4);
  EXPECT_EQ(trailer, ~0x1234u);

  at = ramboReserveSlots(cb, 56, &r);  // (56 + 75) / 64 = 2 slots
  EXPECT_EQ(r.slots, 2);
  EXPECT_EQ(r.sequence, 0x1235u);
  EXPECT_EQ(cb->counter, 0x1237u);
  ramboSync(cb, &r);
  std::memcpy(&trailer, r.slot + 124, 4);
  EXPECT_EQ(trailer, ~0x1235u);
}

TEST(RamboCircular, RecordCrossingTheEndStartsAgainAtSlotZero) {
  Ring ring(1);
  RamboCB* cb = ring.cb();
  cb->counter = kS - 1;  // one slot left before the end
  RamboReservation r;
  ramboReserveSlots(cb, 130, &r);  // 3 slots
  EXPECT_EQ(r.sequence, kS + 2);   // the 3 slots at the end were given up
  EXPECT_EQ(r.slot, ring.slot(2));
  ramboSync(cb, &r);
}

TEST(RamboFillOnce, OverflowGoesToScratchWithOneCallbackPerReservation) {
  static std::atomic<int> calls{0};
  calls = 0;
  ramboSetCallBack([]() -> std::uint32_t { ++calls; return 0; });
  Ring ring(2);
  RamboCB* cb = ring.cb();
  cb->counter = kS - 2;
  RamboReservation r;
  ramboReserveSlots(cb, 56, &r);  // slots S-2 and S-1: fits exactly
  EXPECT_EQ(r.slot, ring.slot(kS - 2));
  ramboSync(cb, &r);
  EXPECT_EQ(calls, 0);
  RamboDumpTail tail;
  ramboGetDumpTail(cb, &tail);
  EXPECT_EQ(tail.truncated, 0u);  // full, nothing lost
  EXPECT_EQ(tail.counter, kS);

  char* at = ramboReserveOneSlot(cb, &r);
  EXPECT_EQ(at, ramboScratch(cb) + 8);
  EXPECT_EQ(r.slots, 1);
  ramboSync(cb, &r);
  ramboReserveSlots(cb, 500, &r);
  EXPECT_EQ(r.slot, ramboScratch(cb));
  EXPECT_EQ(calls, 2);
  ramboGetDumpTail(cb, &tail);
  EXPECT_EQ(tail.truncated, 1u);
  EXPECT_EQ(tail.counter, kS);  // lowered to a multiple of S
  EXPECT_EQ(tail.index, 0u);
  ramboSetCallBack(nullptr);
}

TEST(RamboNewSequence, FillOnceStartsAtSlotZeroCircularMovesTheWindow) {
  Ring once(2);
  once.cb()->counter = 5;
  EXPECT_EQ(ramboNewSequence(once.cb()), 0u);
  EXPECT_EQ(once.cb()->counter, 2 * kS);
  RamboReservation r;
  ramboReserveOneSlot(once.cb(), &r);
  EXPECT_EQ(r.slot, once.slot(0));
  ramboSync(once.cb(), &r);

  Ring ring(1);
  for (std::uint32_t i = 0; i < 10; ++i) writeRecord(ring.cb(), 40, 1, i);
  EXPECT_EQ(ramboNewSequence(ring.cb()), 0u);
  EXPECT_EQ(ring.cb()->counter, 10 + kS);
  EXPECT_EQ(ring.cb()->sequenceStart, 10 + kS);
  writeRecord(ring.cb(), 40, 2, 0);
  // Only the record of the new sequence is in the reader's window.
  ReadBack back = readDump(imageDump(ring.cb()), true);
  ASSERT_EQ(back.records.size(), 1u);
  EXPECT_EQ(back.records[0].writer, 2u);
  EXPECT_FALSE(back.wrapped);
}

// ---------------------------------------------------------------------------------------------
// Several writers on each kind; every record found intact by the reader.

struct Race {
  std::uint32_t kind;
  std::uint32_t threads;
  std::uint32_t perThread;
};

class RamboRace : public ::testing::TestWithParam<Race> {};

TEST_P(RamboRace, EveryRecordIntact) {
  const Race race = GetParam();
  static std::atomic<std::uint32_t> callbacks{0};
  callbacks = 0;
  ramboSetCallBack([]() -> std::uint32_t { ++callbacks; return 0; });
  Ring ring(race.kind);
  RamboCB* cb = ring.cb();
  if (race.kind == 4) ramboAutoDumpEnabled(cb, false);  // no agent: writers overwrite freely
  std::vector<std::uint32_t> lost(race.threads, 0);
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < race.threads; ++t)
    threads.emplace_back([&, t] {
      for (std::uint32_t i = 0; i < race.perThread; ++i) {
        const std::uint32_t bytes = 12 + (t * 131 + i * 37) % 300;  // 1 to 6 slots
        RamboReservation r;
        char* at = ramboReserveSlots(cb, bytes, &r);
        if (r.slot == ramboScratch(cb)) ++lost[t];
        else fillRecord(at, bytes, t, i);
        ramboSync(cb, &r);
      }
    });
  for (auto& th : threads) th.join();
  ramboSetCallBack(nullptr);

  std::uint32_t lostTotal = 0;
  for (std::uint32_t l : lost) lostTotal += l;
  EXPECT_EQ(callbacks.load(), lostTotal);
  for (bool forward : {true, false}) {
    ReadBack back = readDump(imageDump(cb), forward);
    ASSERT_EQ(back.openRc, 0u);
    EXPECT_EQ(back.torn, 0u);
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    std::map<std::uint32_t, std::uint32_t> lastNumber;
    for (const Found& f : back.records) {
      EXPECT_TRUE(seen.insert({f.writer, f.number}).second) << "record read twice";
      // In time order per writer: numbers rise forwards, fall backwards.
      auto it = lastNumber.find(f.writer);
      if (it != lastNumber.end()) {
        EXPECT_TRUE(forward ? f.number > it->second : f.number < it->second);
      }
      lastNumber[f.writer] = f.number;
    }
    EXPECT_EQ(seen.size() + lostTotal, race.threads * race.perThread);
    if (race.kind == 2) {
      EXPECT_EQ(back.truncated, lostTotal != 0);
    }
  }
}

// Circular kinds: 4 x 500 records of at most 6 slots stay below one lap. Fill-once: 4 x 1500
// records overflow the 8192 slots.
INSTANTIATE_TEST_SUITE_P(Kinds, RamboRace,
                         ::testing::Values(Race{1, 4, 500}, Race{2, 4, 500}, Race{2, 4, 1500}, Race{4, 4, 500}),
                         [](const auto& info) {
                           return "kind" + std::to_string(info.param.kind) + "_" +
                                  std::to_string(info.param.threads * info.param.perThread);
                         });

// ---------------------------------------------------------------------------------------------
// Chunk hand-over: a test thread is the dumping agent. Writers lap the buffer several times; the
// agent's stream holds every record, in order, none overwritten before it was saved.

TEST(RamboChunked, AgentSavesEveryChunkBeforeItIsOverwritten) {
  Ring ring(4);
  RamboCB* cb = ring.cb();
  RamboChunkWalker walker;
  ASSERT_EQ(ramboInitializeChunkWalker(cb, &walker), 0u);
  std::vector<std::uint8_t> stream = streamHeader(kB, true);
  std::atomic<bool> writersDone{false};
  const std::uint32_t kThreads = 3, kPerThread = 6000;  // about 4 laps of the buffer

  std::thread agent([&] {
    for (;;) {
      RamboChunk* chunk = walker.chunk;
      const std::uint32_t committed = __atomic_load_n(&chunk->committed, __ATOMIC_ACQUIRE);
      if (committed >= RAMBO_SLOTS_PER_CHUNK) {
        append(stream, walker.slot, RAMBO_CHUNK_SIZE);
        __atomic_store_n(&chunk->committed, 0u, __ATOMIC_RELEASE);
        __atomic_fetch_add(&chunk->generation, 1u, __ATOMIC_ACQ_REL);
        walker.position += RAMBO_SLOTS_PER_CHUNK;
        const std::uint32_t next = (chunk->index + 1) % cb->chunkCount;
        walker.chunk = ramboChunk(cb, next);
        walker.slot = ramboData(cb) + static_cast<std::size_t>(next) * RAMBO_CHUNK_SIZE;
        continue;
      }
      if (writersDone.load()) break;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> writers;
  for (std::uint32_t t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      for (std::uint32_t i = 0; i < kPerThread; ++i) writeRecord(cb, 12 + (t * 53 + i * 29) % 200, t, i);
    });
  for (auto& w : writers) w.join();
  writersDone = true;
  agent.join();
  // The part of the last lap that did not fill a chunk is saved by hand, as the agent would at
  // the end of a trace.
  const std::uint32_t counter = cb->counter;
  const std::uint64_t savedSlots = walker.position;
  ASSERT_LE(savedSlots, counter);
  ASSERT_LT(counter - savedSlots, RAMBO_SLOTS_PER_CHUNK);
  append(stream, walker.slot, static_cast<std::size_t>(counter - savedSlots) * 64);
  EXPECT_GT(savedSlots, 3ull * kS);  // the writers lapped the buffer

  ReadBack back = readDump(stream, true, true);
  ASSERT_EQ(back.openRc, 0u);
  EXPECT_EQ(back.torn, 0u);
  EXPECT_FALSE(back.wrapped);  // the stream starts with sequence 0
  ASSERT_EQ(back.records.size(), kThreads * kPerThread);
  std::vector<std::uint32_t> next(kThreads, 0);
  for (const Found& f : back.records) {
    ASSERT_LT(f.writer, kThreads);
    EXPECT_EQ(f.number, next[f.writer]) << "lost or out of order";
    next[f.writer] = f.number + 1;
  }
  ReadBack backward = readDump(stream, false);
  EXPECT_EQ(backward.records.size(), kThreads * kPerThread);
  EXPECT_EQ(backward.torn, 0u);
}

// ---------------------------------------------------------------------------------------------
// Dumps.

TEST(RamboDump, ImageOfWrappedCircularBufferReadBothWays) {
  Ring ring(1);
  const std::uint32_t kRecords = 3000;  // 3 slots each: 9000 slots, more than one lap
  for (std::uint32_t i = 0; i < kRecords; ++i) writeRecord(ring.cb(), 130, 0, i);
  const auto dump = imageDump(ring.cb());
  ReadBack forward = readDump(dump, true);
  ReadBack backward = readDump(dump, false);
  EXPECT_TRUE(forward.wrapped);
  EXPECT_EQ(forward.torn, 0u);
  ASSERT_FALSE(forward.records.empty());
  // The newest records, oldest first; backwards the same ones newest first.
  EXPECT_EQ(forward.records.back().number, kRecords - 1);
  for (std::size_t k = 1; k < forward.records.size(); ++k)
    EXPECT_EQ(forward.records[k].number, forward.records[k - 1].number + 1);
  ASSERT_EQ(backward.records.size(), forward.records.size());
  for (std::size_t k = 0; k < forward.records.size(); ++k)
    EXPECT_EQ(backward.records[k].number, forward.records[forward.records.size() - 1 - k].number);
  // Everything the buffer can still hold: 8192 slots minus those given up at the end.
  EXPECT_GE(forward.records.size(), (kS - 3) / 3 - 1);
  // Record offsets point at the record bytes in the image.
  EXPECT_EQ((forward.offsets[0] - 16 - 8) % 64, 0u);
}

TEST(RamboDump, ImageOfFillOnceAndUnwrappedCircular) {
  for (std::uint32_t kind : {1u, 2u}) {
    Ring ring(kind);
    for (std::uint32_t i = 0; i < 50; ++i) writeRecord(ring.cb(), 20 + i * 10, 7, i);
    const auto dump = imageDump(ring.cb());
    for (bool forward : {true, false}) {
      ReadBack back = readDump(dump, forward);
      EXPECT_FALSE(back.wrapped);
      EXPECT_FALSE(back.truncated);
      ASSERT_EQ(back.records.size(), 50u) << kind;
      for (std::uint32_t i = 0; i < 50; ++i) EXPECT_EQ(back.records[i].number, forward ? i : 49 - i);
    }
  }
}

TEST(RamboDump, StreamEdgeCases) {
  // No slots: valid, no records.
  ReadBack empty = readDump(streamHeader(), true);
  EXPECT_EQ(empty.openRc, 0u);
  EXPECT_TRUE(empty.records.empty());
  // First record sequence 0: not wrapped, whatever follows; 8192: wrapped. File order both ways.
  for (std::uint32_t first : {0u, 8192u}) {
    auto dump = streamHeader();
    appendFramed(dump, first, 1, 0);
    appendFramed(dump, first + 1, 2, 0);
    appendFramed(dump, 5, 1, 0);  // a sequence from elsewhere in the file
    ReadBack forward = readDump(dump, true, true);
    EXPECT_EQ(forward.wrapped, first != 0);
    ASSERT_EQ(forward.offsets.size(), 3u);
    EXPECT_EQ(forward.offsets[0], 16u + 8u);
    EXPECT_EQ(forward.offsets[1], 16u + 64u + 8u);
    EXPECT_EQ(forward.offsets[2], 16u + 192u + 8u);
    ReadBack backward = readDump(dump, false, true);
    EXPECT_FALSE(backward.wrapped);
    ASSERT_EQ(backward.offsets.size(), 3u);
    EXPECT_EQ(backward.offsets[0], 16u + 192u + 8u);
    EXPECT_EQ(backward.offsets[2], 16u + 8u);
  }
  // Damaged groups are skipped, not fatal: bad magic, bad trailer, a count past the end.
  auto dump = streamHeader();
  appendFramed(dump, 1, 1, 0);
  appendFramed(dump, 2, 1, 0);
  dump[16 + 64 + 4] = 0;           // magic of the second
  appendFramed(dump, 3, 1, 0);
  dump[16 + 128 + 60] ^= 1;        // trailer of the third
  appendFramed(dump, 4, 3, 0);
  dump.resize(dump.size() - 64);   // its last slot is overwritten by the next record,
  appendFramed(dump, 6, 1, 0);     // so its trailer does not match
  appendFramed(dump, 7, 3, 0);
  dump.resize(dump.size() - 128);  // a group whose slots run past the end of the file
  for (bool forward : {true, false}) {
    ReadBack back = readDump(dump, forward);
    ASSERT_EQ(back.offsets.size(), 2u);
    EXPECT_EQ(back.offsets[forward ? 0 : 1], 16u + 8u);
    EXPECT_EQ(back.offsets[forward ? 1 : 0], 16u + 5 * 64u + 8u);
  }
}

TEST(RamboDump, DamagedDumpsRefusedWithTheirCodes) {
  Ring ring(1);
  writeRecord(ring.cb(), 40, 0, 0);
  const auto good = imageDump(ring.cb());
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint32_t rc;
  };
  std::vector<Case> cases;
  cases.push_back({"good image", good, 0});
  cases.push_back({"15 header bytes", std::vector<std::uint8_t>(good.begin(), good.begin() + 15),
                   ECF_RAMBO_DUMP_HEADER_TRUNCATED});
  auto eye = good;
  eye[1] = 'h';
  cases.push_back({"header eye-catcher", eye, ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER});
  auto type = good;
  type[12] = 3;
  cases.push_back({"dump type 3", type, ECF_RAMBO_INVALID_DUMP_TYPE});
  for (std::uint32_t size : {0x40000u, 0x80001u, 0x80000000u}) {
    auto bad = good;
    std::memcpy(bad.data() + 8, &size, 4);
    cases.push_back({"buffer size", bad, ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE});
  }
  cases.push_back({"image cut in the tail", std::vector<std::uint8_t>(good.begin(), good.end() - 1),
                   ECF_RAMBO_INSTANT_DUMP_TRUNCATED});
  cases.push_back({"image without tail", std::vector<std::uint8_t>(good.begin(), good.end() - 32),
                   ECF_RAMBO_INSTANT_DUMP_TRUNCATED});
  auto tailEye = good;
  tailEye[good.size() - 32 + 2] = 'X';
  cases.push_back({"tail eye-catcher", tailEye, ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER});
  auto index = good;
  std::memcpy(index.data() + good.size() - 32 + 12, &kS, 4);
  cases.push_back({"tail index S", index, ECF_RAMBO_INVALID_DUMP_SLOT_INDEX});
  auto stream63 = streamHeader();
  stream63.resize(stream63.size() + 63);
  cases.push_back({"stream of 63 bytes", stream63, ECF_RAMBO_DUMP_TRUNCATED});
  auto stream64 = streamHeader();
  stream64.resize(stream64.size() + 64);
  cases.push_back({"stream of one slot", stream64, 0});
  cases.push_back({"empty stream", streamHeader(), 0});

  for (const Case& c : cases) {
    RamboDumpFile file;
    file.openMemory(c.bytes.data(), c.bytes.size());
    file.seek(0);
    EXPECT_EQ(ramboValidateDumpFile(&file), c.rc) << c.name;
    EXPECT_EQ(file.position(), 0u) << c.name;  // restored
    RamboDumpParser parser;
    EXPECT_EQ(ramboOpenDumpFileParser(&file, &parser, true), c.rc) << c.name;
    if (c.rc == 0) ramboCloseDumpFileParser(&parser);
  }
}

TEST(RamboDump, ReadErrorEndsTheWalkForGood) {
  // More slots than one read window (1 MiB) holds, so that the reader must go back to the file.
  constexpr std::uint32_t kSlots = 20000;
  auto dump = streamHeader();
  for (std::uint32_t k = 0; k < kSlots; ++k) appendFramed(dump, k, 1, 0);
  char path[] = "/tmp/rambo-cut-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, dump.data(), dump.size()), static_cast<ssize_t>(dump.size()));
  RamboDumpFile file;
  ASSERT_EQ(file.open(path), 0u);
  RamboDumpParser parser;
  ASSERT_EQ(ramboOpenDumpFileParser(&file, &parser, true), 0u);
  std::uint64_t offset = 0;
  EXPECT_EQ(ramboParseDumpFile(&file, &parser, &offset, nullptr, 0), 52u);
  // The file loses its slots under the reader: what the window holds is still returned, then
  // the walk ends at the first read that fails.
  ASSERT_EQ(::ftruncate(fd, 16), 0);
  std::uint32_t more = 0;
  while (ramboParseDumpFile(&file, &parser, &offset, nullptr, 0) != 0) ++more;
  EXPECT_EQ(more + 1, 0x100000u / 64);
  // Even with the bytes back, the walk that met the error stays ended.
  ASSERT_EQ(::pwrite(fd, dump.data(), dump.size(), 0), static_cast<ssize_t>(dump.size()));
  EXPECT_EQ(ramboParseDumpFile(&file, &parser, &offset, nullptr, 0), 0u);
  ramboCloseDumpFileParser(&parser);
  // A parser opened now sees the whole file again.
  file.seek(0);
  ASSERT_EQ(ramboOpenDumpFileParser(&file, &parser, false), 0u);
  std::uint32_t all = 0;
  while (ramboParseDumpFile(&file, &parser, &offset, nullptr, 0) != 0) ++all;
  EXPECT_EQ(all, kSlots);
  ramboCloseDumpFileParser(&parser);
  ::close(fd);
  ::unlink(path);
}

// A temporary directory that everybody may enter, removed with what it holds.
class OpenDir {
 public:
  OpenDir() {
    char templ[] = "/tmp/rambo-open-XXXXXX";
    path_ = ::mkdtemp(templ) != nullptr ? templ : "";
    if (!path_.empty()) ::chmod(path_.c_str(), 0755);
  }
  ~OpenDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  OpenDir(const OpenDir&) = delete;
  OpenDir& operator=(const OpenDir&) = delete;
  const std::string& path() const { return path_; }
  std::string write(const char* name, const std::string& bytes, mode_t mode) const {
    const std::string file = path_ + "/" + name;
    const int fd = ::open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) return {};
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    ::chmod(file.c_str(), mode);
    return ok ? file : std::string();
  }

 private:
  std::string path_;
};

// Opens path in a child that has given up root for uid and gid 65534; the child's open result,
// or ECF_FAILED when the child could not report one.
std::uint32_t OpenAsNobody(const std::string& path) {
  int fds[2];
  if (::pipe(fds) != 0) return ECF_FAILED;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    std::uint32_t rc = ECF_FAILED;
    if (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0) {
      RamboDumpFile file;
      rc = file.open(path.c_str());
    }
    const bool sent = ::write(fds[1], &rc, sizeof rc) == static_cast<ssize_t>(sizeof rc);
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  std::uint32_t rc = ECF_FAILED;
  if (child < 0 || ::read(fds[0], &rc, sizeof rc) != static_cast<ssize_t>(sizeof rc)) rc = ECF_FAILED;
  ::close(fds[0]);
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  return rc;
}

// The records the library logs while an object of this class lives.
struct LoggedRecord {
  std::uint32_t functionId, calledFunctionId, ecfCode, probe, level;
};
std::vector<LoggedRecord>* g_logged = nullptr;
std::uint32_t CollectRecord(OSSLogFac*, std::uint32_t functionId, std::uint32_t calledFunctionId, std::uint32_t,
                            std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level, std::uint32_t,
                            std::int32_t, const OSSLogItem* const*) {
  if (g_logged != nullptr) g_logged->push_back({functionId, calledFunctionId, ecfCode, probe, level});
  return 0;
}
class LogCapture {
 public:
  LogCapture() {
    g_logged = &records;
    ossSetOSSeLogCallback(&CollectRecord);
  }
  ~LogCapture() {
    ossSetOSSeLogCallback(nullptr);
    g_logged = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<LoggedRecord> records;
};

TEST(RamboDump, FileThatCannotBeOpenedGivesTheFileLayersCode) {
  OpenDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string secret = dir.write("secret", "0123456789", 0600);
  const std::string open = dir.write("open", "0123456789", 0644);
  ASSERT_FALSE(secret.empty());
  ASSERT_FALSE(open.empty());
  const struct {
    const char* name;
    std::string path;
    std::uint32_t rc;
  } cases[] = {
      {"missing file", dir.path() + "/none", ECF_FILE_DOESNT_EXIST},
      {"missing directory", dir.path() + "/none/dump", ECF_FILE_DOESNT_EXIST},
      {"a directory", dir.path(), ECF_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    LogCapture log;
    RamboDumpFile file;
    EXPECT_EQ(file.open(c.path.c_str()), c.rc) << c.name;
    // The file layer wrote the failure's record; the reader adds none of its own.
    ASSERT_EQ(log.records.size(), 1u) << c.name;
    EXPECT_EQ(log.records[0].functionId, ECF_FN_OSSHFile_open) << c.name;
    EXPECT_EQ(log.records[0].ecfCode, c.rc) << c.name;
    // A failed open leaves the object closed: it reads nothing and can open something else.
    std::uint32_t got = 1;
    char byte = 0;
    EXPECT_EQ(file.read(&byte, 1, &got), 0u) << c.name;
    EXPECT_EQ(got, 0u) << c.name;
    EXPECT_EQ(file.open(open.c_str()), 0u) << c.name;
  }
  // Without root the file that only its owner may read is refused; the readable one is not.
  EXPECT_EQ(OpenAsNobody(secret), ECF_ACCESS_DENIED);
  EXPECT_EQ(OpenAsNobody(open), 0u);
  // An object already open refuses a second open and keeps its file.
  RamboDumpFile file;
  ASSERT_EQ(file.open(open.c_str()), 0u);
  EXPECT_EQ(file.open(secret.c_str()), ECF_INVALID_PARAMETER);
  EXPECT_EQ(file.size(), 10u);
}

TEST(RamboDump, FileReaderReadsAtItsPositionAndNeverPastTheEnd) {
  OpenDir dir;
  const std::string path = dir.write("dump", "0123456789", 0644);
  ASSERT_FALSE(path.empty());
  LogCapture log;
  RamboDumpFile file;
  ASSERT_EQ(file.open(path.c_str()), 0u);
  EXPECT_EQ(file.size(), 10u);
  char buffer[8] = {};
  std::uint32_t got = 0;
  const struct {
    std::uint64_t seek;
    std::uint32_t size, got;
    const char* bytes;
    std::uint64_t after;
  } steps[] = {
      {7, 8, 3, "789", 10},      // cut at the end
      {10, 8, 0, "", 10},        // at the end
      {1000, 8, 0, "", 1000},    // beyond the end: nothing, no failure
      {2, 4, 4, "2345", 6},      // back again
      {~0u, 0, 0, "", 6},        // ~0: no seek; nothing asked, nothing read
      {~0u, 2, 2, "67", 8},      // on from where the last read ended
  };
  for (const auto& step : steps) {
    if (step.seek != ~0u) file.seek(step.seek);
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(file.read(buffer, step.size, &got), 0u) << step.seek;
    EXPECT_EQ(got, step.got) << step.seek;
    EXPECT_EQ(std::string(buffer, got), step.bytes) << step.seek;
    EXPECT_EQ(file.position(), step.after) << step.seek;
  }
  // Reading past the end is the end of the file, not a failure: nothing was logged.
  EXPECT_TRUE(log.records.empty());
  // Closed, it reads nothing.
  file.close();
  file.seek(0);
  EXPECT_EQ(file.read(buffer, 4, &got), 0u);
  EXPECT_EQ(got, 0u);
}

// Each refusal of a dump writes one record with the probe of its error trace point, before the
// code is returned.
TEST(RamboDump, RefusedDumpsAreLoggedWithTheirProbes) {
  auto bad = streamHeader();
  bad.resize(bad.size() + 63);  // a stream dump cut inside its first slot
  const std::vector<std::uint8_t> leading(100, 0);
  std::vector<std::uint8_t> atOffset = leading;
  atOffset.insert(atOffset.end(), bad.begin(), bad.end());
  for (const std::vector<std::uint8_t>* dump : {&bad, &atOffset}) {
    const std::uint64_t start = dump == &bad ? 0 : leading.size();
    RamboDumpFile file;
    file.openMemory(dump->data(), dump->size());
    file.seek(start);
    LogCapture log;
    EXPECT_EQ(ramboValidateDumpFile(&file), ECF_RAMBO_DUMP_TRUNCATED);
    file.seek(start);
    RamboDumpParser parser;
    EXPECT_EQ(ramboOpenDumpFileParser(&file, &parser, true), ECF_RAMBO_DUMP_TRUNCATED);
    EXPECT_EQ(ramboOpenDumpFileParser(nullptr, &parser, true), ECF_INVALID_PARAMETER);
    EXPECT_EQ(ramboOpenDumpFileParser(&file, nullptr, false), ECF_INVALID_PARAMETER);
    EXPECT_EQ(ramboValidateDumpFile(nullptr), ECF_INVALID_PARAMETER);
    const LoggedRecord expected[] = {
        {ECF_FN_ramboValidateDumpFile, 0, ECF_RAMBO_DUMP_TRUNCATED, 10, 3},
        {ECF_FN_ramboOpenDumpFileParser, 0, ECF_RAMBO_DUMP_TRUNCATED, 20, 3},
        {ECF_FN_ramboOpenDumpFileParser, 0, ECF_INVALID_PARAMETER, 10, 3},
        {ECF_FN_ramboOpenDumpFileParser, 0, ECF_INVALID_PARAMETER, 10, 3},
        {ECF_FN_ramboValidateDumpFile, 0, ECF_INVALID_PARAMETER, 10, 3},
    };
    ASSERT_EQ(log.records.size(), std::size(expected));
    for (std::size_t k = 0; k < std::size(expected); ++k) {
      EXPECT_EQ(log.records[k].functionId, expected[k].functionId) << k;
      EXPECT_EQ(log.records[k].calledFunctionId, expected[k].calledFunctionId) << k;
      EXPECT_EQ(log.records[k].ecfCode, expected[k].ecfCode) << k;
      EXPECT_EQ(log.records[k].probe, expected[k].probe) << k;
      EXPECT_EQ(log.records[k].level, expected[k].level) << k;
    }
  }
  // A dump that is read without a fault logs nothing.
  auto good = streamHeader();
  appendFramed(good, 0, 1, 7);
  LogCapture log;
  const ReadBack back = readDump(good, true);
  EXPECT_EQ(back.openRc, 0u);
  EXPECT_EQ(back.records.size(), 1u);
  EXPECT_TRUE(log.records.empty());
}

// The log's file destination receives the record of a refused dump: the whole path a host sees.
TEST(RamboDump, RefusedDumpIsWrittenToTheLogFile) {
  OpenDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string logPath = dir.path() + "/tarn.log";
  OSSLogFacOpenParam param = {};
  param.version = OSS_VERSION_STAMP;
  std::snprintf(param.path, sizeof param.path, "%s", logPath.c_str());
  std::snprintf(param.name, sizeof param.name, "%s", "ringtest");
  param.level = 4;
  param.destination = OSS_LOG_DEST_FILE;
  param.permissions = 0644;
  ossSetOSSeLogCallback(nullptr);
  ASSERT_EQ(ossLogFacOpen(&param, nullptr), 0u);
  auto bad = streamHeader();
  bad[2] = 'X';  // the buffer header's eye-catcher
  RamboDumpFile file;
  file.openMemory(bad.data(), bad.size());
  const std::uint32_t rc = ramboValidateDumpFile(&file);
  ossLogFacClose(nullptr);
  EXPECT_EQ(rc, ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER);
  std::ifstream in(logPath, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("ramboValidateDumpFile"), std::string::npos) << text;
  EXPECT_NE(text.find("probe:10"), std::string::npos) << text;
  EXPECT_NE(text.find("ECF=0x9000008B"), std::string::npos) << text;
}

}  // namespace
