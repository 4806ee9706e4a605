#include "tools/tarngenreg/tarngenreg_cli.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "genreg/globalreg.h"
#include "osse/diag/ecf.h"

namespace {

const char* codeName(u32 code) {
  const char* name = ecfErrorGetCodeName(code);
  return name ? name : "unknown code";
}

int usage(std::FILE* err) {
  std::fprintf(err,
               "usage: tarngenreg dump FILE\n"
               "       tarngenreg check [--big-endian] FILE\n");
  return 2;
}

int dump(const char* path, std::FILE* out, std::FILE* err) {
  GlobalReg reg;
  u32 rc = reg.SetPaths(path);
  if (rc != 0) {
    std::fprintf(err, "tarngenreg: %s: %s (0x%08X)\n", path, codeName(rc), rc);
    return 1;
  }
  std::ifstream probe(path);
  if (!probe) {
    std::fprintf(err, "tarngenreg: %s: no such file\n", path);
    return 1;
  }
  GlobalRegRecord pattern, record;
  std::memset(&pattern, 0, sizeof pattern);
  rc = reg.OpenScan();
  int n = 0;
  while (rc == 0 && (rc = reg.GetNext(0, &pattern, &record)) == 0) {
    std::fprintf(out, "Record %d:\n", ++n);
    std::fflush(out);
    reg.PrintRecord(&record);  // the record type prints to standard output
    std::fflush(stdout);
  }
  reg.CloseScan();
  if (rc != ECF_GENREG_EOF) {
    std::fprintf(err, "tarngenreg: %s: stopped after %d records: %s (0x%08X)\n", path, n, codeName(rc), rc);
    return 1;
  }
  std::fprintf(out, "%d records\n", n);
  return 0;
}

// A checksum header: a signed decimal number, then NUL bytes up to 32.
bool looksLikeHeader(const std::vector<unsigned char>& b) {
  if (b.size() < GENREG_CHECKSUM_HEADER_SIZE) return false;
  std::size_t i = 0;
  if (b[0] == '-') i = 1;
  std::size_t digits = 0;
  while (i < GENREG_CHECKSUM_HEADER_SIZE && b[i] >= '0' && b[i] <= '9') ++i, ++digits;
  if (digits == 0 || digits > 11) return false;
  for (; i < GENREG_CHECKSUM_HEADER_SIZE; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

int check(const char* path, bool bigEndian, std::FILE* out, std::FILE* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(err, "tarngenreg: %s: no such file\n", path);
    return 1;
  }
  std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t pos = 0;
  if (looksLikeHeader(b)) {
    char expected[GENREG_CHECKSUM_HEADER_SIZE] = {};
    std::snprintf(expected, sizeof expected, "%d",
                  GenRegFile::Checksum(b.data() + GENREG_CHECKSUM_HEADER_SIZE, b.size() - GENREG_CHECKSUM_HEADER_SIZE));
    if (std::memcmp(expected, b.data(), GENREG_CHECKSUM_HEADER_SIZE) != 0) {
      std::fprintf(err, "%s: checksum header %s does not match the data (%s)\n", path,
                   reinterpret_cast<const char*>(b.data()), expected);
      return 1;
    }
    std::fprintf(out, "%s: checksum header %s matches\n", path, expected);
    pos = GENREG_CHECKSUM_HEADER_SIZE;
  }
  int n = 0;
  std::vector<unsigned char> buf;
  while (pos < b.size()) {
    if (b.size() - pos < 4) {
      std::fprintf(err, "%s: damaged record %d at offset %zu: the length is cut off\n", path, n + 1, pos);
      return 1;
    }
    const unsigned char* p = b.data() + pos;
    u32 len = bigEndian ? (u32{p[0]} << 24 | u32{p[1]} << 16 | u32{p[2]} << 8 | p[3])
                        : (u32{p[3]} << 24 | u32{p[2]} << 16 | u32{p[1]} << 8 | p[0]);
    if (len > b.size() - pos - 4) {
      std::fprintf(err, "%s: damaged record %d at offset %zu: length %u reaches past the end of the file\n", path,
                   n + 1, pos, len);
      return 1;
    }
    if (len < GENREG_MIN_RECORD_SIZE || len > GENREG_MAX_RECORD_SIZE) {
      std::fprintf(err, "%s: damaged record %d at offset %zu: length %u out of bounds\n", path, n + 1, pos, len);
      return 1;
    }
    buf.assign(std::max<std::size_t>(len, sizeof(GlobalRegRecord)), 0);
    std::memcpy(buf.data(), p + 4, len);
    void* rec = buf.data();
    u32 rc = GlobalReg::UnpackRecordFn(&rec, len);
    if (rc != 0) {
      std::fprintf(err, "%s: damaged record %d at offset %zu: %s (0x%08X)\n", path, n + 1, pos, codeName(rc), rc);
      return 1;
    }
    pos += 4 + len;
    ++n;
  }
  std::fprintf(out, "%s: %d records, no damage\n", path, n);
  return 0;
}

}  // namespace

int tarngenregMain(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc < 3) return usage(err);
  std::string command = argv[1];
  if (command == "dump" && argc == 3) return dump(argv[2], out, err);
  if (command == "check") {
    bool big = false;
    int i = 2;
    if (std::strcmp(argv[i], "--big-endian") == 0) big = true, ++i;
    if (i == argc - 1) return check(argv[i], big, out, err);
  }
  return usage(err);
}
