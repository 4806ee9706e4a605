// Registry files: parsing, import as one transaction, export and the round trip between them.
#include "platform/regfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/registry.h"
#include "platform/winerror.h"

namespace tarn::platform {
namespace {

namespace fs = std::filesystem;

// Every test gets a machine of its own: a fresh platform root.
class RegFileTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = NewRoot(); }
  void TearDown() override {
    for (const auto& r : roots_) fs::remove_all(r);
    unsetenv("TARN_PLATFORM_ROOT");
  }
  // Points the registry at a new, empty machine.
  std::string NewRoot() {
    char templ[] = "/tmp/tarn-regfile-XXXXXX";
    const char* made = mkdtemp(templ);
    EXPECT_NE(made, nullptr);
    roots_.push_back(made);
    setenv("TARN_PLATFORM_ROOT", made, 1);
    return made;
  }
  std::string root_;
  std::vector<std::string> roots_;
};

// One value as the registry holds it.
struct Value {
  DWORD type = 0;
  std::string data;
  bool operator==(const Value&) const = default;
};
// Key path (as stored) -> its values by name; keys without values appear with an empty map.
using Dump = std::map<std::string, std::map<std::string, Value>>;

// Reads a key tree with the plain registry calls, independently of the exporter.
void DumpKey(HKEY key, const std::string& path, Dump* out) {
  auto& values = (*out)[path];
  for (DWORD i = 0;; ++i) {
    char name[MAX_VALUE_NAME + 1];
    DWORD nameSize = sizeof name;
    DWORD type = 0;
    std::vector<BYTE> data(1 << 16);
    DWORD dataSize = static_cast<DWORD>(data.size());
    LONG rc = RegEnumValue(key, i, name, &nameSize, nullptr, &type, data.data(), &dataSize);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(rc, 0);
    values[std::string(name, nameSize)] =
        Value{type, std::string(reinterpret_cast<char*>(data.data()), dataSize)};
  }
  for (DWORD i = 0;; ++i) {
    char name[MAX_KEY_NAME + 1];
    DWORD nameSize = sizeof name;
    LONG rc = RegEnumKeyEx(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(rc, 0);
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyEx(key, name, 0, KEY_READ, &sub), 0);
    DumpKey(sub, path + "\\" + name, out);
    RegCloseKey(sub);
  }
}

Dump DumpTree(HKEY root, const std::string& rootName) {
  Dump out;
  DumpKey(root, rootName, &out);
  return out;
}

