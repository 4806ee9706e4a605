// tarnreg: see tarnreg_cli.h for the command line and the no-prompt rule.
#include "tools/tarnreg/tarnreg_cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/regfile.h"
#include "platform/registry.h"
#include "platform/winerror.h"

namespace tarn::tools {

namespace {

using namespace tarn::platform;

constexpr const char* kDone = "The operation completed successfully.";
constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// ---- help ------------------------------------------------------------------------------------

constexpr const char* kKeyHelp =
    "  KEY       HIVE\\Subkey, HIVE being HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU),\n"
    "            HKEY_USERS (HKU) or HKEY_CLASSES_ROOT (HKCR).\n";
constexpr const char* kRemoteHelp =
    "            \\\\MACHINE\\KEY names a key of the registry of another machine (HKLM and HKU\n"
    "            only).\n";
constexpr const char* kTail =
    "\nSwitches start with / or -; any other argument is an operand, even one that begins\n"
    "with /. Exit status: 0 on success, 1 on failure.\n";

struct VerbHelp {
  const char* verb;
  const char* text;
};

const VerbHelp kHelp[] = {
    {"import",
     "tarnreg import FILE.reg\n\n"
     "  Applies a registry file (\"Windows Registry Editor Version 5.00\" or \"REGEDIT4\") to the\n"
     "  registry as one transaction: a file with an error anywhere is reported with its file\n"
     "  name and line, and changes nothing.\n"},
    {"export",
     "tarnreg export KEY [FILE.reg] [/y]\n\n"
     "  Writes KEY, its values and every key below it as a registry file that import reads\n"
     "  back to the same keys, values and types; to standard output without FILE.reg.\n\n"
     "  /y        overwrite FILE.reg if it exists; without /y an existing file is left alone\n"
     "            and the export fails (tarnreg never prompts).\n"},
    {"query",
     "tarnreg query KEY [/v NAME | /ve] [/s]\n\n"
     "  Lists the values of KEY (\"    NAME    TYPE    DATA\") and then its subkeys.\n\n"
     "  /v NAME   only the value NAME.\n"
     "  /ve       only the default (unnamed) value, shown as (Default).\n"
     "  /s        every key below KEY as well; with /v or /ve, the keys that hold the value.\n"},
    {"add",
     "tarnreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n\n"
     "  Creates KEY (and the keys leading to it) and, with /v or /ve, sets a value in it.\n\n"
     "  /v NAME   the value to set.\n"
     "  /ve       the default (unnamed) value.\n"
     "  /t TYPE   REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
     "            REG_BINARY or REG_NONE.\n"
     "  /d DATA   the data: text for REG_SZ and REG_EXPAND_SZ; for REG_MULTI_SZ the strings\n"
     "            separated by the two characters \\0; a decimal or 0x-hexadecimal number for\n"
     "            REG_DWORD (default 0) and REG_QWORD; hexadecimal digits for REG_BINARY and\n"
     "            REG_NONE. Text data are stored with their terminating zero.\n"
     "  /f        overwrite a value that exists. Without /f an existing value is left alone\n"
     "            and the command fails (tarnreg never prompts).\n"},
    {"delete",
     "tarnreg delete KEY [/v NAME | /ve] [/f]\n\n"
     "  Deletes the value NAME (/v), the default value (/ve), or else KEY with everything\n"
     "  below it.\n\n"
     "  /f        required: without /f nothing is deleted and the command fails\n"
     "            (tarnreg never prompts for a confirmation).\n"},
};

void PrintUsage(std::ostream& s) {
  s << "tarnreg: the registry tool.\n\n";
  for (const auto& h : kHelp) {
    const std::string_view text = h.text;
    s << "  " << text.substr(0, text.find('\n')) << "\n";
  }
  s << "\nType \"tarnreg VERB --help\" for the details of a verb.\n" << kTail;
}

void PrintVerbHelp(std::ostream& s, std::string_view verb) {
  for (const auto& h : kHelp) {
    if (verb == h.verb) {
      s << h.text;
      if (verb != "import") s << "\n" << kKeyHelp;
      if (verb != "import" && verb != "export") s << kRemoteHelp;
      s << kTail;
    }
  }
}

// ---- arguments -------------------------------------------------------------------------------

struct SwitchSpec {
  const char* name;  // without the leading '/' or '-', lower case
  bool takesValue;
};

struct Args {
  std::vector<std::string> operands;
  std::map<std::string, std::string> switches;  // name -> value ("" for a plain switch)
  bool help = false;
  bool Has(const char* name) const { return switches.count(name) != 0; }
};

// Splits the arguments after the verb. Only the verb's own switch names (and the help
// switches) count as switches; everything else is an operand.
bool ParseArgs(int argc, const char* const* argv, const std::vector<SwitchSpec>& known,
               Args* args, std::string* why) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "/?" || arg == "-?") {
      args->help = true;
      continue;
    }
    const SwitchSpec* found = nullptr;
    if (arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-')) {
      const std::string name = Lower(std::string_view(arg).substr(1));
      for (const auto& s : known) {
        if (name == s.name) found = &s;
      }
    }
    if (found == nullptr) {
      args->operands.push_back(arg);
      continue;
    }
    if (args->switches.count(found->name) != 0) {
      *why = "the switch " + arg + " is given twice";
      return false;
    }
    std::string value;
    if (found->takesValue) {
      if (i + 1 >= argc) {
        *why = "the switch " + arg + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    args->switches[found->name] = value;
  }
  return true;
}

// ---- keys ------------------------------------------------------------------------------------

// The key named on the command line: its hive, the path below it, and the name to print. As
// for reg, "\\MACHINE\KEY" names a key of another machine's registry (HKLM and HKU only);
// `base` is then the connected hive, closed with the KeyArg.
struct KeyArg {
  HKEY root = nullptr;
  HKEY remote = nullptr;
  std::string machine;
  std::string subKey;
  std::string display;  // [\\MACHINE\]the hive in full, then the path as given

