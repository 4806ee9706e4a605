// Registry files: parsing, import as one transaction, and export. The format is described in
// regfile.h. The parser never touches the registry, so that a file with an error anywhere changes
// nothing and the parser alone can be fuzzed.
#include "platform/regfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/registry.h"
#include "platform/winerror.h"

namespace tarn::platform {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1 to `maxDigits` hexadecimal digits and nothing else.
bool ParseHexNumber(std::string_view s, std::size_t maxDigits, std::uint32_t* out) {
  if (s.empty() || s.size() > maxDigits) return false;
  std::uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  *out = v;
  return true;
}

// A printable, bounded excerpt of the input for messages: control bytes become '?' and long
// texts are cut, so a message stays one readable line whatever the file holds.
std::string Excerpt(std::string_view s) {
  constexpr std::size_t kMax = 40;
  std::string out;
  for (std::size_t i = 0; i < s.size() && i < kMax; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
  }
  if (s.size() > kMax) out += "...";
  return out;
}

std::string DescribeError(LONG status) {
  const char* text = nullptr;
  switch (static_cast<DWORD>(status)) {
    case ERROR_FILE_NOT_FOUND: text = "not found"; break;
    case ERROR_PATH_NOT_FOUND: text = "path not found"; break;
    case ERROR_ACCESS_DENIED: text = "access denied"; break;
    case ERROR_INVALID_HANDLE: text = "invalid handle"; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: text = "not enough memory"; break;
    case ERROR_INVALID_DATA: text = "invalid data"; break;
    case ERROR_INVALID_PARAMETER: text = "invalid parameter"; break;
    case ERROR_BADKEY: text = "bad key name"; break;
    case ERROR_KEY_DELETED: text = "the key was deleted"; break;
    case ERROR_CANTWRITE: text = "the registry cannot be written"; break;
    case ERROR_BADDB: text = "the registry store is damaged"; break;
    default: break;
  }
  std::string out = text ? std::string(text) + " " : std::string();
  out += "(error " + std::to_string(status) + ")";
  return out;
}

class Parser {
 public:
  Parser(std::string_view text, const std::string& fileName, std::vector<RegFileStep>* steps,
         RegFileError* error)
      : text_(text), fileName_(fileName), steps_(steps), error_(error) {}

  bool Run();

 private:
  // The next physical line without its line end; false at the end of the text.
  bool NextLine(std::string_view* line);
  bool Fail(int line, std::string message);
  bool ParseHeader();
  bool ParseKeyLine(std::string_view line, int lineNo);
  bool ParseValueLine(std::string_view line, int lineNo);
  // Reads a quoted text starting at s[0] == '"'; on success `s` is left after the closing quote.
  bool ParseQuoted(std::string_view* s, std::string* out, int lineNo, const char* what);
  bool ParseHexBytes(std::string_view s, std::string* out, int lineNo);

