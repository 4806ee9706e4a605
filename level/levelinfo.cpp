// sqleGetLevelInfo: the product level of this build.
#include "level/levelinfo.h"

#include <cstdio>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/tracepoints.h"

namespace {
// The level of this build. The version text follows the product's version-code form
// ("Version.Release.Modification.ServiceLevel"); its Modification is the fix pack.
constexpr std::uint32_t kRecordKind = 32;
constexpr std::uint32_t kLevelToken = 0x08010107;
constexpr int kVersion = 9;
constexpr int kRelease = 7;
constexpr int kServiceLevel = 441;
constexpr std::uint32_t kFixpack = 0;
constexpr char kBuildLevel[] = "s090521";
constexpr char kPlatformLevel[] = "NT3297";
constexpr std::uint32_t kBuildDate = 20090522;
}  // namespace

extern "C" __attribute__((visibility("default"))) std::uint32_t sqleGetLevelInfo(
    std::uint32_t /*requestedVersion*/, sqleLevelInfo_t* out) {
  std::uint32_t rc = 0;
  GTRACE_ENTRY(ECF_FN_sqleGetLevelInfo);
  // Writing through a null record would crash the caller's process; refuse it instead.
  if (out == nullptr) {
    rc = ECF_INVALID_PARAMETER;
    GTRACE_EXIT(ECF_FN_sqleGetLevelInfo, &rc);
    return rc;
  }
  std::memset(out, 0, sizeof *out);
  out->recordKind = kRecordKind;
  // snprintf bounds every text by its field and always terminates it within the field.
  std::snprintf(out->levelToken, sizeof out->levelToken, "%08X", static_cast<unsigned>(kLevelToken));
  std::snprintf(out->levelText, sizeof out->levelText, "TARN v%d.%d.%d.%d", kVersion, kRelease,
                static_cast<int>(kFixpack), kServiceLevel);
  std::snprintf(out->buildLevel, sizeof out->buildLevel, "%s", kBuildLevel);
  std::snprintf(out->platformLevel, sizeof out->platformLevel, "%s", kPlatformLevel);
  out->fixpackNumber = kFixpack;
  std::snprintf(out->fixpackText, sizeof out->fixpackText, "%d", static_cast<int>(kFixpack));
  out->buildDate = kBuildDate;
  GTRACE_EXIT(ECF_FN_sqleGetLevelInfo, &rc);
  return rc;
}