  KeyArg() = default;
  KeyArg(const KeyArg&) = delete;
  KeyArg& operator=(const KeyArg&) = delete;
  ~KeyArg() {
    if (remote != nullptr && remote != root) RegCloseKey(remote);
  }
  HKEY base() const { return remote != nullptr ? remote : root; }
  // The prefix that names the machine in printed paths.
  std::string Prefix() const { return machine.empty() ? std::string() : "\\\\" + machine + "\\"; }
};

const char* HiveName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (root == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (root == HKEY_USERS) return "HKEY_USERS";
  return "HKEY_CLASSES_ROOT";
}

bool ParseKey(std::string text, KeyArg* key, std::string* why, bool remoteAllowed = true) {
  // "HKLM\SOFTWARE\" names the same key as "HKLM\SOFTWARE", as for reg.
  if (text.size() > 1 && text.back() == '\\') text.pop_back();
  std::string path = text;
  if (path.rfind("\\\\", 0) == 0) {
    const std::size_t cut = path.find('\\', 2);
    key->machine = path.substr(2, cut == std::string::npos ? std::string::npos : cut - 2);
    path = cut == std::string::npos ? std::string() : path.substr(cut + 1);
    if (key->machine.empty()) {
      *why = "Invalid key name \"" + text + "\": the machine name is missing.";
      return false;
    }
    if (!remoteAllowed) {
      *why = "Invalid key name \"" + text + "\": this verb works on this machine's registry only.";
      return false;
    }
  }
  if (!SplitRootKey(path, &key->root, &key->subKey)) {
    *why = "Invalid key name \"" + text +
           "\": it must start with HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU), "
           "HKEY_USERS (HKU) or HKEY_CLASSES_ROOT (HKCR).";
    return false;
  }
  key->display = key->Prefix() + HiveName(key->root);
  if (!key->subKey.empty()) key->display += "\\" + key->subKey;
  if (key->machine.empty()) return true;
  if (key->root != HKEY_LOCAL_MACHINE && key->root != HKEY_USERS) {
    *why = "Invalid key name \"" + text +
           "\": only HKLM and HKU are available on another machine.";
    return false;
  }
  const LONG rc = RegConnectRegistry(key->machine.c_str(), key->root, &key->remote);
  if (rc == static_cast<LONG>(ERROR_BAD_NETPATH)) {
    *why = "The machine \"" + key->machine + "\" cannot be reached (error 53).";
    return false;
  }
  if (rc != 0) {
    *why = "Cannot connect to the registry of \"" + key->machine + "\" (error " +
           std::to_string(rc) + ").";
    return false;
  }
  return true;
}

std::string DescribeStatus(LONG status) {
  switch (static_cast<DWORD>(status)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return kNotFound;
    case ERROR_ACCESS_DENIED: return "ERROR: Access is denied.";
    case ERROR_INVALID_PARAMETER: return "ERROR: Invalid key or value name.";
    case ERROR_KEY_DELETED: return "ERROR: The key was deleted meanwhile.";
    default: return "ERROR: The registry call failed (error " + std::to_string(status) + ").";
  }
}

class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* Out() { return &h_; }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

// ---- values ----------------------------------------------------------------------------------

struct ValueData {
  DWORD type = 0;
  std::string bytes;
};

const char* TypeName(DWORD type) {
  switch (type) {
    case 0: return "REG_NONE";
    case 1: return "REG_SZ";
    case 2: return "REG_EXPAND_SZ";
    case 3: return "REG_BINARY";
    case 4: return "REG_DWORD";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case 7: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case 11: return "REG_QWORD";
    default: return nullptr;
  }
}

std::string HexUpper(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0F]);
  }
  return out;
}

