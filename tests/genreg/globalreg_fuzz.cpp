// Fuzz target: a registry file of arbitrary bytes read, scanned, searched and updated through the
// global registry, and each stored record unpacked on its own. Every outcome must be a code: no
// crash, no read outside the file's bytes (run under the sanitizers).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "genreg/globalreg.h"
#include "osse/diag/ecf.h"

namespace {

std::string scratchFile() {
  static std::string path = [] {
    char dir[] = "/tmp/globalreg-fuzz-XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    return std::string(dir) + "/global.reg";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = scratchFile();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  GlobalReg reg;
  if (reg.SetPaths(path.c_str()) != 0) return 0;
  GlobalRegRecord pattern, out;
  std::memset(&pattern, 0, sizeof pattern);
  u32 rc = reg.OpenScan();
  int records = 0;
  while (rc == 0 && (rc = reg.GetNext(0, &pattern, &out)) == 0) ++records;
  reg.CloseScan();
  reg.Get(0, &pattern, &out);

  // An update copies every record, packing each with its stored bytes.
  if (rc == ECF_GENREG_EOF && records > 0 && size < 8192) {
    reg.unsetFeature(GENREG_FEATURE_VERIFY);
    GlobalRegRecord changed = out;
    changed.CheckSum ^= 1;
    reg.Change(0, &pattern, &changed);
  }

  // Each framed record unpacked alone, in a buffer of exactly the size the engine gives it.
  std::size_t pos = 0;
  while (size - pos >= 4) {
    std::uint32_t len = data[pos] | data[pos + 1] << 8 | data[pos + 2] << 16 | static_cast<std::uint32_t>(data[pos + 3]) << 24;
    if (len > size - pos - 4) break;
    std::vector<unsigned char> buf(std::max<std::size_t>(len, sizeof(GlobalRegRecord)));
    if (len) std::memcpy(buf.data(), data + pos + 4, len);
    void* rec = buf.data();
    GlobalReg::UnpackRecordFn(&rec, len);
    pos += 4 + len;
  }
  return 0;
}
