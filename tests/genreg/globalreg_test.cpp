// The global registry's records: validation codes, matching, the packed form and its fields of a
// later version, printing, and the registry path from the environment.
#include <cstdio>

#include "genreg/globalreg.h"
#include "genreg_test_util.h"

using namespace genregtest;

namespace {

GlobalRegRecord variable(const char* service, const char* name, const char* value) {
  GlobalRegRecord r;
  std::memset(&r, 0, sizeof r);
  r.RecordType = GLOBALREG_RECORD_VARIABLE;
  r.FieldMask = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE | GLOBALREG_V_VALUE;
  std::strcpy(r.u.variable.Service, service);
  std::strcpy(r.u.variable.Variable, name);
  std::strcpy(r.u.variable.Value, value);
  return r;
}

GlobalRegRecord instance(const char* name) {
  GlobalRegRecord r;
  std::memset(&r, 0, sizeof r);
  r.RecordType = GLOBALREG_RECORD_INSTANCE;
  r.FieldMask = GLOBALREG_I_SERVICE | GLOBALREG_I_VERSIONCODE | GLOBALREG_I_INSTANCENAME | GLOBALREG_I_STARTATBOOT;
  std::strcpy(r.u.instance.Service, "TARN01");
  r.u.instance.VersionCode = 0x0009000700000000ull;
  std::strcpy(r.u.instance.InstanceName, name);
  r.u.instance.StartAtBoot = 1;
  return r;
}

class GlobalRegTest : public TempDirTest {
 protected:
  void SetUp() override { ::setenv("TARN_GLOBAL_REG_PATHNAME", file("global.reg").c_str(), 1); }
  void TearDown() override { ::unsetenv("TARN_GLOBAL_REG_PATHNAME"); }
};

TEST(GlobalRegValidate, CodesInTableOrder) {
  struct Case {
    const char* what;
    u64 mask;
    void (*edit)(GlobalRegRecord&);
    u32 rc;
  } cases[] = {
      {"mask 0 accepts anything", 0, [](GlobalRegRecord& r) { r.RecordType = 99; }, 0},
      {"type 0", 1, [](GlobalRegRecord& r) { r.RecordType = 0; }, ECF_GENREG_GLOBALREG_INVALID_RECORD_TYPE},
      {"type 5", 1, [](GlobalRegRecord& r) { r.RecordType = 5; }, ECF_GENREG_GLOBALREG_INVALID_RECORD_TYPE},
      {"field mask 0", 1, [](GlobalRegRecord& r) { r.FieldMask = 0; }, ECF_GENREG_GLOBALREG_INVALID_FIELDMASK},
      {"type 3 has no checks", 0xffff, [](GlobalRegRecord& r) { r.RecordType = 3; }, 0},
      {"field of a later version", 1, [](GlobalRegRecord& r) { r.FieldMask |= 0x400; },
       ECF_GENREG_UNRECOGNIZED_FIELD},
      {"empty service", 1, [](GlobalRegRecord& r) { r.u.instance.Service[0] = 0; },
       ECF_GENREG_GLOBALREG_INVALID_INSTANCE_SERVICE_FIELD},
      {"unterminated name", 1, [](GlobalRegRecord& r) { std::memset(r.u.instance.InstanceName, 'x', 64); },
       ECF_GENREG_GLOBALREG_INVALID_INSTANCE_NAME_FIELD},
      {"start at boot 2", 1, [](GlobalRegRecord& r) { r.u.instance.StartAtBoot = 2; },
       ECF_GENREG_GLOBALREG_INVALID_INSTANCE_START_AT_BOOT_FIELD},
      {"start at boot 2 but absent", 1,
       [](GlobalRegRecord& r) {
         r.u.instance.StartAtBoot = 2;
         r.FieldMask &= ~GLOBALREG_I_STARTATBOOT;
       },
       0},
      {"first invalid field wins", 1,
       [](GlobalRegRecord& r) {
         r.u.instance.InstanceName[0] = 0;
         r.u.instance.StartAtBoot = 7;
       },
       ECF_GENREG_GLOBALREG_INVALID_INSTANCE_NAME_FIELD},
      {"required but absent", GLOBALREG_I_USAGE | GLOBALREG_I_INSTALLPATH, [](GlobalRegRecord&) {},
       ECF_GENREG_GLOBALREG_I_USAGE_FLD_NOT_IN_FLDMASK},
      {"required version absent", GLOBALREG_I_VERSIONCODE,
       [](GlobalRegRecord& r) { r.FieldMask &= ~GLOBALREG_I_VERSIONCODE; },
       ECF_GENREG_GLOBALREG_I_VERSION_FLD_NOT_IN_FLDMASK},
      {"service fixpack is never required", GLOBALREG_S_FIXPACKNUMBER,
       [](GlobalRegRecord& r) {
         r.RecordType = GLOBALREG_RECORD_SERVICE;
         r.FieldMask = GLOBALREG_S_NAME;
         std::strcpy(r.u.service.Name, "svc");
       },
       0},
      {"service installer uid required", GLOBALREG_S_INSTALLERUID,
       [](GlobalRegRecord& r) {
         r.RecordType = GLOBALREG_RECORD_SERVICE;
         r.FieldMask = GLOBALREG_S_NAME;
         std::strcpy(r.u.service.Name, "svc");
       },
       ECF_GENREG_GLOBALREG_S_INSTALLER_UID_FLD_NOT_IN_FLDMASK},
      {"variable install path empty", 1,
       [](GlobalRegRecord& r) {
         r = variable("s", "v", "x");
         r.FieldMask |= GLOBALREG_V_INSTALLPATH;
       },
       ECF_GENREG_GLOBALREG_INVALID_VARIABLE_INSTALLPATH_FIELD},
      {"variable install path never required", GLOBALREG_V_INSTALLPATH,
       [](GlobalRegRecord& r) { r = variable("s", "v", "x"); }, 0},
      {"variable comment required", GLOBALREG_V_COMMENT, [](GlobalRegRecord& r) { r = variable("s", "v", "x"); },
       ECF_GENREG_GLOBALREG_V_COMMENT_FLD_NOT_IN_FLDMASK},
  };
  for (const Case& c : cases) {
    GlobalRegRecord r = instance("db1");
    c.edit(r);
    EXPECT_EQ(GlobalReg::ValidateRecordFn(c.mask, &r), c.rc) << c.what;
  }
  GlobalRegRecord r = instance("db1");
  r.MissingFieldMask = 0x30;
  EXPECT_EQ(GlobalReg::ValidateRecordFn(1, &r), 0u);
  EXPECT_EQ(r.MissingFieldMask, 0u) << "validation clears the missing-field mask";
}

TEST(GlobalRegMatch, TypeSelectsThenMaskedFields) {
  GlobalRegRecord v = variable("s", "PATH", "/x"), i = instance("db1"), p;
  std::memset(&p, 0, sizeof p);
  EXPECT_EQ(GlobalReg::MatchRecordFn(0, &v, &p), 1u) << "type 0, mask 0: everything";
  p.RecordType = GLOBALREG_RECORD_SERVICE;
  EXPECT_EQ(GlobalReg::MatchRecordFn(0, &v, &p), 0u);
  p = variable("s", "PATH", "/y");
  EXPECT_EQ(GlobalReg::MatchRecordFn(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &v, &p), 1u);
  EXPECT_EQ(GlobalReg::MatchRecordFn(GLOBALREG_V_VALUE, &v, &p), 0u);
  p = variable("s", "path", "/x");
  EXPECT_EQ(GlobalReg::MatchRecordFn(GLOBALREG_V_VARIABLE, &v, &p), 0u) << "case-sensitive";
  p.RecordType = 0;
  EXPECT_EQ(GlobalReg::MatchRecordFn(0x400, &v, &p), 1u) << "bits naming no field are ignored";
  GlobalRegRecord j = i;
  j.u.instance.VersionCode ^= 1ull << 40;
  EXPECT_EQ(GlobalReg::MatchRecordFn(GLOBALREG_I_VERSIONCODE, &i, &j), 0u) << "all 64 bits";
}

std::vector<unsigned char> pack(const GlobalRegRecord& r, const std::vector<unsigned char>* stored = nullptr) {
  void* p = const_cast<GlobalRegRecord*>(&r);
  u32 rc = GlobalReg::PackRecordFn(&p, stored ? stored->data() : nullptr,
                                   stored ? static_cast<u32>(stored->size()) : 0);
  EXPECT_EQ(rc, 0u);
  if (rc != 0) return {};
  u32 n = 0;
  GlobalReg::GetPackedRecordSizeFn(p, &n);
  auto* b = static_cast<unsigned char*>(p);
  std::vector<unsigned char> out(b, b + n);
  GENREG_FREE(p);
  return out;
}

u32 unpack(const std::vector<unsigned char>& bytes, GlobalRegRecord& out) {
  std::vector<unsigned char> buf(std::max<std::size_t>(bytes.size(), sizeof(GlobalRegRecord)));
  std::memcpy(buf.data(), bytes.data(), bytes.size());
  void* p = buf.data();
  u32 rc = GlobalReg::UnpackRecordFn(&p, static_cast<u32>(bytes.size()));
  if (rc == 0) std::memcpy(&out, buf.data(), sizeof out);
  return rc;
}

TEST(GlobalRegPacking, StoredFormOfOneField) {
  GlobalRegRecord r;
  std::memset(&r, 0, sizeof r);
  r.RecordType = GLOBALREG_RECORD_VARIABLE;
  r.FieldMask = GLOBALREG_V_VARIABLE;
  std::strcpy(r.u.variable.Variable, "A");
  r.CheckSum = 0x01020304;
  std::vector<unsigned char> expected = {4, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         2, 0, 0x41, 0, 4, 3, 2, 1};
  EXPECT_EQ(pack(r), expected);
  GlobalRegRecord back;
  ASSERT_EQ(unpack(expected, back), 0u);
  EXPECT_STREQ(back.u.variable.Variable, "A");
  EXPECT_EQ(back.MissingFieldMask, GLOBALREG_KNOWN_VARIABLE_FIELDS & ~GLOBALREG_V_VARIABLE);
  EXPECT_EQ(back.CheckSum, 0x01020304u);
}

TEST(GlobalRegPacking, EveryTypeRoundTrips) {
  GlobalRegRecord s;
  std::memset(&s, 0, sizeof s);
  s.RecordType = GLOBALREG_RECORD_SERVICE;
  s.FieldMask = GLOBALREG_KNOWN_SERVICE_FIELDS;
  std::strcpy(s.u.service.Name, "svc");
  s.u.service.VersionCode = 0x1122334455667788ull;
  std::strcpy(s.u.service.InstallPath, "/opt/t");
  std::strcpy(s.u.service.GcfModule, "gcf");
  std::strcpy(s.u.service.Comment, "c");
  s.u.service.FixpackNumber = 5;
  s.u.service.InstallerUid = 1000;
  s.u.service.InterimFixLetter = 'b';
  s.u.service.Timestamp = 123456;
  s.u.service.SpecialInstallNumber = 7;
  for (const GlobalRegRecord& r : {instance("db1"), variable("s", "v", "x"), s}) {
    std::vector<unsigned char> bytes = pack(r);
    GlobalRegRecord back;
    ASSERT_EQ(unpack(bytes, back), 0u);
    EXPECT_EQ(GlobalReg::MatchRecordFn(GENREG_ALL_FIELDS, &back, &r), 1u);
    EXPECT_EQ(back.FieldMask, r.FieldMask);
  }
}

TEST(GlobalRegPacking, DamagedStoredRecordsAreRefused) {
  std::vector<unsigned char> good = pack(variable("s", "v", "x"));
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    u32 rc;
  } cases[] = {
      {"shorter than a header", std::vector<unsigned char>(good.begin(), good.begin() + 10),
       ECF_GENREG_CORRUPTED_RECORD_SIZE},
      {"type 3", [&] { auto b = good; b[0] = 3; return b; }(), ECF_GENREG_CORRUPTED_RECORD_TYPE},
      {"field length past the end", [&] { auto b = good; b[20] = 0xff; return b; }(),
       ECF_GENREG_CORRUPTED_RECORD_SIZE},
      {"a bit without its entry", [&] { auto b = good; b[4] |= 0x10; return b; }(),
       ECF_GENREG_CORRUPTED_RECORD_SIZE},
      {"string without terminator", [&] { auto b = good; b[23] = 'z'; return b; }(),
       ECF_GENREG_CORRUPTED_FIELD_DEFINE},
  };
  for (const Case& c : cases) {
    GlobalRegRecord out;
    EXPECT_EQ(unpack(c.bytes, out), c.rc) << c.what;
  }
  // A stored field longer than its member.
  std::vector<unsigned char> big = {4, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 65, 0};
  big.insert(big.end(), 64, 'a');
  big.push_back(0);
  big.insert(big.end(), 4, 0);
  GlobalRegRecord out;
  EXPECT_EQ(unpack(big, out), ECF_GENREG_CORRUPTED_FIELD_DEFINE);
}