std::uint64_t LittleEndian(std::string_view bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
  return v;
}

// The data as reg shows it: text without its terminating zero, a multi-string's items joined
// by the two characters \0, numbers in 0x form, everything else as hexadecimal digits.
std::string FormatData(const ValueData& v) {
  std::string_view b = v.bytes;
  char buf[32];
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return std::string(b.substr(0, b.find('\0')));
    case REG_MULTI_SZ: {
      while (!b.empty() && b.back() == '\0') b.remove_suffix(1);
      std::string out;
      for (char c : b) {
        if (c == '\0') {
          out += "\\0";
        } else {
          out.push_back(c);
        }
      }
      return out;
    }
    case REG_DWORD:
      if (b.size() != 4) return HexUpper(b);
      std::snprintf(buf, sizeof buf, "0x%" PRIx64, LittleEndian(b));
      return buf;
    case REG_QWORD:
      if (b.size() != 8) return HexUpper(b);
      std::snprintf(buf, sizeof buf, "0x%" PRIx64, LittleEndian(b));
      return buf;
    default:
      return HexUpper(b);
  }
}

void PrintValue(std::ostream& out, const std::string& name, const ValueData& v) {
  const char* type = TypeName(v.type);
  char unknown[16];
  if (type == nullptr) {
    std::snprintf(unknown, sizeof unknown, "0x%x", v.type);
    type = unknown;
  }
  out << "    " << (name.empty() ? "(Default)" : name) << "    " << type << "    "
      << FormatData(v) << "\n";
}

LONG ReadValue(HKEY key, const std::string& name, ValueData* v) {
  DWORD size = 0;
  LONG rc = RegQueryValueEx(key, name.c_str(), nullptr, &v->type, nullptr, &size);
  for (int attempt = 0; rc == 0 && attempt < 8; ++attempt) {
    v->bytes.resize(size);
    DWORD got = size;
    rc = RegQueryValueEx(key, name.c_str(), nullptr, &v->type,
                         reinterpret_cast<BYTE*>(v->bytes.data()), &got);
    if (rc == static_cast<LONG>(ERROR_MORE_DATA)) {  // grown meanwhile: ask again
      size = got;
      rc = 0;
      continue;
    }
    if (rc == 0) v->bytes.resize(got);
    return rc;
  }
  return rc;
}

