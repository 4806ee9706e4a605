// COM as the update utility relies on it: apartments counted per thread, creation through the
// registry and a server's class factory, reference counting, COM strings and the code page, error
// information and the COM error that carries it.
#include "platform/com.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <iterator>
#include <optional>
#include <thread>

#include "com_test_server.h"
#include "platform/registry.h"
#include "platform/winerror.h"
#include "test_root.h"

namespace tp = tarn::platform;
using tp::HRESULT;

namespace {

std::string BinDir() {
  const char* dir = std::getenv("TARN_BIN_DIR");
  return dir != nullptr ? dir : ".";
}
std::string ServerPath() { return BinDir() + "/com_test_server.so"; }

// Writes HKCR\CLSID\{clsid}\InprocServer32 with `path` as its default value (no value at all
// when `path` is null).
void RegisterServer(const tp::CLSID& clsid, const char* path) {
  const std::string key = "CLSID\\" + tp::StringFromGUID(clsid) + "\\InprocServer32";
  tp::HKEY handle = nullptr;
  ASSERT_EQ(0, tp::RegCreateKeyEx(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, tp::KEY_ALL_ACCESS,
                                  nullptr, &handle, nullptr));
  if (path != nullptr) {
    ASSERT_EQ(0, tp::RegSetValueEx(handle, "", 0, tp::REG_SZ, reinterpret_cast<const tp::BYTE*>(path),
                                   static_cast<tp::DWORD>(std::strlen(path) + 1)));
  }
  tp::RegCloseKey(handle);
}

long LiveObjects() {
  void* module = ::dlopen(ServerPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) return -1;
  auto count = reinterpret_cast<long (*)()>(::dlsym(module, "TestServerLiveObjects"));
  const long live = count != nullptr ? count() : -1;
  ::dlclose(module);
  return live;
}

// Each test starts and ends on a thread without COM, in a machine of its own.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0u, tp::CoInitializeCount()); }
  void TearDown() override {
    while (tp::CoInitializeCount() > 0) tp::CoUninitialize();
    tp::SetComStringAllocationLimit(-1);
  }
  tarn::test::TempPlatformRoot root_;
};

// ---- Identifiers ----------------------------------------------------------------------------

TEST(ComGuid, FormatsUpperCaseAndParsesEitherCase) {
  const tp::GUID agent = {0xB906071E, 0x9281, 0x44B9, {0xBB, 0xDB, 0x98, 0x89, 0x30, 0x81, 0xD2, 0x22}};
  EXPECT_EQ("{B906071E-9281-44B9-BBDB-98893081D222}", tp::StringFromGUID(agent));
  tp::GUID parsed {};
  ASSERT_EQ(tp::S_OK, tp::CLSIDFromString("{b906071e-9281-44b9-bbdb-98893081d222}", &parsed));
  EXPECT_TRUE(parsed == agent);
}

TEST(ComGuid, RejectsMalformedTextAndLeavesTheGuid) {
  const char* bad[] = {
      "",
      "B906071E-9281-44B9-BBDB-98893081D222",      // no braces
      "{B906071E-9281-44B9-BBDB-98893081D22}",     // one digit short
      "{B906071E-9281-44B9-BBDB-98893081D2222}",   // one too many
      "{B906071E-9281-44B9+BBDB-98893081D222}",    // wrong separator
      "{B906071G-9281-44B9-BBDB-98893081D222}",    // not hexadecimal
      "{B906071E-9281-44B9-BBDB-98893081D22 }",
  };
  for (const char* text : bad) {
    tp::GUID g = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(tp::E_INVALIDARG, tp::CLSIDFromString(text, &g)) << text;
    EXPECT_EQ(1u, g.Data1) << text;
  }
}

// ---- Apartments -----------------------------------------------------------------------------

