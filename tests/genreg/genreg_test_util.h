// Helpers of the registry library's tests: a temporary directory per test, raw file access to
// look at what the engine wrote, and a small unpacked record type for the engine's own tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "genreg/genregbin.h"
#include "osse/diag/ecf.h"
#include "test_root.h"

namespace genregtest {

namespace fs = std::filesystem;

inline std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// A fresh directory for the test's registry files; the platform root follows it too.
class TempDirTest : public ::testing::Test {
 protected:
  tarn::test::TempPlatformRoot root_;
  std::string dir() const { return root_.path(); }
  std::string file(const std::string& name) const { return root_.path() + "/" + name; }
};

// The engine's test record: a key and a value, both strings. Mask bit 1 compares the key, bit 2
// the value.
struct TRec {
  char key[16];
  char val[16];
};

inline TRec rec(const char* key, const char* val) {
  TRec r;
  std::memset(&r, 0, sizeof r);
  std::strncpy(r.key, key, sizeof r.key - 1);
  std::strncpy(r.val, val, sizeof r.val - 1);
  return r;
}

inline u32 tMatch(u64 mask, const void* s, const void* p) {
  auto* a = static_cast<const TRec*>(s);
  auto* b = static_cast<const TRec*>(p);
  if ((mask & 1) && std::strncmp(a->key, b->key, 16) != 0) return 0;
  if ((mask & 2) && std::strncmp(a->val, b->val, 16) != 0) return 0;
  return 1;
}
inline u32 tValidate(u64 mask, void* r) {
  if (mask == 0) return 0;
  return static_cast<TRec*>(r)->key[0] == '\0' ? ECF_GENREG_BAD_ARGUMENT : 0;
}
inline u32 tMax(u32* size) {
  *size = sizeof(TRec);
  return 0;
}
inline u32 tSize(const void*, u32* size) {
  *size = sizeof(TRec);
  return 0;
}
inline int g_logCalls = 0;
inline u32 tLog(GenRegBase*, u32, const void*, const void*) {
  ++g_logCalls;
  return 0;
}
inline int g_notifyCalls = 0;
inline u32 g_notifyResult = 0;
inline u32 tNotify() {
  ++g_notifyCalls;
  return g_notifyResult;
}

class TestReg : public GenRegBin {
 public:
  explicit TestReg(const std::string& path, u32 feats = 0) {
    MatchRecord = tMatch;
    ValidateRecord = tValidate;
    GetMaxRecordSize = tMax;
    GetRecordSize = tSize;
    Log = tLog;
    Notify = tNotify;
    if (!path.empty()) SetPaths(path.c_str());
    features = feats;
  }
};

// The bytes of a registry file holding the given records, little-endian prefixes.
inline std::vector<unsigned char> fileOf(const std::vector<TRec>& records) {
  std::vector<unsigned char> out;
  for (const TRec& r : records) {
    unsigned char n[4] = {sizeof(TRec), 0, 0, 0};
    out.insert(out.end(), n, n + 4);
    auto* p = reinterpret_cast<const unsigned char*>(&r);
    out.insert(out.end(), p, p + sizeof r);
  }
  return out;
}

// Every record of the registry in file order, through a scan.
inline std::vector<std::string> keysOf(GenRegBin& reg, u32* rcOut = nullptr) {
  std::vector<std::string> keys;
  TRec pattern = rec("", ""), out;
  u32 rc = reg.OpenScan();
  while (rc == 0 && (rc = reg.GetNext(0, &pattern, &out)) == 0) keys.push_back(std::string(out.key) + "=" + out.val);
  reg.CloseScan();
  if (rcOut) *rcOut = rc;
  return keys;
}

}  // namespace genregtest