LONG EnumValues(HKEY key, std::vector<std::pair<std::string, ValueData>>* values) {
  DWORD maxName = 0;
  LONG rc = RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            &maxName, nullptr, nullptr, nullptr);
  if (rc != 0) return rc;
  std::vector<char> name(std::size_t{MAX_VALUE_NAME} + 1);
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    rc = RegEnumValue(key, i, name.data(), &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) return 0;
    if (rc != 0) return rc;
    std::pair<std::string, ValueData> v;
    v.first.assign(name.data(), nameSize);
    rc = ReadValue(key, v.first, &v.second);
    if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) continue;  // deleted meanwhile
    if (rc != 0) return rc;
    values->push_back(std::move(v));
  }
}

LONG EnumSubkeys(HKEY key, std::vector<std::string>* names) {
  for (DWORD i = 0;; ++i) {
    char name[MAX_KEY_NAME + 1];
    DWORD size = sizeof name;
    LONG rc = RegEnumKeyEx(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) return 0;
    if (rc != 0) return rc;
    names->emplace_back(name, size);
  }
}

// ---- verbs -----------------------------------------------------------------------------------

int Fail(std::ostream& err, const std::string& message) {
  err << message << "\n";
  return 1;
}

int SyntaxError(std::ostream& err, std::string_view verb, const std::string& why) {
  err << "ERROR: Invalid syntax: " << why << ".\nType \"tarnreg " << verb
      << " --help\" for usage.\n";
  return 1;
}

// Checks the operand count and the /v-/ve exclusion shared by the key verbs.
bool CheckKeyVerb(const Args& a, std::string* why) {
  if (a.operands.empty()) {
    *why = "the key is missing";
    return false;
  }
  if (a.operands.size() > 1) {
    *why = "unexpected argument \"" + a.operands[1] + "\"";
    return false;
  }
  if (a.Has("v") && a.Has("ve")) {
    *why = "/v and /ve cannot be combined";
    return false;
  }
  return true;
}

// What a query prints: every value of a key, or only the one asked for, counted in `matches`.
struct QueryState {
  std::optional<std::string> only;  // the value asked for with /v or /ve
  bool recurse = false;
  int matches = 0;
};

LONG QueryKey(HKEY key, const std::string& path, QueryState* q, std::ostream& out) {
  std::vector<std::pair<std::string, ValueData>> values;
  LONG rc = EnumValues(key, &values);
  if (rc != 0) return rc;
  std::vector<std::string> children;
  rc = EnumSubkeys(key, &children);
  if (rc != 0) return rc;

  if (q->only) {
    const std::string wanted = Lower(*q->only);
    for (const auto& [name, data] : values) {
      if (Lower(name) != wanted) continue;
      out << path << "\n";
      PrintValue(out, name, data);
      out << "\n";
      ++q->matches;
    }
  } else {
    out << path << "\n";
    for (const auto& [name, data] : values) PrintValue(out, name, data);
    out << "\n";
    ++q->matches;
    if (!q->recurse) {
      for (const auto& child : children) out << path << "\\" << child << "\n";
    }
  }
  if (!q->recurse) return 0;
  for (const auto& child : children) {
    Key sub;
    rc = RegOpenKeyEx(key, child.c_str(), 0, KEY_READ, sub.Out());
    if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) continue;  // deleted meanwhile
    if (rc != 0) return rc;
    rc = QueryKey(sub.get(), path + "\\" + child, q, out);
    if (rc != 0) return rc;
  }
  return 0;
}