TEST_F(ComTest, InitialisationIsCountedPerThread) {
  EXPECT_EQ(tp::S_OK, tp::CoInitialize(nullptr));
  EXPECT_EQ(tp::S_FALSE, tp::CoInitialize(nullptr));
  EXPECT_EQ(tp::RPC_E_CHANGED_MODE, tp::CoInitializeEx(nullptr, tp::COINIT_MULTITHREADED));
  EXPECT_EQ(2u, tp::CoInitializeCount());  // the refused call did not count

  tp::ULONG otherThread = 99;
  HRESULT otherFirst = 0;
  std::thread([&] {
    otherThread = tp::CoInitializeCount();
    otherFirst = tp::CoInitializeEx(nullptr, tp::COINIT_MULTITHREADED);
    tp::CoUninitialize();
  }).join();
  EXPECT_EQ(0u, otherThread);
  EXPECT_EQ(tp::S_OK, otherFirst);

  tp::CoUninitialize();
  EXPECT_EQ(1u, tp::CoInitializeCount());
  tp::CoUninitialize();
  EXPECT_EQ(0u, tp::CoInitializeCount());
  tp::CoUninitialize();  // one too many: nothing happens
  EXPECT_EQ(0u, tp::CoInitializeCount());
  EXPECT_EQ(tp::S_OK, tp::CoInitializeEx(nullptr, tp::COINIT_MULTITHREADED));  // model chosen anew
}

// ---- Creation -------------------------------------------------------------------------------

TEST_F(ComTest, CreationStatusesForEveryWayAClassCanBeMissing) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(tp::CO_E_NOTINITIALIZED, tp::CoCreateInstance(CLSID_TestCalculator, nullptr,
                                                          tp::CLSCTX_ALL, IID_ITestCalculator, &object));
  EXPECT_EQ(nullptr, object);
  ASSERT_EQ(tp::S_OK, tp::CoInitialize(nullptr));

  struct Case {
    const char* what;
    bool registerKey;
    std::string path;
    tp::DWORD context;
    HRESULT expected;
  };
  const std::string platformLib = BinDir() + "/../lib/libtarnplatform.so";
  const Case cases[] = {
      {"no key", false, "", tp::CLSCTX_ALL, tp::REGDB_E_CLASSNOTREG},
      {"key without path", true, "", tp::CLSCTX_ALL, tp::REGDB_E_CLASSNOTREG},
      {"missing file", true, root_.path() + "/nothing.so", tp::CLSCTX_ALL,
       tp::MakeHresult(0x8007007Eu)},
      {"no DllGetClassObject", true, platformLib, tp::CLSCTX_ALL, tp::CO_E_ERRORINDLL},
      {"local server only", true, ServerPath(), tp::CLSCTX_LOCAL_SERVER, tp::REGDB_E_CLASSNOTREG},
  };
  for (const Case& c : cases) {
    tarn::test::TempPlatformRoot machine;
    if (c.registerKey) RegisterServer(CLSID_TestCalculator, c.path.empty() ? nullptr : c.path.c_str());
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(c.expected, tp::CoCreateInstance(CLSID_TestCalculator, nullptr, c.context,
                                               IID_ITestCalculator, &object))
        << c.what;
    EXPECT_EQ(nullptr, object) << c.what;
  }
}

TEST_F(ComTest, CreatesThroughTheFactoryAndCountsReferences) {
  RegisterServer(CLSID_TestCalculator, ServerPath().c_str());
  ASSERT_EQ(tp::S_OK, tp::CoInitialize(nullptr));
  ITestCalculator* calc = nullptr;
  ASSERT_EQ(tp::S_OK, tp::CoCreateInstance(CLSID_TestCalculator, nullptr, tp::CLSCTX_INPROC_SERVER,
                                           IID_ITestCalculator, reinterpret_cast<void**>(&calc)));
  ASSERT_NE(nullptr, calc);
  EXPECT_EQ(1, LiveObjects());

  tp::LONG total = 0;
  EXPECT_EQ(tp::S_OK, calc->Add(40, &total));
  EXPECT_EQ(tp::S_OK, calc->Add(2, &total));
  EXPECT_EQ(42, total);

  // Every interface of the object is the same object: the state is shared.
  tp::IUnknown* unknown = nullptr;
  ASSERT_EQ(tp::S_OK, calc->QueryInterface(tp::IID_IUnknown, reinterpret_cast<void**>(&unknown)));
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(tp::E_NOINTERFACE, calc->QueryInterface(tp::IID_IClassFactory, &none));
  EXPECT_EQ(nullptr, none);

  EXPECT_EQ(1u, calc->Release());  // the IUnknown reference keeps it alive
  EXPECT_EQ(1, LiveObjects());
  EXPECT_EQ(0u, unknown->Release());
  EXPECT_EQ(0, LiveObjects());

  // Aggregation is the factory's business: it refuses it, and the status comes through.
  tp::IUnknown* outer = reinterpret_cast<tp::IUnknown*>(&total);
  void* aggregated = nullptr;
  EXPECT_EQ(tp::CLASS_E_NOAGGREGATION,
            tp::CoCreateInstance(CLSID_TestCalculator, outer, tp::CLSCTX_ALL, IID_ITestCalculator,
                                 &aggregated));
}