TEST_F(GlobalRegTest, FieldsOfALaterVersionSurviveAChange) {
  // A variable record written by a later version: an extra field (bit 0x400) of 5 bytes.
  GlobalRegRecord v = variable("s", "PATH", "/x");
  std::vector<unsigned char> stored = pack(v);
  std::vector<unsigned char> extra = {0x05, 0x00, 'l', 'a', 't', 'e', 'r'};
  stored.insert(stored.end() - 4, extra.begin(), extra.end());
  stored[5] |= 0x04;  // bit 0x400
  std::vector<unsigned char> file;
  u32 n = static_cast<u32>(stored.size());
  for (int i = 0; i < 4; ++i) file.push_back(static_cast<unsigned char>(n >> (8 * i)));
  file.insert(file.end(), stored.begin(), stored.end());
  writeFile(this->file("global.reg"), file);

  GlobalReg reg;
  GlobalRegRecord pattern = variable("s", "PATH", ""), out;
  pattern.FieldMask = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE;
  ASSERT_EQ(reg.Get(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &pattern, &out), 0u);
  EXPECT_EQ(out.FieldMask & 0x400, 0x400u) << "the later field's bit stays";
  GlobalRegRecord changed = variable("s", "PATH", "/y");
  ASSERT_EQ(reg.Change(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &pattern, &changed), 0u);
  std::vector<unsigned char> after = readFile(this->file("global.reg"));
  std::string text(after.begin(), after.end());
  EXPECT_NE(text.find(std::string("\x05\x00later", 7)), std::string::npos) << "the 5 bytes are still there";
  ASSERT_EQ(reg.Get(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &pattern, &out), 0u);
  EXPECT_STREQ(out.u.variable.Value, "/y");
  EXPECT_EQ(out.FieldMask, GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE | GLOBALREG_V_VALUE | 0x400);
}