int Query(const Args& a, std::ostream& out, std::ostream& err) {
  std::string why;
  if (!CheckKeyVerb(a, &why)) return SyntaxError(err, "query", why);
  KeyArg k;
  if (!ParseKey(a.operands[0], &k, &why)) return Fail(err, "ERROR: " + why);
  Key key;
  LONG rc = RegOpenKeyEx(k.base(), k.subKey.c_str(), 0, KEY_READ, key.Out());
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  std::string path = RegKeyPath(key.get());
  path = path.empty() ? k.display : k.Prefix() + path;

  QueryState q;
  q.recurse = a.Has("s");
  if (a.Has("v")) q.only = a.switches.at("v");
  if (a.Has("ve")) q.only = "";

  if (q.only && !q.recurse) {
    // One value of one key, shown with its name as stored.
    std::vector<std::pair<std::string, ValueData>> values;
    rc = EnumValues(key.get(), &values);
    if (rc != 0) return Fail(err, DescribeStatus(rc));
    const std::string wanted = Lower(*q.only);
    for (const auto& [name, data] : values) {
      if (Lower(name) != wanted) continue;
      out << "\n" << path << "\n";
      PrintValue(out, name, data);
      out << "\n";
      return 0;
    }
    if (q.only->empty()) {
      // As reg shows it: every key has a default value, which may be unset.
      out << "\n" << path << "\n    (Default)    REG_SZ    (value not set)\n\n";
      return 0;
    }
    return Fail(err, kNotFound);
  }
  std::ostringstream buffer;
  buffer << "\n";
  rc = QueryKey(key.get(), path, &q, buffer);
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  out << buffer.str();
  if (q.only) {
    out << "End of search: " << q.matches << " match(es) found.\n";
    return q.matches > 0 ? 0 : 1;
  }
  return 0;
}

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* out) {
  if (text.empty()) return false;
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::uint64_t v = 0;
  for (char c : digits) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    if (v > (max - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  *out = v;
  return true;
}

// The bytes that /t TYPE /d DATA stand for; false with a message for data the type cannot hold.
bool BuildData(const std::string& typeName, const std::optional<std::string>& data, DWORD* type,
               std::string* bytes, std::string* why) {
  static const std::pair<const char*, DWORD> kTypes[] = {
      {"reg_sz", REG_SZ},         {"reg_expand_sz", REG_EXPAND_SZ}, {"reg_multi_sz", REG_MULTI_SZ},
      {"reg_dword", REG_DWORD},   {"reg_qword", REG_QWORD},         {"reg_binary", REG_BINARY},
      {"reg_none", REG_NONE},
  };
  const std::string t = Lower(typeName);
  bool known = false;
  for (const auto& [name, value] : kTypes) {
    if (t == name) {
      *type = value;
      known = true;
    }
  }
  if (!known) {
    *why = "Invalid type \"" + typeName +
           "\" (expected REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY "
           "or REG_NONE).";
    return false;
  }
  const std::string d = data.value_or("");
  bytes->clear();
  switch (*type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (d.find('\0') != std::string::npos) {
        *why = "Invalid data: text cannot hold a zero byte.";
        return false;
      }
      *bytes = d;
      bytes->push_back('\0');
      return true;
    case REG_MULTI_SZ: {
      // Items separated by the two characters \0; an empty item would end the list early.
      if (!d.empty()) {
        std::size_t start = 0;
        for (;;) {
          std::size_t cut = d.find("\\0", start);
          std::string item = d.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
          if (item.empty()) {
            *why = "Invalid data for REG_MULTI_SZ: an empty string cannot be one of the strings.";
            return false;
          }
          bytes->append(item).push_back('\0');
          if (cut == std::string::npos) break;
          start = cut + 2;
        }
      } else {
        bytes->push_back('\0');  // the empty list: an empty string, then the list's end
      }
      bytes->push_back('\0');
      return true;
    }
    case REG_DWORD:
    case REG_QWORD: {
      const bool dword = *type == REG_DWORD;
      std::uint64_t v = 0;
      if (data && !ParseUnsigned(d, dword ? 0xFFFFFFFFull : ~0ull, &v)) {
        *why = std::string("Invalid data for ") + (dword ? "REG_DWORD" : "REG_QWORD") + ": \"" +
               d + "\" (expected a decimal or 0x-hexadecimal number of at most " +
               (dword ? "32" : "64") + " bits).";
        return false;
      }
      for (int i = 0; i < (dword ? 4 : 8); ++i) bytes->push_back(static_cast<char>(v >> (8 * i)));
      return true;
    }
    default: {  // REG_BINARY, REG_NONE
      if (d.size() % 2 != 0) {
        *why = "Invalid data: \"" + d + "\" is not an even number of hexadecimal digits.";
        return false;
      }
      for (std::size_t i = 0; i < d.size(); i += 2) {
        std::uint64_t byte = 0;
        if (!ParseUnsigned("0x" + d.substr(i, 2), 0xFF, &byte)) {
          *why = "Invalid data: \"" + d + "\" is not made of hexadecimal digits.";
          return false;
        }
        bytes->push_back(static_cast<char>(byte));
      }
      return true;
    }
  }
}

int Add(const Args& a, std::ostream& out, std::ostream& err) {
  std::string why;
  if (!CheckKeyVerb(a, &why)) return SyntaxError(err, "add", why);
  const bool value = a.Has("v") || a.Has("ve");
  if (!value && (a.Has("t") || a.Has("d"))) {
    return SyntaxError(err, "add", "/t and /d need /v NAME or /ve");
  }
  KeyArg k;
  if (!ParseKey(a.operands[0], &k, &why)) return Fail(err, "ERROR: " + why);
  DWORD type = REG_SZ;
  std::string bytes;
  const std::string name = a.Has("v") ? a.switches.at("v") : "";
  if (value) {
    std::optional<std::string> data;
    if (a.Has("d")) data = a.switches.at("d");
    if (!BuildData(a.Has("t") ? a.switches.at("t") : "REG_SZ", data, &type, &bytes, &why)) {
      return Fail(err, "ERROR: " + why);
    }
  }
  // Everything happens in one transaction, so that the check for an existing value and the
  // write cannot be split by another process.
  RegTransaction transaction;
  if (transaction.status() != 0) return Fail(err, DescribeStatus(transaction.status()));
  Key key;
  LONG rc = RegCreateKeyEx(k.base(), k.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  if (value) {
    if (!a.Has("f")) {
      rc = RegQueryValueEx(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr);
      if (rc == 0) {
        return Fail(err, "ERROR: The value " + (name.empty() ? std::string("(Default)") : name) +
                             " of " + k.display +
                             " exists; add /f to overwrite it (tarnreg never prompts).");
      }
      if (rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return Fail(err, DescribeStatus(rc));
    }
    rc = RegSetValueEx(key.get(), name.c_str(), 0, type,
                       reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    if (rc != 0) return Fail(err, DescribeStatus(rc));
  }
  rc = transaction.Commit();
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  out << kDone << "\n";
  return 0;
}

int Delete(const Args& a, std::ostream& out, std::ostream& err) {
  std::string why;
  if (!CheckKeyVerb(a, &why)) return SyntaxError(err, "delete", why);
  KeyArg k;
  if (!ParseKey(a.operands[0], &k, &why)) return Fail(err, "ERROR: " + why);
  const bool value = a.Has("v") || a.Has("ve");
  if (!value && k.subKey.empty()) return Fail(err, "ERROR: A whole hive cannot be deleted.");
  const std::string name = a.Has("v") ? a.switches.at("v") : "";

  RegTransaction transaction;
  if (transaction.status() != 0) return Fail(err, DescribeStatus(transaction.status()));
  Key key;
  LONG rc = RegOpenKeyEx(k.base(), k.subKey.c_str(), 0, KEY_ALL_ACCESS, key.Out());
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  if (value) {
    rc = RegQueryValueEx(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != 0) return Fail(err, DescribeStatus(rc));
  }
  if (!a.Has("f")) {
    return Fail(err, "ERROR: Nothing was deleted: add /f to delete " +
                         (value ? "the value " + (name.empty() ? std::string("(Default)") : name) +
                                      " of " + k.display
                                : k.display + " and everything below it") +
                         " (tarnreg never prompts).");
  }
  rc = value ? RegDeleteValue(key.get(), name.c_str()) : RegDeleteTree(k.base(), k.subKey.c_str());
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  rc = transaction.Commit();
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  out << kDone << "\n";
  return 0;
}

int Import(const Args& a, std::ostream& out, std::ostream& err) {
  if (a.operands.size() != 1) {
    return SyntaxError(err, "import", a.operands.empty()
                                          ? std::string("the file is missing")
                                          : "unexpected argument \"" + a.operands[1] + "\"");
  }
  RegFileError error;
  if (!ImportRegFile(a.operands[0], &error)) return Fail(err, "ERROR: " + error.ToString());
  out << kDone << "\n";
  return 0;
}

// Writes `text` to `path` through a temporary file in the same directory, so that a failed
// export never leaves half a file behind.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* why) {
  const std::string temp = path + ".tarnreg-tmp";
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (!f) {
      *why = "cannot write " + temp + ": " + std::strerror(errno);
      return false;
    }
    f << text;
    f.flush();
    if (!f) {
      *why = "cannot write " + temp + ": " + std::strerror(errno);
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

int Export(const Args& a, std::ostream& out, std::ostream& err) {
  if (a.operands.empty() || a.operands.size() > 2) {
    return SyntaxError(err, "export", a.operands.empty()
                                          ? std::string("the key is missing")
                                          : "unexpected argument \"" + a.operands[2] + "\"");
  }
  KeyArg k;
  std::string why;
  if (!ParseKey(a.operands[0], &k, &why, false)) return Fail(err, "ERROR: " + why);
  if (a.operands.size() == 2 && !a.Has("y")) {
    struct stat st {};
    if (::stat(a.operands[1].c_str(), &st) == 0) {
      return Fail(err, "ERROR: " + a.operands[1] +
                           " exists; add /y to overwrite it (tarnreg never prompts).");
    }
  }
  std::string text;
  LONG rc = ExportRegText(k.display, &text);
  if (rc == static_cast<LONG>(ERROR_INVALID_DATA)) {
    return Fail(err, "ERROR: A key or value name below " + k.display +
                         " holds a line break, which a registry file cannot express.");
  }
  if (rc != 0) return Fail(err, DescribeStatus(rc));
  if (a.operands.size() == 1) {
    out << text;
    return 0;
  }
  if (!WriteFileAtomically(a.operands[1], text, &why)) return Fail(err, "ERROR: " + why);
  out << kDone << "\n";
  return 0;
}

}  // namespace

int RunTarnreg(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc < 2) {
    PrintUsage(err);
    return 1;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "/?" || first == "-?") {
    PrintUsage(out);
    return 0;
  }
  const std::string verb = Lower(first);
  struct Verb {
    const char* name;
    std::vector<SwitchSpec> switches;
    int (*run)(const Args&, std::ostream&, std::ostream&);
  };
  const Verb verbs[] = {
      {"import", {}, Import},
      {"export", {{"y", false}}, Export},
      {"query", {{"v", true}, {"ve", false}, {"s", false}}, Query},
      {"add", {{"v", true}, {"ve", false}, {"t", true}, {"d", true}, {"f", false}}, Add},
      {"delete", {{"v", true}, {"ve", false}, {"f", false}}, Delete},
  };
  for (const auto& v : verbs) {
    if (verb != v.name) continue;
    Args args;
    std::string why;
    if (!ParseArgs(argc - 2, argv + 2, v.switches, &args, &why)) {
      return SyntaxError(err, v.name, why);
    }
    if (args.help) {
      PrintVerbHelp(out, v.name);
      return 0;
    }
    return v.run(args, out, err);
  }
  err << "ERROR: Invalid syntax: unknown verb \"" << first << "\".\n";
  PrintUsage(err);
  return 1;
}

}  // namespace tarn::tools
