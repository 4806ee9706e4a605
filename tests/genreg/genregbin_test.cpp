// Binary record files: layout, byte orders, the five actions with and without duplicates and
// verification, every rule of the verification pass.
#include "genreg_test_util.h"

using namespace genregtest;

namespace {

class GenRegBinTest : public TempDirTest {
 protected:
  std::string path() const { return file("r.reg"); }
};

TEST_F(GenRegBinTest, LengthPrefixInBothByteOrders) {
  struct Case {
    u32 features;
    std::vector<unsigned char> prefix;
  } cases[] = {{0, {0x20, 0, 0, 0}}, {GENREG_FEATURE_BIG_ENDIAN, {0, 0, 0, 0x20}}};
  for (const Case& c : cases) {
    std::filesystem::remove(path());
    TestReg reg(path(), c.features);
    TRec a = rec("a", "1"), out;
    ASSERT_EQ(reg.Add(1, &a), 0u);
    std::vector<unsigned char> bytes = readFile(path());
    ASSERT_EQ(bytes.size(), 4 + sizeof(TRec));
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4), c.prefix);
    ASSERT_EQ(reg.Get(1, &a, &out), 0u);
    EXPECT_STREQ(out.val, "1");
  }
  // A little-endian file read as big-endian is a length past the end.
  TestReg big(path(), GENREG_FEATURE_BIG_ENDIAN);
  writeFile(path(), fileOf({rec("a", "1")}));
  TRec a = rec("a", ""), out;
  EXPECT_EQ(big.Get(1, &a, &out), ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE);
}

TEST_F(GenRegBinTest, DamagedFilesGiveCodesNotRecords) {
  std::vector<unsigned char> good = fileOf({rec("a", "1"), rec("b", "2")});
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
  } cases[] = {
      {"last length past the end", [&] { auto b = good; b[36] = 0x21; return b; }()},
      {"cut inside the last record", std::vector<unsigned char>(good.begin(), good.end() - 1)},
      {"cut inside a length", std::vector<unsigned char>(good.begin(), good.begin() + 38)},
      {"huge length", [&] { auto b = good; b[39] = 0xff; return b; }()},
  };
  for (const Case& c : cases) {
    writeFile(path(), c.bytes);
    TestReg reg(path());
    TRec want = rec("b", ""), out, p = rec("", "");
    EXPECT_EQ(reg.Get(1, &want, &out), ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE) << c.what;
    ASSERT_EQ(reg.OpenScan(), 0u);
    EXPECT_EQ(reg.GetNext(0, &p, &out), 0u) << c.what;
    EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE) << c.what;
    reg.CloseScan();
    TRec n = rec("n", "1");
    EXPECT_EQ(reg.Add(1, &n), ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE) << c.what;
    EXPECT_EQ(readFile(path()), c.bytes) << c.what << ": not repaired, not replaced";
  }
}

// One update on a registry holding a=1, b=2, b=3 (b twice on purpose) or a=1, b=2.
struct UpdateCase {
  const char* what;
  u32 features;
  bool twoBs;
  char action;  // 'A' add, 'C' change, 'D' delete
  u64 mask;
  TRec pattern;
  TRec record;
  u32 rc;
  std::vector<std::string> after;
  bool tmpLeft;
};

class GenRegUpdateTest : public GenRegBinTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(GenRegUpdateTest, ResultAndRegistryAfterwards) {
  const UpdateCase& c = GetParam();
  std::vector<TRec> initial = {rec("a", "1"), rec("b", "2")};
  if (c.twoBs) initial.push_back(rec("b", "3"));
  writeFile(path(), fileOf(initial));
  TestReg reg(path(), c.features);
  TRec pattern = c.pattern, record = c.record;
  const TRec recordBefore = record;
  u32 rc = c.action == 'A'   ? reg.Add(c.mask, &record)
           : c.action == 'C' ? reg.Change(c.mask, &pattern, &record)
                             : reg.Delete(c.mask, &pattern);
  EXPECT_EQ(rc, c.rc);
  EXPECT_EQ(keysOf(reg), c.after);
  EXPECT_EQ(exists(path() + ".tmp"), c.tmpLeft);
  EXPECT_FALSE(exists(reg.backupPath));
  EXPECT_FALSE(exists(reg.lockPath));
  EXPECT_EQ(std::memcmp(&record, &recordBefore, sizeof record), 0) << "the caller's record is not touched";
}