// ---- COM strings and the code page ----------------------------------------------------------

TEST_F(ComTest, StringsCarryTheirByteCountAndMayHoldZeros) {
  tp::BSTR s = tp::SysAllocString(u"Tarn");
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(4u, tp::SysStringLen(s));
  EXPECT_EQ(8u, tp::SysStringByteLen(s));
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
  EXPECT_EQ(8u, prefix);
  EXPECT_EQ(0, s[4]);
  tp::SysFreeString(s);

  const char16_t withZero[] = {u'a', 0, u'b'};
  s = tp::SysAllocStringLen(withZero, 3);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(3u, tp::SysStringLen(s));
  EXPECT_EQ(u'b', s[2]);
  tp::SysFreeString(s);

  EXPECT_EQ(nullptr, tp::SysAllocString(nullptr));
  EXPECT_EQ(0u, tp::SysStringLen(nullptr));
  tp::SysFreeString(nullptr);
  EXPECT_EQ(nullptr, tp::SysAllocStringLen(nullptr, 0x80000000u));  // byte count beyond 32 bits
}

TEST_F(ComTest, AllocationLimitFailsLaterStringsOnThisThreadOnly) {
  tp::SetComStringAllocationLimit(1);
  tp::BSTR first = tp::SysAllocString(u"x");
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, tp::SysAllocString(u"y"));
  bool otherThreadAllocated = false;
  std::thread([&] {
    tp::BSTR s = tp::SysAllocString(u"z");
    otherThreadAllocated = s != nullptr;
    tp::SysFreeString(s);
  }).join();
  EXPECT_TRUE(otherThreadAllocated);
  tp::SysFreeString(first);
}

struct CodePageCase {
  unsigned char ansi;
  char16_t wide;
};

TEST(ComCodePage, Code1252MapsBothWays) {
  EXPECT_EQ(1252u, tp::GetACP());
  const CodePageCase cases[] = {
      {'A', u'A'},     {0x00, 0},        {0x7F, 0x7F},     {0x80, 0x20AC},  // euro sign
      {0x81, 0x0081},  {0x8A, 0x0160},   {0x93, 0x201C},   {0x9F, 0x0178},
      {0xA0, 0x00A0},  {0xE9, 0x00E9},   {0xFF, 0x00FF},
  };
  for (const CodePageCase& c : cases) {
    const char in = static_cast<char>(c.ansi);
    char16_t wide = 0xFFFF;
    EXPECT_EQ(1, tp::MultiByteToWideChar(tp::CP_ACP, 0, &in, 1, &wide, 1)) << int(c.ansi);
    EXPECT_EQ(c.wide, wide) << int(c.ansi);
    char back = 0;
    tp::BOOL usedDefault = 1;
    EXPECT_EQ(1, tp::WideCharToMultiByte(tp::CP_ACP, 0, &c.wide, 1, &back, 1, nullptr, &usedDefault));
    EXPECT_EQ(in, back) << int(c.ansi);
    EXPECT_EQ(0, usedDefault);
  }
}

TEST(ComCodePage, UnmappableCharactersBecomeTheDefault) {
  const char16_t text[] = {u'a', 0x4E2D, 0xD83D, 0xDE00, u'b'};  // CJK, then one surrogate pair
  char out[8] = {};
  tp::BOOL usedDefault = 0;
  EXPECT_EQ(4, tp::WideCharToMultiByte(tp::CP_ACP, 0, text, 5, out, sizeof out, nullptr, &usedDefault));
  EXPECT_STREQ("a??b", out);
  EXPECT_EQ(1, usedDefault);
  const char star = '*';
  EXPECT_EQ(4, tp::WideCharToMultiByte(tp::CP_ACP, 0, text, 5, out, sizeof out, &star, nullptr));
  EXPECT_EQ(0, std::memcmp("a**b", out, 4));
}

