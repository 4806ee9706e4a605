// tarngenreg dump and check over registries written by the library.
#include "genreg/globalreg.h"
#include "genreg_test_util.h"
#include "tools/tarngenreg/tarngenreg_cli.h"

using namespace genregtest;

namespace {

class TarnGenRegToolTest : public TempDirTest {
 protected:
  void SetUp() override {
    ::setenv("TARN_GLOBAL_REG_PATHNAME", file("global.reg").c_str(), 1);
    GlobalReg reg;
    for (const char* name : {"PATH", "HOME"}) {
      GlobalRegRecord r;
      std::memset(&r, 0, sizeof r);
      r.RecordType = GLOBALREG_RECORD_VARIABLE;
      r.FieldMask = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE | GLOBALREG_V_VALUE;
      std::strcpy(r.u.variable.Service, "TARN01");
      std::strcpy(r.u.variable.Variable, name);
      std::strcpy(r.u.variable.Value, "/x");
      ASSERT_EQ(reg.Add(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &r), 0u);
    }
  }
  void TearDown() override { ::unsetenv("TARN_GLOBAL_REG_PATHNAME"); }

  int run(std::vector<std::string> args, std::string* out, std::string* err) {
    args.insert(args.begin(), "tarngenreg");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::FILE* e = std::tmpfile();
    testing::internal::CaptureStdout();
    int rc = tarngenregMain(static_cast<int>(argv.size()), argv.data(), stdout, e);
    std::fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    std::rewind(e);
    err->clear();
    for (int c; (c = std::fgetc(e)) != EOF;) err->push_back(static_cast<char>(c));
    std::fclose(e);
    return rc;
  }
};

TEST_F(TarnGenRegToolTest, DumpListsEveryRecord) {
  std::string out, err;
  ASSERT_EQ(run({"dump", file("global.reg")}, &out, &err), 0) << err;
  EXPECT_NE(out.find("Record 1:\n   RecordType   = 4\n"), std::string::npos) << out;
  EXPECT_NE(out.find("      Variable = |PATH|\n"), std::string::npos);
  EXPECT_NE(out.find("      Variable = |HOME|\n"), std::string::npos);
  EXPECT_NE(out.find("2 records\n"), std::string::npos);
  EXPECT_EQ(run({"dump", file("missing.reg")}, &out, &err), 1);
  EXPECT_FALSE(exists(file("missing.reg"))) << "dump creates nothing";
  EXPECT_EQ(run({"frob", file("global.reg")}, &out, &err), 2);
}

TEST_F(TarnGenRegToolTest, CheckNamesTheFirstDamagedRecord) {
  std::string out, err;
  ASSERT_EQ(run({"check", file("global.reg")}, &out, &err), 0) << err;
  EXPECT_NE(out.find("2 records, no damage"), std::string::npos);

  std::vector<unsigned char> good = readFile(file("global.reg"));
  u32 first = good[0] | good[1] << 8;
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    const char* message;
  } cases[] = {
      {"second length past the end", [&] { auto b = good; b[4 + first] = 0xff; return b; }(),
       "damaged record 2 at offset "},
      {"cut short", std::vector<unsigned char>(good.begin(), good.end() - 3), "damaged record 2 at offset "},
      {"first record's type", [&] { auto b = good; b[4] = 9; return b; }(), "damaged record 1 at offset 0"},
  };
  for (const Case& c : cases) {
    writeFile(file("bad.reg"), c.bytes);
    EXPECT_EQ(run({"check", file("bad.reg")}, &out, &err), 1) << c.what;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
  }
  std::string offset = "at offset " + std::to_string(4 + first);
  writeFile(file("bad.reg"), cases[0].bytes);
  run({"check", file("bad.reg")}, &out, &err);
  EXPECT_NE(err.find(offset), std::string::npos) << err;
}

TEST_F(TarnGenRegToolTest, CheckReadsTheChecksumHeader) {
  std::vector<unsigned char> data = readFile(file("global.reg"));
  char header[32] = {};
  std::snprintf(header, sizeof header, "%d", GenRegFile::Checksum(data.data(), data.size()));
  std::vector<unsigned char> withHeader(header, header + 32);
  withHeader.insert(withHeader.end(), data.begin(), data.end());
  writeFile(file("sum.reg"), withHeader);
  std::string out, err;
  EXPECT_EQ(run({"check", file("sum.reg")}, &out, &err), 0) << err;
  EXPECT_NE(out.find("matches"), std::string::npos);
  withHeader.back() ^= 1;
  writeFile(file("sum.reg"), withHeader);
  EXPECT_EQ(run({"check", file("sum.reg")}, &out, &err), 1);
  EXPECT_NE(err.find("does not match"), std::string::npos);
}

}  // namespace