  std::string_view text_;
  std::size_t pos_ = 0;
  int lineNo_ = 0;  // number of the last line returned by NextLine
  const std::string& fileName_;
  std::vector<RegFileStep>* steps_;
  RegFileError* error_;
  // The section that value lines belong to: none yet, a key being set, or a key being deleted.
  enum class Section { None, Key, Delete } section_ = Section::None;
  RegFileStep sectionKey_;
};

bool Parser::Fail(int line, std::string message) {
  if (error_) {
    error_->file = fileName_;
    error_->line = line;
    error_->message = std::move(message);
  }
  return false;
}

bool Parser::NextLine(std::string_view* line) {
  if (pos_ >= text_.size()) return false;
  std::size_t end = text_.find('\n', pos_);
  if (end == std::string_view::npos) end = text_.size();
  std::string_view l = text_.substr(pos_, end - pos_);
  if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
  pos_ = end + 1;
  ++lineNo_;
  *line = l;
  return true;
}

bool Parser::ParseHeader() {
  std::string_view line;
  while (NextLine(&line)) {
    std::string_view t = Trim(line);
    if (t.empty()) continue;
    if (t == kHeader5 || t == kHeader4) return true;
    return Fail(lineNo_, "expected the header \"" + std::string(kHeader5) + "\" or \"" +
                             std::string(kHeader4) + "\", found \"" + Excerpt(t) + "\"");
  }
  return Fail(lineNo_ == 0 ? 1 : lineNo_,
              "the file is empty: expected the header \"" + std::string(kHeader5) + "\" or \"" +
                  std::string(kHeader4) + "\"");
}

bool Parser::Run() {
  if (text_.size() >= 2 && ((static_cast<unsigned char>(text_[0]) == 0xFF &&
                             static_cast<unsigned char>(text_[1]) == 0xFE) ||
                            (static_cast<unsigned char>(text_[0]) == 0xFE &&
                             static_cast<unsigned char>(text_[1]) == 0xFF))) {
    return Fail(1, "the file is UTF-16 text; save it as UTF-8 or ANSI text");
  }
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  if (!ParseHeader()) return false;

  std::string_view line;
  while (NextLine(&line)) {
    const int start = lineNo_;
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';') continue;
    if (t.front() == '[') {
      if (!ParseKeyLine(t, start)) return false;
      continue;
    }
    if (t.front() != '"' && t.front() != '@') {
      return Fail(start, "unrecognised line \"" + Excerpt(t) +
                             "\" (expected [KEY], \"NAME\"=DATA, @=DATA or a ; comment)");
    }
    // A value line: join its continuation lines first.
    std::string joined;
    bool continued = false;
    while (!t.empty() && t.back() == '\\') {
      if (!continued) joined.assign(t.data(), t.size());
      continued = true;
      joined.pop_back();
      std::string_view next;
      if (!NextLine(&next)) {
        return Fail(start, "the file ends inside a value continued with a backslash");
      }
      std::string_view n = Trim(next);
      joined.append(n.data(), n.size());
      t = std::string_view(joined);
    }
    if (!ParseValueLine(t, start)) return false;
  }
  return true;
}

bool Parser::ParseKeyLine(std::string_view t, int lineNo) {
  if (t.back() != ']' || t.size() < 2) {
    return Fail(lineNo, "a key line must end with ']': \"" + Excerpt(t) + "\"");
  }
  std::string_view path = t.substr(1, t.size() - 2);
  bool remove = false;
  if (!path.empty() && path.front() == '-') {
    remove = true;
    path.remove_prefix(1);
  }
  if (path.empty()) return Fail(lineNo, "empty key name in \"" + Excerpt(t) + "\"");
  RegFileStep step;
  step.line = lineNo;
  step.keyPath.assign(path.data(), path.size());
  if (!SplitRootKey(path, &step.root, &step.subKey)) {
    std::string_view hive = path.substr(0, path.find('\\'));
    return Fail(lineNo, "unknown hive \"" + Excerpt(hive) +
                            "\" (expected HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, "
                            "HKEY_CLASSES_ROOT or their short forms HKLM, HKCU, HKU, HKCR)");
  }
  if (path.find('\\') != std::string_view::npos) {
    // Every component below the hive must be a real key name.
    std::string_view rest = step.subKey;
    for (;;) {
      std::size_t cut = rest.find('\\');
      std::string_view name = rest.substr(0, cut);
      if (name.empty()) {
        return Fail(lineNo, "empty key name in the path \"" + Excerpt(path) + "\"");
      }
      if (name.size() > MAX_KEY_NAME) {
        return Fail(lineNo, "key name longer than " + std::to_string(MAX_KEY_NAME) +
                                " characters in \"" + Excerpt(path) + "\"");
      }
      if (cut == std::string_view::npos) break;
      rest.remove_prefix(cut + 1);
    }
  }
  if (remove && step.subKey.empty()) {
    return Fail(lineNo, "a whole hive cannot be deleted: \"" + Excerpt(t) + "\"");
  }
  step.kind = remove ? RegFileStep::Kind::DeleteKey : RegFileStep::Kind::CreateKey;
  section_ = remove ? Section::Delete : Section::Key;
  sectionKey_ = step;
  if (steps_) steps_->push_back(std::move(step));
  return true;
}