Dump DumpMachine() {
  Dump out = DumpTree(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE");
  Dump user = DumpTree(HKEY_CURRENT_USER, "HKEY_CURRENT_USER");
  out.insert(user.begin(), user.end());
  return out;
}

std::string FixturePath(const std::string& name) {
  return std::string(TARN_FIXTURE_DIR) + "/" + name;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

// ---- parsing ---------------------------------------------------------------------------------

struct DataCase {
  const char* line;  // one value line (continuations included) under [HKLM\SOFTWARE\T]
  RegFileStep::Kind kind;
  const char* name;
  DWORD type;
  std::string data;
};

TEST_F(RegFileTest, ValueLinesGiveTheirTypesAndBytes) {
  using K = RegFileStep::Kind;
  const DataCase cases[] = {
      {R"("a"="text")", K::SetValue, "a", REG_SZ, std::string("text\0", 5)},
      {R"("a"="")", K::SetValue, "a", REG_SZ, std::string("\0", 1)},
      {R"("q\"n\\x"="say \"hi\" C:\\dir\\")", K::SetValue, "q\"n\\x", REG_SZ,
       std::string("say \"hi\" C:\\dir\\\0", 17)},
      {R"(@="default")", K::SetValue, "", REG_SZ, std::string("default\0", 8)},
      {R"("a" = "spaced")", K::SetValue, "a", REG_SZ, std::string("spaced\0", 7)},
      {R"("a"="semi;colon")", K::SetValue, "a", REG_SZ, std::string("semi;colon\0", 11)},
      {"\"a\"=\"caf\xc3\xa9\"", K::SetValue, "a", REG_SZ, std::string("caf\xc3\xa9\0", 6)},
      {"\"a\"=dword:0000002a", K::SetValue, "a", REG_DWORD, Bytes({0x2a, 0, 0, 0})},
      {"\"a\"=dword:2A", K::SetValue, "a", REG_DWORD, Bytes({0x2a, 0, 0, 0})},
      {"\"a\"=DWORD:ffffffff", K::SetValue, "a", REG_DWORD, Bytes({0xff, 0xff, 0xff, 0xff})},
      {"\"a\"=dword:12345678", K::SetValue, "a", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12})},
      {"\"a\"=hex:", K::SetValue, "a", REG_BINARY, ""},
      {"\"a\"=hex:00,7f,80,FF,a", K::SetValue, "a", REG_BINARY, Bytes({0, 0x7f, 0x80, 0xff, 0xa})},
      {"\"a\"=hex: 01 , 02 ", K::SetValue, "a", REG_BINARY, Bytes({1, 2})},
      {"\"a\"=hex(2):25,41,25,00", K::SetValue, "a", REG_EXPAND_SZ, std::string("%A%\0", 4)},
      {"\"a\"=hex(7):61,00,62,00,00", K::SetValue, "a", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
      {"\"a\"=hex(b):01,00,00,00,00,00,00,80", K::SetValue, "a", REG_QWORD,
       Bytes({1, 0, 0, 0, 0, 0, 0, 0x80})},
      {"\"a\"=hex(0):", K::SetValue, "a", REG_NONE, ""},
      {"\"a\"=hex(1):78,00", K::SetValue, "a", REG_SZ, std::string("x\0", 2)},
      {"\"a\"=hex(1):78", K::SetValue, "a", REG_SZ, "x"},  // bytes kept as given
      {"\"a\"=hex(4):01,02", K::SetValue, "a", REG_DWORD, Bytes({1, 2})},
      {"\"a\"=hex(ffff0001):09", K::SetValue, "a", 0xffff0001u, Bytes({9})},
      {"\"a\"=hex:01,02,\\\n  03,04,\\\n\t05", K::SetValue, "a", REG_BINARY, Bytes({1, 2, 3, 4, 5})},
      {"\"a\"=hex:01,02,\\\r\n  03\r", K::SetValue, "a", REG_BINARY, Bytes({1, 2, 3})},
      {"\"a\"=-", K::DeleteValue, "a", REG_NONE, ""},
      {"@=-", K::DeleteValue, "", REG_NONE, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<RegFileStep> steps;
    RegFileError error;
    const std::string text = kHeader + "[HKLM\\SOFTWARE\\T]\n" + c.line + "\n";
    ASSERT_TRUE(ParseRegText(text, "t.reg", &steps, &error)) << error.ToString();
    ASSERT_EQ(steps.size(), 2u);
    const RegFileStep& s = steps[1];
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.line, 4);
    EXPECT_EQ(s.root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(s.subKey, "SOFTWARE\\T");
    EXPECT_EQ(s.valueName, c.name);
    if (c.kind == K::SetValue) {
      EXPECT_EQ(s.type, c.type);
      EXPECT_EQ(s.data, c.data);
    }
  }
}

TEST_F(RegFileTest, HeadersLineEndsAndHives) {
  struct Case {
    std::string text;
    HKEY root;
    const char* subKey;
    int keyLine;
  };
  const Case cases[] = {
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n", HKEY_LOCAL_MACHINE, "SOFTWARE\\A", 3},
      {"\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n[HKCU\\Software\\A]\r\n",
       HKEY_CURRENT_USER, "Software\\A", 3},
      {"\n  \nWindows Registry Editor Version 5.00  \n[hkey_users\\.DEFAULT]\n", HKEY_USERS,
       ".DEFAULT", 4},
      {kHeader + "; a comment\n   ; an indented one\n[HKU\\S-1-5-18]\n", HKEY_USERS, "S-1-5-18", 5},
      {kHeader + "[HKCR\\CLSID\\{X}\\InprocServer32]\n", HKEY_CLASSES_ROOT,
       "CLSID\\{X}\\InprocServer32", 3},
      {kHeader + "[HKEY_LOCAL_MACHINE]\n", HKEY_LOCAL_MACHINE, "", 3},
      {kHeader + "[HKLM\\SOFTWARE\\Key [with] brackets]\n", HKEY_LOCAL_MACHINE,
       "SOFTWARE\\Key [with] brackets", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<RegFileStep> steps;
    RegFileError error;
    ASSERT_TRUE(ParseRegText(c.text, "t.reg", &steps, &error)) << error.ToString();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].kind, RegFileStep::Kind::CreateKey);
    EXPECT_EQ(steps[0].root, c.root);
    EXPECT_EQ(steps[0].subKey, c.subKey);
    EXPECT_EQ(steps[0].line, c.keyLine);
  }
}

