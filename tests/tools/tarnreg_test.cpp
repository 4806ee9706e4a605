// tarnreg driven as a function: import and export of a machine, query, add, delete, the
// switch-or-operand rule and the exit statuses.
#include "tools/tarnreg/tarnreg_cli.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/winerror.h"

namespace tarn::tools {
namespace {

namespace fs = std::filesystem;
using namespace tarn::platform;

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result Tarnreg(std::vector<std::string> args) {
  args.insert(args.begin(), "tarnreg");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int status = RunTarnreg(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Value {
  DWORD type = 0;
  std::string data;
  bool operator==(const Value&) const = default;
};
using Dump = std::map<std::string, std::map<std::string, Value>>;

// The whole local registry read with the plain calls, independently of the tool.
void DumpKey(HKEY key, const std::string& path, Dump* out) {
  auto& values = (*out)[path];
  for (DWORD i = 0;; ++i) {
    char name[MAX_VALUE_NAME + 1];
    DWORD nameSize = sizeof name;
    DWORD type = 0;
    std::vector<BYTE> data(1 << 16);
    DWORD dataSize = static_cast<DWORD>(data.size());
    if (RegEnumValue(key, i, name, &nameSize, nullptr, &type, data.data(), &dataSize) != 0) break;
    values[std::string(name, nameSize)] =
        Value{type, std::string(reinterpret_cast<char*>(data.data()), dataSize)};
  }
  for (DWORD i = 0;; ++i) {
    char name[MAX_KEY_NAME + 1];
    DWORD nameSize = sizeof name;
    if (RegEnumKeyEx(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != 0) break;
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyEx(key, name, 0, KEY_READ, &sub), 0);
    DumpKey(sub, path + "\\" + name, out);
    RegCloseKey(sub);
  }
}

Dump DumpMachine() {
  Dump out;
  DumpKey(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", &out);
  DumpKey(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", &out);
  return out;
}

// The value as the registry holds it, or type 0xFFFFFFFF when it is missing.
Value Get(HKEY root, const char* key, const char* name) {
  HKEY h = nullptr;
  if (RegOpenKeyEx(root, key, 0, KEY_READ, &h) != 0) return {0xFFFFFFFFu, ""};
  Value v;
  BYTE data[4096];
  DWORD size = sizeof data;
  LONG rc = RegQueryValueEx(h, name, nullptr, &v.type, data, &size);
  RegCloseKey(h);
  if (rc != 0) return {0xFFFFFFFFu, ""};
  v.data.assign(reinterpret_cast<char*>(data), size);
  return v;
}

const std::string kFixtures = TARN_FIXTURE_DIR;
const std::string kDemoMachine = std::string(TARN_SOURCE_DIR) + "/scripts/demo/machine.reg";

class TarnregTest : public ::testing::Test {
 protected:
  void SetUp() override { NewMachine(); }
  void TearDown() override {
    for (const auto& d : dirs_) fs::remove_all(d);
    unsetenv("TARN_PLATFORM_ROOT");
  }
  // A fresh platform root, and a directory for files beside it.
  void NewMachine() {
    char templ[] = "/tmp/tarn-tarnreg-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dirs_.push_back(templ);
    root_ = templ;
    files_ = root_ + "/files";
    fs::create_directories(files_);
    setenv("TARN_PLATFORM_ROOT", (root_ + "/machine").c_str(), 1);
  }
  void Import(const std::string& text) {
    WriteFile(files_ + "/setup.reg", "Windows Registry Editor Version 5.00\n\n" + text);
    Result r = Tarnreg({"import", files_ + "/setup.reg"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string root_, files_;
  std::vector<std::string> dirs_;
};

TEST_F(TarnregTest, MachineFixtureImportsAndExportsBackToTheSameStore) {
  Result r = Tarnreg({"import", kFixtures + "/machine.reg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  EXPECT_EQ(r.err, "");
  const Dump first = DumpMachine();
  ASSERT_EQ(first.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Velk\\TARN\\InstalledCopies\\TARN32"), 1u);

  // To a file and to standard output: the same text.
  const std::string file = files_ + "/software.reg";
  r = Tarnreg({"export", "HKLM\\SOFTWARE", file});
  ASSERT_EQ(r.status, 0) << r.err;
  Result toStdout = Tarnreg({"export", "HKEY_LOCAL_MACHINE\\SOFTWARE"});
  ASSERT_EQ(toStdout.status, 0) << toStdout.err;
  EXPECT_EQ(ReadFile(file), toStdout.out);

  NewMachine();  // the file stays where it is
  r = Tarnreg({"import", file});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(DumpMachine(), first);
}

TEST_F(TarnregTest, DemoMachineImportsAndHoldsItsCopies) {
  Result r = Tarnreg({"import", kDemoMachine});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01", "TARN Path Name"),
            (Value{REG_SZ, std::string("/opt/velk/tarn01\0", 17)}));
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN32\\CurrentVersion",
                         0, KEY_READ | KEY_WOW64_32KEY, &h), 0);
  RegCloseKey(h);
  r = Tarnreg({"export", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01\\CurrentVersion]\n"
                       "\"Version\"=\"9\"\n\"Release\"=\"7\"\n\"Modification\"=\"0\"\n"),
            std::string::npos) << r.out;
}

TEST_F(TarnregTest, ImportErrorNamesFileAndLineAndChangesNothing) {
  Import("[HKLM\\SOFTWARE\\Velk]\n\"Keep\"=\"1\"\n");
  const Dump before = DumpMachine();
  const std::string bad = files_ + "/bad.reg";
  WriteFile(bad, "REGEDIT4\n\n[-HKLM\\SOFTWARE\\Velk]\n[HKLM\\SOFTWARE\\New]\n\"n\"=dword:xyz\n");
  Result r = Tarnreg({"import", bad});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: " + bad + ":5: bad dword value \"xyz\" (expected 1 to 8 hexadecimal digits)\n");
  EXPECT_EQ(DumpMachine(), before);

  r = Tarnreg({"import", files_ + "/missing.reg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(files_ + "/missing.reg: cannot open the file"), std::string::npos) << r.err;
}

TEST_F(TarnregTest, QueryShowsValuesInRegStyle) {
  Import("[HKLM\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01]\n"
         "@=\"default text\"\n"
         "\"TARN Path Name\"=\"/opt/velk/tarn01\"\n"
         "\"Flags\"=dword:0000002a\n"
         "\"Stamp\"=hex:00,ab,10\n"
         "\"Expand\"=hex(2):25,41,25,00\n"
         "\"List\"=hex(7):61,00,62,63,00,00\n"
         "\"Big\"=hex(b):01,00,00,00,01,00,00,00\n"
         "\"Nothing\"=hex(0):\n"
         "[HKLM\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01\\CurrentVersion]\n"
         "\"Version\"=\"9\"\n"
         "[HKLM\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01\\PROFILES\\TARN]\n"
         "\"TARNINSTPROF\"=\"/var/tarn\"\n");
  const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01";
  Result r = Tarnreg({"query", "hklm\\software\\velk\\tarn\\installedcopies\\tarn01"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n" + key + "\n"
            "    (Default)    REG_SZ    default text\n"
            "    TARN Path Name    REG_SZ    /opt/velk/tarn01\n"
            "    Flags    REG_DWORD    0x2a\n"
            "    Stamp    REG_BINARY    00AB10\n"
            "    Expand    REG_EXPAND_SZ    %A%\n"
            "    List    REG_MULTI_SZ    a\\0bc\n"
            "    Big    REG_QWORD    0x100000001\n"
            "    Nothing    REG_NONE    \n"
            "\n" +
                key + "\\CurrentVersion\n" + key + "\\PROFILES\n");

  r = Tarnreg({"query", key, "/v", "tarn path name"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\n" + key + "\n    TARN Path Name    REG_SZ    /opt/velk/tarn01\n\n");

  r = Tarnreg({"query", key, "-VE"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\n" + key + "\n    (Default)    REG_SZ    default text\n\n");
  r = Tarnreg({"query", key + "\\CurrentVersion", "/ve"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\n" + key + "\\CurrentVersion\n    (Default)    REG_SZ    (value not set)\n\n");

  r = Tarnreg({"query", key, "/s"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n" + key + "\\CurrentVersion\n    Version    REG_SZ    9\n\n" + key +
                       "\\PROFILES\n\n" + key + "\\PROFILES\\TARN\n    TARNINSTPROF    REG_SZ    /var/tarn\n\n"),
            std::string::npos)
      << r.out;

  r = Tarnreg({"query", "HKLM\\SOFTWARE\\Velk", "/s", "/v", "TARNINSTPROF"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\n" + key + "\\PROFILES\\TARN\n    TARNINSTPROF    REG_SZ    /var/tarn\n\n"
                   "End of search: 1 match(es) found.\n");
}

TEST_F(TarnregTest, QueryFailures) {
  Import("[HKLM\\SOFTWARE\\Velk]\n\"a\"=\"1\"\n");
  const std::string notFound =
      "ERROR: The system was unable to find the specified registry key or value.\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;  // a part of the message
  };
  const Case cases[] = {
      {{"query", "HKLM\\SOFTWARE\\Nope"}, notFound},
      {{"query", "HKLM\\SOFTWARE\\Velk", "/v", "b"}, notFound},
      {{"query", "HKLM\\SOFTWARE\\Velk", "/s", "/v", "b"}, ""},
      {{"query", "HKXX\\SOFTWARE"}, "ERROR: Invalid key name \"HKXX\\SOFTWARE\""},
      {{"query"}, "ERROR: Invalid syntax: the key is missing.\n"},
      {{"query", "HKLM\\SOFTWARE\\Velk", "/v"}, "the switch /v needs a value"},
      {{"query", "HKLM\\SOFTWARE\\Velk", "/v", "a", "/ve"}, "/v and /ve cannot be combined"},
      {{"query", "HKLM\\SOFTWARE\\Velk", "/s", "-S"}, "the switch -S is given twice"},
      {{"query", "HKLM\\SOFTWARE\\Velk", "/f"}, "unexpected argument \"/f\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    Result r = Tarnreg(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  Result r = Tarnreg({"query", "HKLM\\SOFTWARE\\Velk", "/s", "/v", "b"});
  EXPECT_EQ(r.out, "\nEnd of search: 0 match(es) found.\n");
}

TEST_F(TarnregTest, AddStoresEachTypeAsWindowsDoes) {
  struct Case {
    std::vector<std::string> args;  // after "add HKCU\Software\T /v name"
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {{}, REG_SZ, std::string("\0", 1)},
      {{"/d", "text"}, REG_SZ, std::string("text\0", 5)},
      {{"/t", "reg_sz", "/d", "/opt/velk"}, REG_SZ, std::string("/opt/velk\0", 10)},
      {{"/t", "REG_EXPAND_SZ", "/d", "%TARN_ROOT%/bin"}, REG_EXPAND_SZ,
       std::string("%TARN_ROOT%/bin\0", 16)},
      {{"/t", "REG_MULTI_SZ", "/d", "TARN\\0TARNTEST"}, REG_MULTI_SZ,
       std::string("TARN\0TARNTEST\0\0", 15)},
      {{"/t", "REG_MULTI_SZ", "/d", ""}, REG_MULTI_SZ, std::string("\0\0", 2)},
      {{"/t", "REG_DWORD"}, REG_DWORD, std::string("\0\0\0\0", 4)},
      {{"/t", "REG_DWORD", "/d", "42"}, REG_DWORD, std::string("\x2a\0\0\0", 4)},
      {{"/t", "REG_DWORD", "/d", "0xFFFFFFFF"}, REG_DWORD, "\xff\xff\xff\xff"},
      {{"/t", "REG_DWORD", "/d", "4294967295"}, REG_DWORD, "\xff\xff\xff\xff"},
      {{"/t", "REG_QWORD", "/d", "0x0102030405060708"}, REG_QWORD, "\x08\x07\x06\x05\x04\x03\x02\x01"},
      {{"/t", "REG_QWORD", "/d", "18446744073709551615"}, REG_QWORD, std::string(8, '\xff')},
      {{"/t", "REG_BINARY", "/d", "00aBff"}, REG_BINARY, std::string("\0\xab\xff", 3)},
      {{"/t", "REG_BINARY"}, REG_BINARY, ""},
      {{"/t", "REG_NONE", "/d", "01"}, REG_NONE, "\x01"},
      {{"/d", "/v"}, REG_SZ, std::string("/v\0", 3)},  // a switch's value is never a switch
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "v" + std::to_string(n++);
    std::vector<std::string> args = {"add", "HKCU\\Software\\T", "/v", name};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(name);
    Result r = Tarnreg(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "The operation completed successfully.\n");
    EXPECT_EQ(Get(HKEY_CURRENT_USER, "Software\\T", name.c_str()), (Value{c.type, c.data}));
  }
  // The default value, and a key alone.
  ASSERT_EQ(Tarnreg({"add", "HKCU\\Software\\T", "/ve", "/d", "dflt"}).status, 0);
  EXPECT_EQ(Get(HKEY_CURRENT_USER, "Software\\T", ""), (Value{REG_SZ, std::string("dflt\0", 5)}));
  ASSERT_EQ(Tarnreg({"add", "HKCU\\Software\\T\\Sub\\Deeper"}).status, 0);
  ASSERT_EQ(Tarnreg({"add", "HKCU\\Software\\T\\Sub\\Deeper"}).status, 0);  // existing key: fine
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\T\\Sub\\Deeper", 0, KEY_READ, &h), 0);
  RegCloseKey(h);
}

TEST_F(TarnregTest, AddRefusesBadDataAndExistingValuesWithoutForce) {
  Import("[HKCU\\Software\\T]\n\"old\"=\"1\"\n");
  const Dump before = DumpMachine();
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"/v", "old", "/d", "2"}, "ERROR: The value old of HKEY_CURRENT_USER\\Software\\T exists; add /f"},
      {{"/v", "OLD", "/t", "REG_DWORD", "/d", "2"}, "exists; add /f"},
      {{"/v", "n", "/t", "REG_WORD"}, "ERROR: Invalid type \"REG_WORD\""},
      {{"/v", "n", "/t", "REG_DWORD", "/d", "4294967296"}, "Invalid data for REG_DWORD: \"4294967296\""},
      {{"/v", "n", "/t", "REG_DWORD", "/d", "-1"}, "Invalid data for REG_DWORD"},
      {{"/v", "n", "/t", "REG_DWORD", "/d", "0x"}, "Invalid data for REG_DWORD"},
      {{"/v", "n", "/t", "REG_DWORD", "/d", "12a"}, "Invalid data for REG_DWORD"},
      {{"/v", "n", "/t", "REG_DWORD", "/d", ""}, "Invalid data for REG_DWORD"},
      {{"/v", "n", "/t", "REG_QWORD", "/d", "18446744073709551616"}, "Invalid data for REG_QWORD"},
      {{"/v", "n", "/t", "REG_BINARY", "/d", "abc"}, "not an even number"},
      {{"/v", "n", "/t", "REG_BINARY", "/d", "zz"}, "not made of hexadecimal digits"},
      {{"/v", "n", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, "an empty string cannot be one"},
      {{"/v", "n", "/t", "REG_MULTI_SZ", "/d", "a\\0"}, "an empty string cannot be one"},
      {{"/d", "x"}, "ERROR: Invalid syntax: /t and /d need /v NAME or /ve.\n"},
      {{"/v", "n", "/ve"}, "/v and /ve cannot be combined"},
      {{"/v", "n", "/d"}, "the switch /d needs a value"},
      {{"/v", "n", "extra"}, "unexpected argument \"extra\""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"add", "HKCU\\Software\\T"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.err);
    Result r = Tarnreg(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_EQ(DumpMachine(), before);

  Result r = Tarnreg({"add", "HKCU\\Software\\T", "/v", "old", "/t", "REG_DWORD", "/d", "7", "-f"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Get(HKEY_CURRENT_USER, "Software\\T", "old"), (Value{REG_DWORD, std::string("\7\0\0\0", 4)}));
}

TEST_F(TarnregTest, DeleteNeedsForceAndReportsMissingItems) {
  Import("[HKLM\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01]\n"
         "@=\"d\"\n\"a\"=\"1\"\n\"b\"=\"2\"\n"
         "[HKLM\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01\\PROFILES\\TARN]\n"
         "\"TARNINSTPROF\"=\"/var/tarn\"\n");
  const std::string key = "HKLM\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01";
  const Dump before = DumpMachine();
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"delete", key}, "ERROR: Nothing was deleted: add /f to delete HKEY_LOCAL_MACHINE\\SOFTWARE"},
      {{"delete", key, "/v", "a"}, "add /f to delete the value a of"},
      {{"delete", key, "/ve"}, "add /f to delete the value (Default) of"},
      {{"delete", key, "/v", "zz", "/f"}, "unable to find"},
      {{"delete", key + "\\Nope", "/f"}, "unable to find"},
      {{"delete", "HKLM", "/f"}, "ERROR: A whole hive cannot be deleted."},
      {{"delete", key, "/t", "REG_SZ"}, "unexpected argument \"/t\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    Result r = Tarnreg(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_EQ(DumpMachine(), before);

  ASSERT_EQ(Tarnreg({"delete", key, "/v", "A", "/f"}).status, 0);
  ASSERT_EQ(Tarnreg({"delete", key, "-ve", "-F"}).status, 0);
  Dump d = DumpMachine();
  const auto& values = d.at("HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values.count("b"), 1u);

  Result r = Tarnreg({"delete", key, "/f"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  d = DumpMachine();
  EXPECT_EQ(d.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01"), 0u);
  EXPECT_EQ(d.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies"), 1u);
}

// As for reg, \\MACHINE\KEY reaches the registry of another machine (HKLM and HKU only).
TEST_F(TarnregTest, KeysOfAnotherMachine) {
  fs::create_directories(root_ + "/machine/machines/FARHOST");
  Result r = Tarnreg({"add", "\\\\FARHOST\\HKLM\\SOFTWARE\\Velk", "/v", "Where", "/d", "far"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk", "Where").type, 0xFFFFFFFFu);  // not here
  HKEY far = nullptr;
  ASSERT_EQ(RegConnectRegistry("FARHOST", HKEY_LOCAL_MACHINE, &far), 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(far, "SOFTWARE\\Velk", 0, KEY_READ, &key), 0);
  RegCloseKey(key);

  r = Tarnreg({"query", "\\\\farhost\\HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\n\\\\farhost\\HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\n    Where    REG_SZ    far\n\n");

  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"query", "\\\\NOWHERE\\HKLM\\SOFTWARE"}, "The machine \"NOWHERE\" cannot be reached"},
      {{"query", "\\\\FARHOST\\HKCU\\Software"}, "only HKLM and HKU are available"},
      {{"query", "\\\\\\HKLM"}, "the machine name is missing"},
      {{"export", "\\\\FARHOST\\HKLM\\SOFTWARE"}, "this machine's registry only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    r = Tarnreg(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }

  r = Tarnreg({"delete", "\\\\FARHOST\\HKLM\\SOFTWARE\\Velk", "/f"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RegOpenKeyEx(far, "SOFTWARE\\Velk", 0, KEY_READ, &key),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(far);
}

// Only the verb's own switch names are switches: paths that begin with '/' are operands.
TEST_F(TarnregTest, SwitchesAreOnlyTheVerbsOwnNames) {
  Import("[HKLM\\SOFTWARE\\Velk]\n\"a\"=\"1\"\n");
  // A directory called "v" and files called "f" and "y": each path begins with '/'.
  fs::create_directories(files_ + "/v");
  const std::string out = files_ + "/v/f";
  Result r = Tarnreg({"export", "HKLM\\SOFTWARE\\Velk", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(out).rfind("Windows Registry Editor Version 5.00\n", 0), 0u);

  // Export never overwrites without /y.
  WriteFile(files_ + "/y", "keep me");
  r = Tarnreg({"export", "HKLM\\SOFTWARE\\Velk", files_ + "/y"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("exists; add /y to overwrite it"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(files_ + "/y"), "keep me");
  r = Tarnreg({"export", "-Y", "HKLM\\SOFTWARE\\Velk", files_ + "/y"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(files_ + "/y"), ReadFile(out));

  // "/v" and "/f" are not import switches: they are file names here.
  r = Tarnreg({"import", "/v"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ERROR: /v: cannot open the file"), std::string::npos) << r.err;
  r = Tarnreg({"import", out});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Tarnreg({"import", out, "/f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unexpected argument \"/f\""), std::string::npos) << r.err;

  // A switch name with another prefix or spelling is an operand too.
  r = Tarnreg({"query", "HKLM\\SOFTWARE\\Velk", "--s"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unexpected argument \"--s\""), std::string::npos) << r.err;
  r = Tarnreg({"query", "HKLM\\SOFTWARE\\Velk", "/value"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unexpected argument \"/value\""), std::string::npos) << r.err;
}

TEST_F(TarnregTest, HelpAndVerbs) {
  for (const char* verb : {"import", "export", "query", "add", "delete"}) {
    SCOPED_TRACE(verb);
    for (const char* help : {"--help", "/?", "-?"}) {
      Result r = Tarnreg({verb, help});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out.rfind(std::string("tarnreg ") + verb + " ", 0), 0u) << r.out;
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_NE(Tarnreg({"add", "--help"}).out.find("never prompts"), std::string::npos);
  EXPECT_NE(Tarnreg({"delete", "--help"}).out.find("never prompts"), std::string::npos);

  Result r = Tarnreg({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("tarnreg query KEY"), std::string::npos);
  r = Tarnreg({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("tarnreg import FILE.reg"), std::string::npos);
  r = Tarnreg({"copy", "HKLM\\A", "HKLM\\B"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unknown verb \"copy\""), std::string::npos);
  // Verbs, like reg's, ignore letter case.
  EXPECT_EQ(Tarnreg({"QUERY", "HKLM"}).status, 0);
}

}  // namespace
}  // namespace tarn::tools