bool Parser::ParseQuoted(std::string_view* s, std::string* out, int lineNo, const char* what) {
  std::string_view in = *s;
  out->clear();
  std::size_t i = 1;  // after the opening quote
  for (;;) {
    if (i >= in.size()) return Fail(lineNo, std::string("unterminated ") + what);
    char c = in[i];
    if (c == '"') break;
    if (c == '\\') {
      if (i + 1 >= in.size()) return Fail(lineNo, std::string("unterminated ") + what);
      char e = in[i + 1];
      if (e != '\\' && e != '"') {
        return Fail(lineNo, std::string("unknown escape sequence \"\\") + Excerpt({&e, 1}) +
                                "\" in " + what + " (only \\\\ and \\\" are known)");
      }
      out->push_back(e);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  s->remove_prefix(i + 1);
  return true;
}

bool Parser::ParseHexBytes(std::string_view s, std::string* out, int lineNo) {
  out->clear();
  s = Trim(s);
  if (s.empty()) return true;
  for (;;) {
    std::size_t cut = s.find(',');
    std::string_view item = Trim(s.substr(0, cut));
    std::uint32_t byte = 0;
    if (item.empty()) {
      return Fail(lineNo, "bad hex data: a byte is missing between commas or at the end");
    }
    if (!ParseHexNumber(item, 2, &byte)) {
      return Fail(lineNo, "bad hex data: \"" + Excerpt(item) +
                              "\" is not a byte of one or two hexadecimal digits");
    }
    out->push_back(static_cast<char>(byte));
    if (cut == std::string_view::npos) return true;
    s.remove_prefix(cut + 1);
  }
}

bool Parser::ParseValueLine(std::string_view t, int lineNo) {
  if (section_ == Section::None) {
    return Fail(lineNo, "a value line before any [KEY] line");
  }
  if (section_ == Section::Delete) {
    return Fail(lineNo, "a value line in the section [-" + Excerpt(sectionKey_.keyPath) +
                            "], which deletes the key");
  }
  RegFileStep step;
  step.line = lineNo;
  if (t.front() == '@') {
    t.remove_prefix(1);
  } else {
    if (!ParseQuoted(&t, &step.valueName, lineNo, "value name")) return false;
    if (step.valueName.size() > MAX_VALUE_NAME) {
      return Fail(lineNo, "value name longer than " + std::to_string(MAX_VALUE_NAME) +
                              " characters");
    }
  }
  t = TrimLeft(t);
  if (t.empty() || t.front() != '=') {
    return Fail(lineNo, "expected '=' after the value name");
  }
  t = TrimLeft(t.substr(1));
  step.root = sectionKey_.root;
  step.subKey = sectionKey_.subKey;
  step.keyPath = sectionKey_.keyPath;

  if (t.empty()) return Fail(lineNo, "the value has no data");
  if (t.front() == '"') {
    if (!ParseQuoted(&t, &step.data, lineNo, "text value")) return false;
    if (!Trim(t).empty()) {
      return Fail(lineNo, "unexpected text \"" + Excerpt(Trim(t)) + "\" after the value");
    }
    step.kind = RegFileStep::Kind::SetValue;
    step.type = REG_SZ;
    step.data.push_back('\0');  // stored with its terminating zero
  } else if (t.front() == '-') {
    if (!Trim(t.substr(1)).empty()) {
      return Fail(lineNo, "unexpected text \"" + Excerpt(Trim(t.substr(1))) + "\" after '-'");
    }
    step.kind = RegFileStep::Kind::DeleteValue;
  } else if (StartsWithNoCase(t, "dword:")) {
    std::string_view digits = Trim(t.substr(6));
    std::uint32_t v = 0;
    if (!ParseHexNumber(digits, 8, &v)) {
      return Fail(lineNo, "bad dword value \"" + Excerpt(digits) +
                              "\" (expected 1 to 8 hexadecimal digits)");
    }
    step.kind = RegFileStep::Kind::SetValue;
    step.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) step.data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  } else if (StartsWithNoCase(t, "hex:")) {
    step.kind = RegFileStep::Kind::SetValue;
    step.type = REG_BINARY;
    if (!ParseHexBytes(t.substr(4), &step.data, lineNo)) return false;
  } else if (StartsWithNoCase(t, "hex(")) {
    std::size_t close = t.find(')');
    std::uint32_t type = 0;
    if (close == std::string_view::npos || !ParseHexNumber(t.substr(4, close - 4), 8, &type)) {
      return Fail(lineNo, "bad value type in \"" + Excerpt(t) +
                              "\" (expected hex(N): with N of 1 to 8 hexadecimal digits)");
    }
    if (close + 1 >= t.size() || t[close + 1] != ':') {
      return Fail(lineNo, "expected ':' after \"" + Excerpt(t.substr(0, close + 1)) + "\"");
    }
    step.kind = RegFileStep::Kind::SetValue;
    step.type = type;
    if (!ParseHexBytes(t.substr(close + 2), &step.data, lineNo)) return false;
  } else {
    return Fail(lineNo, "unrecognised value data \"" + Excerpt(t) +
                            "\" (expected \"text\", dword:, hex:, hex(N): or -)");
  }
  if (steps_) steps_->push_back(std::move(step));
  return true;
}

// Closes a key handle when it goes out of scope.
class KeyHolder {
 public:
  KeyHolder() = default;
  ~KeyHolder() { Reset(); }
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  HKEY* Out() {
    Reset();
    return &key_;
  }
  HKEY get() const { return key_; }
  void Reset() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

const char* HiveName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (root == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (root == HKEY_USERS) return "HKEY_USERS";
  if (root == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  return "";
}

bool ApplySteps(const std::vector<RegFileStep>& steps, const std::string& fileName,
                RegFileError* error) {
  auto fail = [&](int line, std::string message) {
    if (error) {
      error->file = fileName;
      error->line = line;
      error->message = std::move(message);
    }
    return false;
  };
  RegTransaction transaction;
  if (transaction.status() != 0) {
    return fail(0, "cannot begin a registry transaction: " + DescribeError(transaction.status()));
  }
  KeyHolder current;
  for (const RegFileStep& step : steps) {
    LONG rc = 0;
    switch (step.kind) {
      case RegFileStep::Kind::CreateKey:
        rc = RegCreateKeyEx(step.root, step.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, current.Out(), nullptr);
        if (rc != 0) {
          return fail(step.line, "cannot create the key \"" + step.keyPath + "\": " +
                                     DescribeError(rc));
        }
        break;
      case RegFileStep::Kind::DeleteKey:
        current.Reset();
        rc = RegDeleteTree(step.root, step.subKey.c_str());
        if (rc != 0 && rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
          return fail(step.line, "cannot delete the key \"" + step.keyPath + "\": " +
                                     DescribeError(rc));
        }
        break;
      case RegFileStep::Kind::SetValue:
        rc = RegSetValueEx(current.get(), step.valueName.c_str(), 0, step.type,
                           reinterpret_cast<const BYTE*>(step.data.data()),
                           static_cast<DWORD>(step.data.size()));
        if (rc != 0) {
          return fail(step.line, "cannot set the value \"" + Excerpt(step.valueName) +
                                     "\" of \"" + step.keyPath + "\": " + DescribeError(rc));
        }
        break;
      case RegFileStep::Kind::DeleteValue:
        rc = RegDeleteValue(current.get(), step.valueName.c_str());
        if (rc != 0 && rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) {
          return fail(step.line, "cannot delete the value \"" + Excerpt(step.valueName) +
                                     "\" of \"" + step.keyPath + "\": " + DescribeError(rc));
        }
        break;
    }
  }
  current.Reset();
  LONG rc = transaction.Commit();
  if (rc != 0) return fail(0, "cannot commit the registry transaction: " + DescribeError(rc));
  return true;
}

// Text that a quoted .reg string gives back unchanged: no zero byte (it would end the value
// early) and no line break (it would end the line).
bool QuotableText(std::string_view s) {
  return s.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

void AppendQuoted(std::string* out, std::string_view s) {
  out->push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// Hex data wrapped as Windows wraps it: a line is cut after the comma that takes it to 77
// characters or more, ends with a backslash, and the next line is indented by two blanks.
void AppendHex(std::string* out, std::size_t lineStart, const BYTE* data, DWORD size) {
  static const char kDigits[] = "0123456789abcdef";
  std::size_t column = out->size() - lineStart;
  for (DWORD i = 0; i < size; ++i) {
    out->push_back(kDigits[data[i] >> 4]);
    out->push_back(kDigits[data[i] & 0x0F]);
    column += 2;
    if (i + 1 < size) {
      out->push_back(',');
      ++column;
      if (column >= 77) {
        out->append("\\\n  ");
        column = 2;
      }
    }
  }
}

LONG ExportValue(std::string* out, const std::string& name, DWORD type, const BYTE* data,
                 DWORD size) {
  if (!QuotableText(name)) return static_cast<LONG>(ERROR_INVALID_DATA);
  std::size_t lineStart = out->size();
  if (name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(out, name);
  }
  out->push_back('=');
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (type == REG_SZ && size >= 1 && bytes.back() == '\0' &&
      QuotableText(bytes.substr(0, size - 1))) {
    AppendQuoted(out, bytes.substr(0, size - 1));
  } else if (type == REG_DWORD && size == 4) {
    char buf[16];
    std::uint32_t v = static_cast<std::uint32_t>(data[0]) |
                      (static_cast<std::uint32_t>(data[1]) << 8) |
                      (static_cast<std::uint32_t>(data[2]) << 16) |
                      (static_cast<std::uint32_t>(data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    out->append(buf);
  } else {
    if (type == REG_BINARY) {
      out->append("hex:");
    } else {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%x):", type);
      out->append(buf);
    }
    AppendHex(out, lineStart, data, size);
  }
  out->push_back('\n');
  return 0;
}

LONG ExportKey(HKEY key, const std::string& path, std::string* out) {
  if (!QuotableText(path)) return static_cast<LONG>(ERROR_INVALID_DATA);
  out->append("[").append(path).append("]\n");

  DWORD maxName = 0, maxData = 0;
  LONG rc = RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            &maxName, &maxData, nullptr, nullptr);
  if (rc != 0) return rc;
  std::vector<char> name(static_cast<std::size_t>(maxName) + 1);
  std::vector<BYTE> data(static_cast<std::size_t>(maxData) + 1);
  int remeasured = 0;
  for (DWORD index = 0;;) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    rc = RegEnumValue(key, index, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (rc == static_cast<LONG>(ERROR_MORE_DATA) && remeasured < 8) {
      // Another process made a name or value longer since the key was measured: measure again.
      ++remeasured;
      rc = RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &maxName, &maxData, nullptr, nullptr);
      if (rc != 0) return rc;
      name.resize(std::max<std::size_t>(name.size(), static_cast<std::size_t>(maxName) + 1));
      data.resize(std::max<std::size_t>(
          {data.size(), static_cast<std::size_t>(maxData) + 1, static_cast<std::size_t>(dataSize)}));
      continue;
    }
    if (rc != 0) return rc;
    rc = ExportValue(out, std::string(name.data(), nameSize), type, data.data(), dataSize);
    if (rc != 0) return rc;
    ++index;
  }
  out->push_back('\n');

  std::vector<std::string> children;
  for (DWORD index = 0;; ++index) {
    char child[MAX_KEY_NAME + 1];
    DWORD childSize = sizeof child;
    rc = RegEnumKeyEx(key, index, child, &childSize, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (rc != 0) return rc;
    children.emplace_back(child, childSize);
  }
  for (const std::string& child : children) {
    KeyHolder sub;
    rc = RegOpenKeyEx(key, child.c_str(), 0, KEY_READ, sub.Out());
    if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) continue;  // deleted meanwhile
    if (rc != 0) return rc;
    rc = ExportKey(sub.get(), path + "\\" + child, out);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

std::string RegFileError::ToString() const {
  if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
  return file + ": " + message;
}

bool SplitRootKey(std::string_view path, HKEY* root, std::string* subKey) {
  static const struct {
    std::string_view longName, shortName;
    std::uint32_t value;
  } kHives[] = {
      {"HKEY_LOCAL_MACHINE", "HKLM", 0x80000002u},
      {"HKEY_CURRENT_USER", "HKCU", 0x80000001u},
      {"HKEY_USERS", "HKU", 0x80000003u},
      {"HKEY_CLASSES_ROOT", "HKCR", 0x80000000u},
  };
  std::size_t cut = path.find('\\');
  std::string_view hive = path.substr(0, cut);
  for (const auto& h : kHives) {
    if (EqualsNoCase(hive, h.longName) || EqualsNoCase(hive, h.shortName)) {
      if (root) *root = PredefinedKey(h.value);
      if (subKey) {
        if (cut == std::string_view::npos) {
          subKey->clear();
        } else {
          subKey->assign(path.substr(cut + 1));
        }
      }
      return true;
    }
  }
  return false;
}

bool ParseRegText(std::string_view text, const std::string& fileName,
                  std::vector<RegFileStep>* steps, RegFileError* error) {
  if (steps) steps->clear();
  Parser parser(text, fileName, steps, error);
  return parser.Run();
}

bool ImportRegText(std::string_view text, const std::string& fileName, RegFileError* error) {
  std::vector<RegFileStep> steps;
  if (!ParseRegText(text, fileName, &steps, error)) return false;
  return ApplySteps(steps, fileName, error);
}

bool ImportRegFile(const std::string& path, RegFileError* error) {
  auto fail = [&](std::string message) {
    if (error) {
      error->file = path;
      error->line = 0;
      error->message = std::move(message);
    }
    return false;
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    return fail("cannot open the file: " + std::string(std::strerror(err)) + " (error " +
                std::to_string(WinErrorFromErrno(err, ErrnoSource::File, path.c_str())) + ")");
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("cannot read the file: it is not a regular file");
  }
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      return fail("cannot read the file: " + std::string(std::strerror(err)));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ImportRegText(text, path, error);
}

LONG ExportRegText(std::string_view keyPath, std::string* out) {
  HKEY root = nullptr;
  std::string subKey;
  if (!out) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  if (!SplitRootKey(keyPath, &root, &subKey)) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  KeyHolder key;
  LONG rc = RegOpenKeyEx(root, subKey.c_str(), 0, KEY_READ, key.Out());
  if (rc != 0) return rc;
  // The path as stored (its case, HKEY_CLASSES_ROOT resolved), so the file names the keys the
  // way the registry holds them.
  std::string path = RegKeyPath(key.get());
  if (path.empty()) {
    path = HiveName(root);
    if (!subKey.empty()) path += "\\" + subKey;
  }
  std::string text(kHeader5);
  text.append("\n\n");
  rc = ExportKey(key.get(), path, &text);
  if (rc != 0) return rc;
  *out = std::move(text);
  return 0;
}

}  // namespace tarn::platform