constexpr u32 V = GENREG_FEATURE_VERIFY;
constexpr u32 D = GENREG_FEATURE_DUPLICATES;

INSTANTIATE_TEST_SUITE_P(
    Cases, GenRegUpdateTest,
    ::testing::Values(
        UpdateCase{"add", 0, false, 'A', 1, {}, rec("c", "3"), 0, {"a=1", "b=2", "c=3"}, false},
        UpdateCase{"add verified", V, false, 'A', 1, {}, rec("c", "3"), 0, {"a=1", "b=2", "c=3"}, false},
        UpdateCase{"add duplicate", 0, false, 'A', 1, {}, rec("b", "9"), ECF_GENREG_DUPLICATE_RECORD,
                   {"a=1", "b=2"}, true},
        UpdateCase{"add duplicate verified", V, false, 'A', 1, {}, rec("b", "9"), ECF_GENREG_DUPLICATE_RECORD,
                   {"a=1", "b=2"}, true},
        UpdateCase{"add duplicate on both fields only", 0, false, 'A', 3, {}, rec("b", "9"), 0,
                   {"a=1", "b=2", "b=9"}, false},
        UpdateCase{"add with duplicates appends in place", D, false, 'A', 1, {}, rec("b", "9"), 0,
                   {"a=1", "b=2", "b=9"}, false},
        UpdateCase{"add with duplicates verified", D | V, false, 'A', 1, {}, rec("b", "9"), 0,
                   {"a=1", "b=2", "b=9"}, false},
        UpdateCase{"add invalid", 0, false, 'A', 1, {}, rec("", "9"), ECF_GENREG_FAILED_TO_VALIDATE_RECORD,
                   {"a=1", "b=2"}, false},
        UpdateCase{"change", 0, false, 'C', 1, rec("b", ""), rec("b", "7"), 0, {"a=1", "b=7"}, false},
        UpdateCase{"change verified", V, false, 'C', 1, rec("b", ""), rec("b", "7"), 0, {"a=1", "b=7"}, false},
        UpdateCase{"change to same commits", 0, false, 'C', 1, rec("b", ""), rec("b", "2"),
                   ECF_GENREG_NEW_REC_SAME_AS_EXISTING_REC, {"a=1", "b=2"}, false},
        UpdateCase{"change to same verified leaves nothing", V, false, 'C', 1, rec("b", ""), rec("b", "2"),
                   ECF_GENREG_NEW_REC_SAME_AS_EXISTING_REC, {"a=1", "b=2"}, false},
        UpdateCase{"change of two without duplicates", 0, true, 'C', 1, rec("b", ""), rec("b", "7"),
                   ECF_GENREG_DUPLICATE_MATCHING_RECORD, {"a=1", "b=2", "b=3"}, true},
        UpdateCase{"change of two with duplicates", D, true, 'C', 1, rec("b", ""), rec("b", "7"), 0,
                   {"a=1", "b=7", "b=7"}, false},
        UpdateCase{"change of two verified with duplicates", D | V, true, 'C', 1, rec("b", ""), rec("b", "7"), 0,
                   {"a=1", "b=7", "b=7"}, false},
        UpdateCase{"change of nothing", 0, false, 'C', 1, rec("x", ""), rec("x", "7"),
                   ECF_GENREG_NO_MATCHING_RECORD_FOUND, {"a=1", "b=2"}, true},
        UpdateCase{"change of nothing verified", V, false, 'C', 1, rec("x", ""), rec("x", "7"),
                   ECF_GENREG_NO_MATCHING_RECORD_FOUND, {"a=1", "b=2"}, false},
        UpdateCase{"delete", 0, false, 'D', 1, rec("a", ""), {}, 0, {"b=2"}, false},
        UpdateCase{"delete verified", V, false, 'D', 1, rec("b", ""), {}, 0, {"a=1"}, false},
        UpdateCase{"delete of nothing", 0, false, 'D', 1, rec("x", ""), {}, ECF_GENREG_NO_MATCHING_RECORD_FOUND,
                   {"a=1", "b=2"}, true},
        UpdateCase{"delete of nothing verified", V, false, 'D', 1, rec("x", ""), {},
                   ECF_GENREG_NO_MATCHING_RECORD_FOUND, {"a=1", "b=2"}, false},
        UpdateCase{"delete of two without duplicates", V, true, 'D', 1, rec("b", ""), {},
                   ECF_GENREG_DUPLICATE_MATCHING_RECORD, {"a=1", "b=2", "b=3"}, false},
        UpdateCase{"delete of two with duplicates", D | V, true, 'D', 1, rec("b", ""), {}, 0, {"a=1"}, false},
        UpdateCase{"delete of every record", D, true, 'D', 0, rec("z", ""), {}, 0, {}, false}));