TEST(ComCodePage, SizeQueriesShortBuffersAndBadArguments) {
  char16_t wide[8];
  EXPECT_EQ(6, tp::MultiByteToWideChar(tp::CP_ACP, 0, "Tarn!", -1, nullptr, 0));  // zero included
  std::fill(std::begin(wide), std::end(wide), u'#');
  tp::SetLastError(0);
  EXPECT_EQ(0, tp::MultiByteToWideChar(tp::CP_ACP, 0, "Tarn!", -1, wide, 5));
  EXPECT_EQ(tp::ERROR_INSUFFICIENT_BUFFER, tp::GetLastError());
  EXPECT_EQ(u'#', wide[0]);  // untouched
  EXPECT_EQ(6, tp::MultiByteToWideChar(1252, 0, "Tarn!", -1, wide, 8));
  EXPECT_EQ(0, wide[5]);

  char narrow[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(6, tp::WideCharToMultiByte(tp::CP_ACP, 0, u"Tarn!", -1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(0, tp::WideCharToMultiByte(tp::CP_ACP, 0, u"Tarn!", -1, narrow, 4, nullptr, nullptr));
  EXPECT_EQ(tp::ERROR_INSUFFICIENT_BUFFER, tp::GetLastError());
  EXPECT_EQ('#', narrow[0]);

  EXPECT_EQ(0, tp::MultiByteToWideChar(65001, 0, "x", 1, wide, 8));  // unknown code page
  EXPECT_EQ(tp::ERROR_INVALID_PARAMETER, tp::GetLastError());
  EXPECT_EQ(0, tp::MultiByteToWideChar(tp::CP_ACP, 0, nullptr, 1, wide, 8));
  EXPECT_EQ(0, tp::WideCharToMultiByte(tp::CP_ACP, 0, u"x", -2, narrow, 4, nullptr, nullptr));
}

TEST(ComCodePage, AnsiTextRoundTripsThroughACOMString) {
  const std::string text = "Caf\xE9 \x80 10";
  tp::BSTR s = tp::ConvertStringToBSTR(text.c_str());
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(text.size(), tp::SysStringLen(s));
  EXPECT_EQ(0x20AC, s[5]);
  EXPECT_EQ(text, tp::ConvertBSTRToString(s));
  tp::SysFreeString(s);
  tp::BSTR empty = tp::ConvertStringToBSTR("");
  ASSERT_NE(nullptr, empty);  // an empty text is a real, empty string
  EXPECT_EQ(0u, tp::SysStringLen(empty));
  tp::SysFreeString(empty);
  EXPECT_EQ("", tp::ConvertBSTRToString(nullptr));
}

// ---- Error information and the COM error ----------------------------------------------------

TEST_F(ComTest, ErrorInfoIsHandedOverOnceAndDroppedWithTheApartment) {
  ASSERT_EQ(tp::S_OK, tp::CoInitialize(nullptr));
  tp::ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(tp::S_OK, tp::CreateErrorInfo(&create));
  create->SetDescription(u"disk on fire");
  create->SetSource(u"Test");
  tp::IErrorInfo* info = nullptr;
  ASSERT_EQ(tp::S_OK, create->QueryInterface(tp::IID_IErrorInfo, reinterpret_cast<void**>(&info)));
  create->Release();
  tp::SetErrorInfo(0, info);
  info->Release();

  tp::IErrorInfo* got = nullptr;
  ASSERT_EQ(tp::S_OK, tp::GetErrorInfo(0, &got));
  tp::BSTR description = nullptr;
  ASSERT_EQ(tp::S_OK, got->GetDescription(&description));
  EXPECT_EQ("disk on fire", tp::ConvertBSTRToString(description));
  tp::SysFreeString(description);
  EXPECT_EQ(tp::S_FALSE, tp::GetErrorInfo(0, &info));  // the slot was cleared
  EXPECT_EQ(nullptr, info);

  tp::SetErrorInfo(0, got);
  got->Release();
  tp::CoUninitialize();
  EXPECT_EQ(tp::S_FALSE, tp::GetErrorInfo(0, &info));
}

class ComErrorTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    RegisterServer(CLSID_TestCalculator, ServerPath().c_str());
    ASSERT_EQ(tp::S_OK, tp::CoInitialize(nullptr));
    ASSERT_EQ(tp::S_OK, tp::CoCreateInstance(CLSID_TestCalculator, nullptr, tp::CLSCTX_ALL,
                                             IID_ITestCalculator, reinterpret_cast<void**>(&calc_)));
  }
  void TearDown() override {
    if (calc_ != nullptr) calc_->Release();
    ComTest::TearDown();
  }
  ITestCalculator* calc_ = nullptr;
};

TEST_F(ComErrorTest, CarriesStatusObjectInterfaceAndTheObjectsDescription) {
  const HRESULT status = tp::MakeHresult(0x80040201u);
  try {
    tp::ComCheck(calc_->Fail(status, u"agent database is locked"), calc_, IID_ITestCalculator);
    FAIL() << "no error raised";
  } catch (const tp::ComError& e) {
    EXPECT_EQ(status, e.Error());
    EXPECT_EQ(static_cast<tp::IUnknown*>(calc_), e.Object());
    EXPECT_TRUE(e.Interface() == IID_ITestCalculator);
    EXPECT_EQ("agent database is locked", e.Description());
    EXPECT_EQ("Unknown error 0x80040201", e.ErrorMessage());
    EXPECT_NE(nullptr, std::strstr(e.what(), "0x80040201"));
  }
}

TEST_F(ComErrorTest, DescriptionOnlyFromAnObjectThatSupportsItForThatInterface) {
  // The object fills the slot but does not claim error information for IUnknown: the error
  // must not pick up a description meant for another interface.
  try {
    tp::ComIssueErrorEx(calc_->Fail(tp::E_FAIL, u"stale"), calc_, tp::IID_IUnknown);
  } catch (const tp::ComError& e) {
    EXPECT_EQ(tp::E_FAIL, e.Error());
    EXPECT_EQ("", e.Description());
    EXPECT_EQ("Unspecified error", e.ErrorMessage());
  }
  // And no description when the object gave none.
  try {
    tp::ComCheck(calc_->Fail(tp::E_NOTIMPL, nullptr), calc_, IID_ITestCalculator);
  } catch (const tp::ComError& e) {
    EXPECT_EQ("", e.Description());
  }
}

TEST_F(ComErrorTest, NonNegativeStatusesNeverRaise) {
  EXPECT_EQ(tp::S_OK, tp::ComCheck(tp::S_OK, calc_, IID_ITestCalculator));
  EXPECT_EQ(tp::S_FALSE, tp::ComCheck(calc_->Fail(tp::S_FALSE, nullptr), calc_, IID_ITestCalculator));
  EXPECT_EQ(0x7FFFFFFF, tp::ComCheck(0x7FFFFFFF, calc_, IID_ITestCalculator));
}

TEST_F(ComErrorTest, TheErrorKeepsTheObjectAliveUntilItIsGone) {
  std::optional<tp::ComError> kept;
  try {
    tp::ComIssueErrorEx(tp::E_FAIL, calc_, IID_ITestCalculator);
  } catch (const tp::ComError& e) {
    kept = e;
  }
  calc_->Release();
  calc_ = nullptr;
  EXPECT_EQ(1, LiveObjects());
  kept.reset();
  EXPECT_EQ(0, LiveObjects());
}

// ---- ComString ------------------------------------------------------------------------------

TEST_F(ComTest, ComStringSharesOneStringAndConvertsOnDemand) {
  tp::ComString a("Windows XP");
  tp::ComString b = a;
  EXPECT_EQ(a.bstr(), b.bstr());
  EXPECT_EQ(10u, b.length());
  EXPECT_EQ("Windows XP", b.ansi());
  a = tp::ComString("Service Pack 3");
  EXPECT_EQ("Windows XP", b.ansi());
  EXPECT_EQ("Service Pack 3", a.ansi());
  tp::ComString empty("");
  EXPECT_NE(nullptr, empty.bstr());
  EXPECT_TRUE(empty.empty());
  tp::ComString none;
  EXPECT_EQ(nullptr, none.bstr());
  EXPECT_EQ("", none.ansi());
}

TEST_F(ComTest, ComStringOutOfMemoryRaisesTheErrorWith8007000E) {
  tp::SetComStringAllocationLimit(0);
  try {
    tp::ComString s("UserCollection");
    FAIL() << "no error raised";
  } catch (const tp::ComError& e) {
    EXPECT_EQ(tp::MakeHresult(0x8007000Eu), e.Error());
    EXPECT_EQ(nullptr, e.Object());
  }
}

}  // namespace
