// The level information library (libtarninstall.so): which product level a caller runs against.
//
// sqleGetLevelInfo fills a 128-byte level record. The record crosses library boundaries, so its
// layout is fixed byte for byte (checked below): every text field is NUL-terminated within its
// width, and the record is the same whatever layout version the caller asks for.
//
//   offset size field          value in this build
//        0    4 recordKind     32
//        4   12 levelToken     "08010107"          (the level token 0x08010107 as "%08X")
//       16   32 levelText      "TARN v9.7.0.441"   (version text: Version 9, Release 7,
//                                                   Modification 0 = the fix pack, Service Level 441)
//       48   32 buildLevel     "s090521"
//       80   32 platformLevel  "NT3297"
//      112    4 fixpackNumber  0
//      116    4 fixpackText    "0"
//      120    4 buildDate      20090522
//      124    4 reserved       0
//
// Loading the library also prepares the process environment for the installation it belongs to
// (PATH and CLASSPATH); see level/environment.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

struct sqleLevelInfo_t {
  std::uint32_t recordKind;
  char levelToken[12];
  char levelText[32];
  char buildLevel[32];
  char platformLevel[32];
  std::uint32_t fixpackNumber;
  char fixpackText[4];
  std::uint32_t buildDate;
  std::uint32_t reserved;
};

static_assert(sizeof(sqleLevelInfo_t) == 128);
static_assert(offsetof(sqleLevelInfo_t, recordKind) == 0);
static_assert(offsetof(sqleLevelInfo_t, levelToken) == 4);
static_assert(offsetof(sqleLevelInfo_t, levelText) == 16);
static_assert(offsetof(sqleLevelInfo_t, buildLevel) == 48);
static_assert(offsetof(sqleLevelInfo_t, platformLevel) == 80);
static_assert(offsetof(sqleLevelInfo_t, fixpackNumber) == 112);
static_assert(offsetof(sqleLevelInfo_t, fixpackText) == 116);
static_assert(offsetof(sqleLevelInfo_t, buildDate) == 120);
static_assert(offsetof(sqleLevelInfo_t, reserved) == 124);

// Clears `*out`, fills it with this build's level and returns 0. `requestedVersion` names the
// record layout the caller expects; there is one layout, so every value gets the same record.
// A null `out` is refused with ECF_INVALID_PARAMETER (0x9000000C) instead of being written.
extern "C" std::uint32_t sqleGetLevelInfo(std::uint32_t requestedVersion, sqleLevelInfo_t* out);