// Each bad file: the line the error names, a part of its message, and (by running it against a
// prepared registry) proof that nothing before the error was applied.
struct ErrorCase {
  std::string body;  // after the header line and a first valid section
  int line;          // expected line (0: the file as a whole)
  const char* message;
};

TEST_F(RegFileTest, ErrorsNameFileAndLineAndChangeNothing) {
  const std::string head =
      "Windows Registry Editor Version 5.00\n"  // line 1
      "\n"                                      // line 2
      "[HKLM\\SOFTWARE\\New]\n"                 // line 3: would create a key
      "\"v\"=\"x\"\n"                           // line 4
      "[-HKLM\\SOFTWARE\\Old]\n"                // line 5: would delete a key
      "[HKLM\\SOFTWARE\\Keep]\n"                // line 6
      "\"gone\"=-\n";                           // line 7: would delete a value
  const std::string longName(MAX_KEY_NAME + 1, 'k');
  const ErrorCase cases[] = {
      {"[HKEY_LOCAL_MASHINE\\SOFTWARE]\n", 8, "unknown hive \"HKEY_LOCAL_MASHINE\""},
      {"[HKCC\\System]\n", 8, "unknown hive \"HKCC\""},
      {"[HKLM\\SOFTWARE\\X\n", 8, "a key line must end with ']'"},
      {"[]\n", 8, "empty key name"},
      {"[HKLM\\SOFTWARE\\\\X]\n", 8, "empty key name in the path"},
      {"[HKLM\\SOFTWARE\\]\n", 8, "empty key name in the path"},
      {"[HKLM\\" + longName + "]\n", 8, "key name longer than 255 characters"},
      {"[-HKLM]\n", 8, "a whole hive cannot be deleted"},
      {"name=\"x\"\n", 8, "unrecognised line \"name=\"x\"\""},
      {"\n\n  garbage\n", 10, "unrecognised line \"garbage\""},
      {"\"v\"=dword:123456789\n", 8, "bad dword value \"123456789\""},
      {"\"v\"=dword:12g4\n", 8, "bad dword value \"12g4\""},
      {"\"v\"=dword:\n", 8, "bad dword value \"\""},
      {"\"v\"=dword:-1\n", 8, "bad dword value \"-1\""},
      {"\"v\"=hex:01,02,\n", 8, "a byte is missing"},
      {"\"v\"=hex:01,,02\n", 8, "a byte is missing"},
      {"\"v\"=hex:1ff\n", 8, "\"1ff\" is not a byte"},
      {"\"v\"=hex:0x\n", 8, "\"0x\" is not a byte"},
      {"\"v\"=hex(2)01\n", 8, "expected ':' after \"hex(2)\""},
      {"\"v\"=hex(zz):01\n", 8, "bad value type"},
      {"\"v\"=hex(123456789):01\n", 8, "bad value type"},
      {"\"v\"=hex(2:01\n", 8, "bad value type"},
      {"\"v\"=\"open\n", 8, "unterminated text value"},
      {"\"v\"=\"ends in escape\\\"\n", 8, "unterminated text value"},
      {"\"v=\"x\"\n", 8, "expected '=' after the value name"},
      {"\"unterminated name\n", 8, "unterminated value name"},
      {"\"v\"=\"tab\\t\"\n", 8, "unknown escape sequence \"\\t\""},
      {"\"v\"\n", 8, "expected '=' after the value name"},
      {"\"v\"=\n", 8, "the value has no data"},
      {"\"v\"=\"x\" trailing\n", 8, "unexpected text \"trailing\" after the value"},
      {"\"v\"=- x\n", 8, "unexpected text \"x\" after '-'"},
      {"\"v\"=qword:1\n", 8, "unrecognised value data \"qword:1\""},
      {"\"v\"=hex:01,\\\n  02,\\\n", 8, "the file ends inside a value continued"},
      {"\"v\"=hex:01,\\\n  zz\n", 8, "\"zz\" is not a byte"},
      {"[-HKLM\\SOFTWARE\\Other]\n\"v\"=\"x\"\n", 9, "a value line in the section [-HKLM"},
      {"\"" + std::string(MAX_VALUE_NAME + 1, 'n') + "\"=\"x\"\n", 8, "value name longer"},
  };
  // The machine the files are run against.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Old\\Child", 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Keep", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr), 0);
  ASSERT_EQ(RegSetValueEx(key, "gone", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4),
            0);
  RegCloseKey(key);
  const Dump before = DumpMachine();

  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    const std::string text = head + c.body;
    RegFileError error;
    EXPECT_FALSE(ImportRegText(text, "bad.reg", &error));
    EXPECT_EQ(error.file, "bad.reg");
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_EQ(error.ToString().rfind("bad.reg:" + std::to_string(c.line) + ": ", 0), 0u)
        << error.ToString();
    EXPECT_EQ(DumpMachine(), before);
  }
  // The same file without the bad line applies completely.
  RegFileError error;
  ASSERT_TRUE(ImportRegText(head, "good.reg", &error)) << error.ToString();
  const Dump after = DumpMachine();
  EXPECT_EQ(after.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Old"), 0u);
  EXPECT_EQ(after.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Old\\Child"), 0u);
  EXPECT_EQ(after.at("HKEY_LOCAL_MACHINE\\SOFTWARE\\New").at("v"),
            (Value{REG_SZ, std::string("x\0", 2)}));
  EXPECT_TRUE(after.at("HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep").empty());
}

TEST_F(RegFileTest, BadHeadersAndFiles) {
  struct Case {
    std::string text;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"", 1, "the file is empty"},
      {"\n\n", 2, "the file is empty"},
      {"[HKLM\\SOFTWARE\\A]\n", 1, "expected the header"},
      {"Windows Registry Editor Version 4.00\n", 1, "expected the header"},
      {"; comment\nREGEDIT4\n", 1, "expected the header"},
      {std::string("\xFF\xFEW\0i\0", 6), 1, "UTF-16"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    RegFileError error;
    EXPECT_FALSE(ImportRegText(c.text, "h.reg", &error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
  }

  RegFileError error;
  const std::string missing = root_ + "/no-such.reg";
  EXPECT_FALSE(ImportRegFile(missing, &error));
  EXPECT_EQ(error.file, missing);
  EXPECT_EQ(error.line, 0);
  EXPECT_EQ(error.ToString(), missing + ": cannot open the file: No such file or directory (error 2)");
  EXPECT_FALSE(ImportRegFile(root_, &error));
  EXPECT_NE(error.message.find("not a regular file"), std::string::npos) << error.message;
}

// ---- import and export -----------------------------------------------------------------------

TEST_F(RegFileTest, MachineFixtureRoundTripsThroughExport) {
  RegFileError error;
  ASSERT_TRUE(ImportRegFile(FixturePath("machine.reg"), &error)) << error.ToString();
  const Dump imported = DumpMachine();
  // Spot checks against the fixture's text: every type, the default value, the 32-bit view.
  const auto& copy = imported.at("HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN01");
  EXPECT_EQ(copy.at("TARN Path Name"), (Value{REG_SZ, std::string("/opt/velk/tarn01\0", 17)}));
  EXPECT_EQ(copy.at("Install Note"),
            (Value{REG_SZ, std::string("Quotes \"inside\" and a back\\slash\0", 33)}));
  EXPECT_EQ(copy.at("Path Extension"), (Value{REG_EXPAND_SZ, std::string("%TARN_ROOT%/bin\0", 16)}));
  EXPECT_EQ(copy.at("Library Path").type, REG_MULTI_SZ);
  EXPECT_EQ(copy.at("Library Path").data,
            std::string("/opt/velk/tarn01/sqllib/lib\0/opt/velk/tarn01/sqllib/bin\0\0", 57));
  EXPECT_EQ(copy.at("Install Time"), (Value{REG_QWORD, Bytes({0, 0x80, 0x7e, 0x5c, 0x2a, 0x3f, 0xdb, 1})}));
  EXPECT_EQ(copy.at("Install Flags"), (Value{REG_DWORD, Bytes({0x13, 0, 0, 0})}));
  EXPECT_EQ(copy.at("Licence Stamp"), (Value{REG_BINARY, Bytes({0x4c, 0x49, 0x43, 1, 0, 0xff})}));
  EXPECT_EQ(copy.at("Placeholder"), (Value{REG_NONE, ""}));
  EXPECT_EQ(imported.at("HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies").at(""),
            (Value{REG_SZ, std::string("TARN01\0", 7)}));
  // The 32-bit copy is reached through the 32-bit view, as its installer wrote it.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARN32", 0,
                         KEY_READ | KEY_WOW64_32KEY, &key), 0);
  RegCloseKey(key);

  std::string exported;
  ASSERT_EQ(ExportRegText("HKLM\\SOFTWARE", &exported), 0);
  NewRoot();  // another machine
  ASSERT_TRUE(ImportRegText(exported, "exported.reg", &error)) << error.ToString();
  EXPECT_EQ(DumpMachine(), imported);
  std::string reexported;
  ASSERT_EQ(ExportRegText("HKEY_LOCAL_MACHINE\\SOFTWARE", &reexported), 0);
  EXPECT_EQ(reexported, exported);
}

// Values whose bytes do not fit the short forms must still come back unchanged.
TEST_F(RegFileTest, AwkwardValuesRoundTrip) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  };
  std::string big;
  for (int i = 0; i < 300; ++i) big.push_back(static_cast<char>(i));
  const Case cases[] = {
      {"", REG_SZ, std::string("default\0", 8)},
      {"no zero", REG_SZ, "abc"},
      {"empty sz", REG_SZ, ""},
      {"zero inside", REG_SZ, std::string("a\0b\0", 4)},
      {"line break", REG_SZ, std::string("a\nb\r\0", 5)},
      {"two zeros", REG_SZ, std::string("ab\0\0", 4)},
      {"high bytes \xe9", REG_SZ, std::string("\xe9t\xc3\xa9\x7f\0", 6)},
      {"q\"uo\\te=@[x]", REG_SZ, std::string("\"\\;[]=@\0", 8)},
      {"short dword", REG_DWORD, Bytes({1, 2, 3})},
      {"long dword", REG_DWORD, Bytes({1, 2, 3, 4, 5})},
      {"dword", REG_DWORD, Bytes({0xff, 0, 0, 0x80})},
      {"empty binary", REG_BINARY, ""},
      {"big binary", REG_BINARY, big},
      {"expand", REG_EXPAND_SZ, std::string("%PATH%\0", 7)},
      {"multi", REG_MULTI_SZ, std::string("a\0bb\0\0", 6)},
      {"qword", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {"none", REG_NONE, Bytes({0})},
      {"odd type", 0x7fff1234u, big.substr(0, 77)},
      {";looks like a comment", REG_SZ, std::string("x\0", 2)},
  };
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Odd Keys\\with;semicolon", 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  for (const auto& c : cases) {
    ASSERT_EQ(RegSetValueEx(key, c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                            static_cast<DWORD>(c.data.size())), 0) << c.name;
  }
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Odd Keys\\[bracketed]", 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  RegCloseKey(key);
  const Dump before = DumpTree(HKEY_CURRENT_USER, "HKEY_CURRENT_USER");

  std::string exported;
  ASSERT_EQ(ExportRegText("HKCU\\Software\\Odd Keys", &exported), 0);
  for (const std::string& line : {std::string("\"dword\"=dword:800000ff"),
                                  std::string("\"no zero\"=hex(1):61,62,63"),
                                  std::string("\"empty sz\"=hex(1):"),
                                  std::string("\"q\\\"uo\\\\te=@[x]\"=\"\\\"\\\\;[]=@\""),
                                  std::string("@=\"default\"")}) {
    EXPECT_NE(exported.find("\n" + line + "\n"), std::string::npos) << line << "\n" << exported;
  }
  // Wrapped hex: no line is longer than Windows makes them.
  std::istringstream lines(exported);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

  NewRoot();
  RegFileError error;
  ASSERT_TRUE(ImportRegText(exported, "odd.reg", &error)) << error.ToString();
  EXPECT_EQ(DumpTree(HKEY_CURRENT_USER, "HKEY_CURRENT_USER"), before);
}

