// The level record of sqleGetLevelInfo, byte for byte, and the library's marker.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "level/levelinfo.h"
#include "osse/diag/trace.h"
#include "trace_support.h"

namespace {

using Record = std::array<unsigned char, 128>;

void PutText(Record& r, std::size_t offset, const char* text) {
  std::memcpy(r.data() + offset, text, std::strlen(text));
}
void PutU32(Record& r, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) r[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

// The record as callers read it, written out independently of the structure's declaration.
Record ExpectedRecord() {
  Record r{};
  PutU32(r, 0, 32);
  PutText(r, 4, "08010107");
  PutText(r, 16, "TARN v9.7.0.441");
  PutText(r, 48, "s090521");
  PutText(r, 80, "NT3297");
  PutU32(r, 112, 0);
  PutText(r, 116, "0");
  PutU32(r, 120, 20090522);
  EXPECT_EQ(r[120], 0x9A);  // 0x01328E9A, little-endian
  EXPECT_EQ(r[123], 0x01);
  PutU32(r, 124, 0);
  return r;
}

struct Field {
  const char* name;
  std::size_t offset, size;
};
constexpr Field kFields[] = {
    {"recordKind", 0, 4},      {"levelToken", 4, 12},     {"levelText", 16, 32},
    {"buildLevel", 48, 32},    {"platformLevel", 80, 32}, {"fixpackNumber", 112, 4},
    {"fixpackText", 116, 4},   {"buildDate", 120, 4},     {"reserved", 124, 4},
};

// Every requested layout version gets the same record, and every byte of it is written: the
// buffer starts out filled with a pattern that no field holds.
TEST(LevelInfo, RecordBytesForAnyRequestedVersion) {
  const Record expected = ExpectedRecord();
  for (std::uint32_t version : {0u, 1u, 32u, 0x08010107u, 0xFFFFFFFFu}) {
    Record actual;
    actual.fill(0xCC);
    ASSERT_EQ(sqleGetLevelInfo(version, reinterpret_cast<sqleLevelInfo_t*>(actual.data())), 0u);
    for (const Field& f : kFields) {
      EXPECT_EQ(0, std::memcmp(actual.data() + f.offset, expected.data() + f.offset, f.size))
          << f.name << " at offset " << f.offset << ", requested version " << version;
    }
  }
}

// The structure callers compile against reads the same values.
TEST(LevelInfo, StructureFields) {
  sqleLevelInfo_t info;
  std::memset(&info, 0xCC, sizeof info);
  ASSERT_EQ(sqleGetLevelInfo(7, &info), 0u);
  EXPECT_EQ(info.recordKind, 32u);
  EXPECT_STREQ(info.levelToken, "08010107");
  EXPECT_STREQ(info.levelText, "TARN v9.7.0.441");
  EXPECT_STREQ(info.buildLevel, "s090521");
  EXPECT_STREQ(info.platformLevel, "NT3297");
  EXPECT_EQ(info.fixpackNumber, 0u);
  EXPECT_STREQ(info.fixpackText, "0");
  EXPECT_EQ(info.buildDate, 0x01328E9Au);
  EXPECT_EQ(info.reserved, 0u);
}

// A null record would have been written through; it is refused with ECF_INVALID_PARAMETER.
TEST(LevelInfo, NullRecordRefused) { EXPECT_EQ(sqleGetLevelInfo(0, nullptr), 0x9000000Cu); }

// Each product library exports its own marker; this library's has the value 0.
TEST(LevelInfo, MarkerIsZero) {
  void* handle = ::dlopen(TARN_LEVEL_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  void* marker = ::dlsym(handle, "sqlzThisIsATarnLibrary");
  ASSERT_NE(marker, nullptr);
  Dl_info info{};
  ASSERT_NE(::dladdr(marker, &info), 0);
  EXPECT_TRUE(std::filesystem::equivalent(info.dli_fname, TARN_LEVEL_LIBRARY)) << info.dli_fname;
  EXPECT_EQ(*static_cast<const std::int32_t*>(marker), 0);
  ::dlclose(handle);
}

// With a trace block attached, each call records its entry and its exit with the return code,
// under the level library's function id (product 3, component 15).
TEST(LevelInfo, TracesEntryAndExitWithTheReturnCode) {
  tarn::test::TraceBlock block;
  ASSERT_EQ(block.start(), 0u);
  sqleLevelInfo_t info{};
  ASSERT_EQ(sqleGetLevelInfo(1, &info), 0u);
  ASSERT_EQ(sqleGetLevelInfo(1, nullptr), 0x9000000Cu);
  const auto records = block.records();
  ASSERT_EQ(records.size(), 4u);
  const std::uint16_t types[] = {GTRACE_REC_ENTRY, GTRACE_REC_EXIT, GTRACE_REC_ENTRY, GTRACE_REC_EXIT};
  const std::uint32_t codes[] = {0, 0, 0, 0x9000000C};
  for (std::size_t k = 0; k < records.size(); ++k) {
    EXPECT_EQ(tarn::test::field<std::uint32_t>(records[k], 20), 0x187A0001u) << k;
    EXPECT_EQ(tarn::test::field<std::uint16_t>(records[k], 32), types[k]) << k;
    if (types[k] == GTRACE_REC_EXIT) {
      EXPECT_EQ(tarn::test::field<std::uint32_t>(records[k], 48), codes[k]) << k;
    }
  }
}

}  // namespace