TEST_F(GenRegBinTest, LogAndNotifyAfterSuccessOnly) {
  writeFile(path(), fileOf({rec("a", "1")}));
  TestReg reg(path(), GENREG_FEATURE_LOG | GENREG_FEATURE_NOTIFY);
  g_logCalls = g_notifyCalls = 0;
  g_notifyResult = 0;
  TRec b = rec("b", "2");
  ASSERT_EQ(reg.Add(1, &b), 0u);
  EXPECT_EQ(g_logCalls, 1);
  EXPECT_EQ(g_notifyCalls, 1);
  EXPECT_EQ(reg.Add(1, &b), ECF_GENREG_DUPLICATE_RECORD);
  EXPECT_EQ(g_logCalls, 1);
  EXPECT_EQ(g_notifyCalls, 1);
  g_notifyResult = ECF_GENREG_BAD_ARGUMENT;
  EXPECT_EQ(reg.Delete(1, &b), ECF_GENREG_BAD_ARGUMENT) << "Notify's own failure is the result";
  EXPECT_EQ(keysOf(reg), std::vector<std::string>{"a=1"}) << "the update itself is done";
  reg.Notify = nullptr;
  EXPECT_EQ(reg.Add(1, &b), ECF_GENREG_BAD_FUNCTION_POINTER_FOR_NOTIFY);
  g_notifyResult = 0;
}

TEST_F(GenRegBinTest, MissingTableEntries) {
  TRec a = rec("a", "1");
  struct Case {
    const char* what;
    void (*strip)(TestReg&);
    u32 features;
    u32 rc;
  } cases[] = {
      {"validate", [](TestReg& r) { r.ValidateRecord = nullptr; }, 0, ECF_GENREG_FUNCTION_PTRS_INVALID},
      {"max size", [](TestReg& r) { r.GetMaxRecordSize = nullptr; }, 0, ECF_GENREG_FUNCTION_PTRS_INVALID},
      {"pack when packed", [](TestReg&) {}, GENREG_FEATURE_PACKED, ECF_GENREG_FUNCTION_PTRS_INVALID},
      {"record size", [](TestReg& r) { r.GetRecordSize = nullptr; }, 0, ECF_GENREG_FAILED_TO_APPEND_TO_TMP_FILE},
  };
  for (const Case& c : cases) {
    TestReg reg(path(), c.features);
    c.strip(reg);
    EXPECT_EQ(reg.Add(1, &a), c.rc) << c.what;
    EXPECT_FALSE(exists(reg.lockPath)) << c.what;
  }
}

// The verification pass on a registry and a temporary file laid down by hand.
struct VerifyCase {
  const char* what;
  u32 action;
  u32 features;
  u64 mask;
  std::vector<TRec> orig;
  std::vector<TRec> tmp;
  TRec pattern;
  TRec record;
  u32 rc;
};

class GenRegVerifyTest : public GenRegBinTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(GenRegVerifyTest, AcceptsOnlyTheDifferenceOfTheAction) {
  const VerifyCase& c = GetParam();
  writeFile(path(), fileOf(c.orig));
  writeFile(path() + ".tmp", fileOf(c.tmp));
  TestReg reg(path(), c.features | GENREG_FEATURE_VERIFY);
  ASSERT_EQ(reg.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT), 0u);
  TRec pattern = c.pattern, record = c.record;
  EXPECT_EQ(reg.Verify(c.action, c.mask, &record, &pattern), c.rc);
  ASSERT_EQ(reg.UnLock(), 0u);
  EXPECT_EQ(readFile(path()), fileOf(c.rc == 0 ? c.tmp : c.orig)) << "committed only when accepted";
}

const TRec a1 = rec("a", "1"), b2 = rec("b", "2"), c3 = rec("c", "3"), b9 = rec("b", "9"), a9 = rec("a", "9");
constexpr u32 CH = GENREG_ACTION_CHANGE, DE = GENREG_ACTION_DELETE, AD = GENREG_ACTION_ADD;