TEST_F(RegFileTest, ExportTextIsTheFamiliarLayout) {
  RegFileError error;
  ASSERT_TRUE(ImportRegText(kHeader +
                                "[HKLM\\SOFTWARE\\velk\\b]\n"
                                "[HKLM\\SOFTWARE\\Velk\\A]\n"
                                "\"Version\"=\"9\"\n"
                                "\"Flags\"=dword:0000000a\n"
                                "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,"
                                "12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e\n",
                            "in.reg", &error))
      << error.ToString();
  std::string text;
  ASSERT_EQ(ExportRegText("hklm\\software\\VELK", &text), 0);
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\velk]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\velk\\A]\n"
            "\"Version\"=\"9\"\n"
            "\"Flags\"=dword:0000000a\n"
            "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
            "  16,17,18,19,1a,1b,1c,1d,1e\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\velk\\b]\n"
            "\n");
}

TEST_F(RegFileTest, DeletionsAndHiveAliases) {
  RegFileError error;
  ASSERT_TRUE(ImportRegText(kHeader +
                                "[HKLM\\SOFTWARE\\Classes\\CLSID\\{1}\\InprocServer32]\n"
                                "@=\"/opt/velk/lib/libx.so\"\n"
                                "[HKLM\\SOFTWARE\\Gone\\Deep\\Deeper]\n"
                                "\"a\"=\"1\"\n"
                                "[HKLM\\SOFTWARE\\Stay]\n"
                                "\"a\"=\"1\"\n"
                                "\"b\"=\"2\"\n",
                            "setup.reg", &error))
      << error.ToString();
  ASSERT_TRUE(ImportRegText(kHeader +
                                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\gone]\n"
                                "[-HKLM\\SOFTWARE\\Never\\There]\n"
                                "[HKLM\\SOFTWARE\\Stay]\n"
                                "\"a\"=-\n"
                                "\"missing\"=-\n",
                            "remove.reg", &error))
      << error.ToString();
  Dump d = DumpMachine();
  EXPECT_EQ(d.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone"), 0u);
  EXPECT_EQ(d.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Never"), 0u);
  ASSERT_EQ(d.at("HKEY_LOCAL_MACHINE\\SOFTWARE\\Stay").size(), 1u);
  EXPECT_EQ(d.at("HKEY_LOCAL_MACHINE\\SOFTWARE\\Stay").count("b"), 1u);

  // HKEY_CLASSES_ROOT is HKLM\SOFTWARE\Classes: the export names the key where it lives.
  std::string text;
  ASSERT_EQ(ExportRegText("HKCR\\CLSID\\{1}", &text), 0);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{1}\\InprocServer32]\n"
                      "@=\"/opt/velk/lib/libx.so\"\n"),
            std::string::npos)
      << text;

  EXPECT_EQ(ExportRegText("HKLM\\SOFTWARE\\Gone", &text), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ExportRegText("HKXX\\SOFTWARE", &text), static_cast<LONG>(ERROR_INVALID_PARAMETER));
}