TEST_F(GlobalRegTest, ActionsOverTheThreeKinds) {
  GlobalReg reg;
  EXPECT_TRUE(reg.isFeatureSet(GENREG_FEATURE_VERIFY));
  EXPECT_TRUE(reg.isFeatureSet(GENREG_FEATURE_PACKED));
  EXPECT_TRUE(reg.isFeatureSet(GENREG_FEATURE_LOG));
  EXPECT_FALSE(reg.isFeatureSet(GENREG_FEATURE_DUPLICATES));
  GlobalRegRecord i = instance("db1"), v = variable("s", "PATH", "/x"), s;
  std::memset(&s, 0, sizeof s);
  s.RecordType = GLOBALREG_RECORD_SERVICE;
  s.FieldMask = GLOBALREG_S_NAME;
  std::strcpy(s.u.service.Name, "svc");
  ASSERT_EQ(reg.Add(GLOBALREG_I_INSTANCENAME, &i), 0u);
  ASSERT_EQ(reg.Add(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &v), 0u);
  ASSERT_EQ(reg.Add(GLOBALREG_S_NAME, &s), 0u);
  EXPECT_EQ(reg.Add(GLOBALREG_I_INSTANCENAME, &i), ECF_GENREG_DUPLICATE_RECORD);
  GlobalRegRecord bad = instance("db2");
  bad.FieldMask = 0;
  EXPECT_EQ(reg.Add(1, &bad), ECF_GENREG_FAILED_TO_VALIDATE_RECORD);

  GlobalRegRecord pattern, out;
  std::memset(&pattern, 0, sizeof pattern);
  pattern.RecordType = GLOBALREG_RECORD_SERVICE;
  ASSERT_EQ(reg.Get(0, &pattern, &out), 0u);
  EXPECT_STREQ(out.u.service.Name, "svc");
  pattern.RecordType = 0;
  ASSERT_EQ(reg.Get(0, &pattern, &out), 0u);
  EXPECT_EQ(out.RecordType, GLOBALREG_RECORD_INSTANCE) << "type 0: the first record of any type";
  EXPECT_EQ(out.MissingFieldMask, GLOBALREG_KNOWN_INSTANCE_FIELDS & ~i.FieldMask);

  GlobalRegRecord i2 = instance("db1");
  i2.u.instance.StartAtBoot = 0;
  ASSERT_EQ(reg.Change(GLOBALREG_I_INSTANCENAME, &i, &i2), 0u);
  ASSERT_EQ(reg.Get(GLOBALREG_I_INSTANCENAME, &i, &out), 0u);
  EXPECT_EQ(out.u.instance.StartAtBoot, 0u);
  ASSERT_EQ(reg.Delete(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &v), 0u);
  EXPECT_EQ(reg.Get(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &v, &out), ECF_GENREG_NO_MATCHING_RECORD_FOUND);

  // Walk all with mask 0.
  std::memset(&pattern, 0, sizeof pattern);
  ASSERT_EQ(reg.OpenScan(), 0u);
  int count = 0;
  while (reg.GetNext(0, &pattern, &out) == 0) ++count;
  reg.CloseScan();
  EXPECT_EQ(count, 2);
}