INSTANTIATE_TEST_SUITE_P(
    Rules, GenRegVerifyTest,
    ::testing::Values(
        VerifyCase{"change accepted", CH, 0, 1, {a1, b2}, {a1, b9}, rec("b", ""), b9, 0},
        VerifyCase{"change to something else", CH, 0, 1, {a1, b2}, {a1, c3}, rec("b", ""), b9,
                   ECF_GENREG_CHANGE_NEWRECORD_DOES_NOT_MATCH_TEMPRECORD},
        VerifyCase{"change of a record the pattern does not match", CH, 0, 1, {a1, b2}, {a9, b2}, rec("b", ""), a9,
                   ECF_GENREG_CHANGE_RECORD_DOES_NOT_MATCH_ORIGRECORD},
        VerifyCase{"change that lost a record", CH, 0, 1, {a1, b2}, {a1}, rec("b", ""), b9,
                   ECF_GENREG_DIFF_RECORD_COUNT_IN_FILES_FOR_CHANGE},
        VerifyCase{"change that gained a record", CH, 0, 1, {a1}, {a1, b9}, rec("b", ""), b9,
                   ECF_GENREG_DIFF_RECORD_COUNT_IN_FILES_FOR_CHANGE},
        VerifyCase{"change of nothing", CH, 0, 1, {a1, b2}, {a1, b2}, rec("b", ""), b9,
                   ECF_GENREG_VERIFICATION_DETECTED_NO_CHANGE},
        VerifyCase{"two changes without duplicates", CH, 0, 0, {a1, b2}, {a9, a9}, rec("", ""), a9,
                   ECF_GENREG_MORE_THAN_ONE_DIFF_AND_DUP_FEATURE_NOT_ACTIVE},
        VerifyCase{"two changes with duplicates", CH, D, 0, {a1, b2}, {a9, a9}, rec("", ""), a9, 0},
        VerifyCase{"delete accepted", DE, 0, 1, {a1, b2, c3}, {a1, c3}, rec("b", ""), {}, 0},
        VerifyCase{"delete of the first", DE, 0, 1, {a1, b2}, {b2}, rec("a", ""), {}, 0},
        VerifyCase{"delete of the last", DE, 0, 1, {a1, b2}, {a1}, rec("b", ""), {}, 0},
        VerifyCase{"delete of a record the pattern does not match", DE, 0, 1, {a1, b2, c3}, {c3}, rec("b", ""), {},
                   ECF_GENREG_DELETED_RECORD_DOES_NOT_MATCH_ORIGRECORD},
        VerifyCase{"delete that changed a record", DE, 0, 1, {a1, b2}, {a1, b9}, rec("b", ""), {},
                   ECF_GENREG_ORIGINAL_REG_FILE_IS_SHORT_FOR_DELETE},
        VerifyCase{"delete that left an unmatched tail out", DE, 0, 1, {a1, b2, c3}, {a1}, rec("b", ""), {},
                   ECF_GENREG_CHANGE_NEWRECORD_DOES_NOT_MATCH_TEMPRECORD},
        VerifyCase{"delete that added a record", DE, 0, 1, {a1}, {a1, b2}, rec("b", ""), {},
                   ECF_GENREG_ORIGINAL_REG_FILE_IS_SHORT_FOR_DELETE},
        VerifyCase{"delete of nothing", DE, 0, 1, {a1}, {a1}, rec("b", ""), {},
                   ECF_GENREG_VERIFICATION_DETECTED_NO_CHANGE},
        VerifyCase{"add accepted", AD, 0, 1, {a1}, {a1, b2}, {}, b2, 0},
        VerifyCase{"add to an empty registry", AD, 0, 1, {}, {b2}, {}, b2, 0},
        VerifyCase{"add of nothing", AD, 0, 1, {a1}, {a1}, {}, b2, ECF_GENREG_TEMP_REG_FILE_IS_SHORT_FOR_ADD},
        VerifyCase{"add of another record", AD, 0, 1, {a1}, {a1, c3}, {}, b2, ECF_GENREG_ADDED_RECORD_DOES_NOT_MATCH},
        VerifyCase{"add of two records", AD, 0, 1, {a1}, {a1, b2, c3}, {}, b2, ECF_GENREG_ADDED_MORE_THAN_ONE_RECORD},
        VerifyCase{"add in the middle", AD, 0, 1, {a1, c3}, {a1, b2, c3}, {}, b2,
                   ECF_GENREG_DIFF_IN_MIDDLE_OF_REGISTRY_FOR_ADD}));

}  // namespace