// A line break in a key or value name cannot be written as .reg text: the export fails rather
// than write a file that would import as something else.
TEST_F(RegFileTest, ExportRefusesNamesWithLineBreaks) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Good", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr), 0);
  ASSERT_EQ(RegSetValueEx(key, "line\nbreak", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), 0);
  RegCloseKey(key);
  std::string text = "untouched";
  EXPECT_EQ(ExportRegText("HKCU\\Software\\Good", &text), static_cast<LONG>(ERROR_INVALID_DATA));
  EXPECT_EQ(text, "untouched");

  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Bad\rKey", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr), 0);
  RegCloseKey(key);
  EXPECT_EQ(ExportRegText("HKCU\\Software\\Bad\rKey", &text), static_cast<LONG>(ERROR_INVALID_DATA));
  EXPECT_EQ(text, "untouched");
}

TEST_F(RegFileTest, SplitRootKeyKnowsTheHives) {
  const std::tuple<const char*, HKEY, const char*> good[] = {
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\X", HKEY_LOCAL_MACHINE, "SOFTWARE\\X"},
      {"hklm", HKEY_LOCAL_MACHINE, ""},
      {"HKCU\\Software", HKEY_CURRENT_USER, "Software"},
      {"HKEY_USERS\\.DEFAULT", HKEY_USERS, ".DEFAULT"},
      {"HKU", HKEY_USERS, ""},
      {"HKEY_CLASSES_ROOT\\.reg", HKEY_CLASSES_ROOT, ".reg"},
  };
  for (const auto& [path, root, sub] : good) {
    HKEY r = nullptr;
    std::string s = "junk";
    EXPECT_TRUE(SplitRootKey(path, &r, &s)) << path;
    EXPECT_EQ(r, root) << path;
    EXPECT_EQ(s, sub) << path;
  }
  for (const char* bad : {"", "HKLMX", "HKEY_CURRENT_CONFIG\\System", "\\HKLM\\SOFTWARE", "SOFTWARE"}) {
    HKEY r = nullptr;
    std::string s;
    EXPECT_FALSE(SplitRootKey(bad, &r, &s)) << bad;
  }
}

}  // namespace
}  // namespace tarn::platform