TEST_F(GlobalRegTest, PrintRecordLines) {
  GlobalRegRecord v = variable("s", "PATH", "/x");
  v.CheckSum = 7;
  GlobalRegRecord i = instance("db1");
  i.u.instance.VersionCode = 42;
  std::strcpy(i.u.instance.Comment, "hi");
  GlobalRegRecord s;
  std::memset(&s, 0, sizeof s);
  s.RecordType = GLOBALREG_RECORD_SERVICE;
  s.FieldMask = 1;
  struct Case {
    GlobalRegRecord r;
    const char* text;
  } cases[] = {
      {v,
       "   RecordType   = 4\n   FieldMask    = 7\n   MissingFieldMask = 0\n   VariableRecord:\n"
       "      Service  = |s|\n      Variable = |PATH|\n      Value    = |/x|\n      Comment  = ||\n"
       "      CheckSum    = 7\n"},
      {i,
       "   RecordType   = 1\n   FieldMask    = 39\n   MissingFieldMask = 0\n   InstanceRecord:\n"
       "      Service      = |TARN01|\n      VersionCode  = 42\n      InstanceName = |db1|\n"
       "      InstancePath = ||\n      Usage        = ||\n      StartAtBoot  = 1\n      Maintenance  = 0\n"
       "      Comment      = |hi|\n      CheckSum    = 0\n"},
      {s, "   RecordType   = 2\n   FieldMask    = 1\n   MissingFieldMask = 0\nServices record not yet implemented\n"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(GlobalReg::PrintRecordFn(&c.r), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text);
  }
}

TEST(GlobalRegPath, DefaultEnvironmentAndTooLong) {
  ::unsetenv("TARN_GLOBAL_REG_PATHNAME");
  {
    GlobalReg reg;
    EXPECT_STREQ(reg.path, "./global.reg");
    EXPECT_STREQ(reg.lockPath, ".global.reg.lock");
    EXPECT_STREQ(reg.backupPath, ".global.reg.bkp");
    EXPECT_STREQ(reg.tmpPath, "./global.reg.tmp");
  }
  std::string tooLong = "/tmp/" + std::string(255, 'g');  // 260 characters
  ::setenv("TARN_GLOBAL_REG_PATHNAME", tooLong.c_str(), 1);
  {
    GlobalReg reg;
    GlobalRegRecord r = variable("s", "v", "x"), out;
    EXPECT_EQ(reg.setupCode(), ECF_GENREG_GLOBALREG_PATHNAME_VAR_TOO_SMALL);
    EXPECT_EQ(reg.Add(1, &r), ECF_GENREG_GLOBALREG_PATHNAME_VAR_TOO_SMALL);
    EXPECT_EQ(reg.Get(1, &r, &out), ECF_GENREG_GLOBALREG_PATHNAME_VAR_TOO_SMALL);
    EXPECT_EQ(reg.Change(1, &r, &r), ECF_GENREG_GLOBALREG_PATHNAME_VAR_TOO_SMALL);
    EXPECT_EQ(reg.Delete(1, &r), ECF_GENREG_GLOBALREG_PATHNAME_VAR_TOO_SMALL);
    EXPECT_EQ(reg.OpenScan(), ECF_GENREG_GLOBALREG_PATHNAME_VAR_TOO_SMALL);
  }
  ::setenv("TARN_GLOBAL_REG_PATHNAME", "/some/where/g.reg", 1);
  {
    GlobalReg reg(true);
    EXPECT_STREQ(reg.lockPath, "/some/where/.g.reg.lock");
    EXPECT_EQ(reg.setupCode(), 0u);
  }
  ::unsetenv("TARN_GLOBAL_REG_PATHNAME");
}

}  // namespace
