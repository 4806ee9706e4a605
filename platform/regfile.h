// Registry files (.reg text): the exchange format of the registry tool and of test fixtures.
//
// Accepted input: a "Windows Registry Editor Version 5.00" or "REGEDIT4" header line, then
// sections "[KEY]" (created when missing) or "[-KEY]" (the key tree deleted), each followed by
// value lines:
//   "name"="text"        @="text"               REG_SZ (the default value is @)
//   "name"=dword:0000002a                       REG_DWORD
//   "name"=hex:01,02     hex(2): hex(7): hex(b): REG_BINARY, REG_EXPAND_SZ, REG_MULTI_SZ,
//                                               REG_QWORD; hex(N): any other type N
//   "name"=-                                    the value deleted
// A line ending in a backslash continues on the next. Blank lines and lines starting with ';'
// are ignored. Keys name their hive in full (HKEY_LOCAL_MACHINE) or short (HKLM).
//
// Details of the text:
//   - The text is single-byte (ANSI) or UTF-8, with LF or CRLF line ends; a UTF-8 byte-order mark
//     is skipped. Both headers mean the same here: this system uses the ANSI registry calls, so
//     the bytes of hex(2) and hex(7) data are the value's ANSI bytes (not UTF-16 as a Windows
//     5.00 export holds them), exactly what RegQueryValueEx returns. A UTF-16 file is refused
//     with a message saying so.
//   - "text" data is stored as REG_SZ with its terminating zero, as Windows' own import does.
//     Inside quotes, \\ stands for a backslash and \" for a quote; any other backslash sequence
//     is an error.
//   - A continuation applies to value lines: the backslash is dropped and the next line is
//     appended without its leading blanks (hex data is exported that way, two blanks indented).
//   - The header must be the first line that is not blank. Every value line belongs to the
//     "[KEY]" section above it; a value line before any section, or in a "[-KEY]" section, is an
//     error. Deleting a key or value that does not exist is not an error.
//   - Key names are at most 255 characters, value names at most 16383; a key path has no empty
//     component, and a whole hive cannot be deleted.
//
// Export writes each key as a "[KEY]" line (the hive in full, names as stored), its values in
// their order, then a blank line, keys in enumeration order, depth first. A REG_SZ whose bytes
// are text with one terminating zero (no zero inside, no line break) is written as "text", a
// REG_DWORD of four bytes as dword:, anything else as hex:/hex(N): so that the bytes come back
// unchanged; hex lines are wrapped as Windows wraps them.
//
// An import is one registry transaction: the whole file is parsed first, and any error (with its
// file and line) leaves the registry as it was.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace tarn::platform {

struct RegFileError {
  std::string file;
  int line = 0;  // 0 when the error concerns the file as a whole
  std::string message;
  // "FILE:LINE: MESSAGE" (or "FILE: MESSAGE").
  std::string ToString() const;
};

// Splits "HKEY_LOCAL_MACHINE\\SOFTWARE\\X" (or "HKLM\\SOFTWARE\\X") into its root key and the
// path below it. False for an unknown hive.
bool SplitRootKey(std::string_view path, HKEY* root, std::string* subKey);

// One step of a parsed registry file, in file order.
struct RegFileStep {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  int line = 0;           // the line the step was read from
  HKEY root = nullptr;    // the hive
  std::string subKey;     // the key below the hive (empty: the hive itself)
  std::string keyPath;    // the key as the file names it, for messages
  std::string valueName;  // SetValue and DeleteValue; empty for the default value
  DWORD type = REG_NONE;  // SetValue
  std::string data;       // SetValue: the value's bytes
};

// Parses `text` (named `fileName` in errors) into its steps without touching the registry.
// False, with `error` filled (when not null), at the first error.
bool ParseRegText(std::string_view text, const std::string& fileName,
                  std::vector<RegFileStep>* steps, RegFileError* error);

// Parses `text` (named `fileName` in errors) and applies it to the local registry.
bool ImportRegText(std::string_view text, const std::string& fileName, RegFileError* error);
bool ImportRegFile(const std::string& path, RegFileError* error);

// The key tree at `keyPath` as .reg text ("Windows Registry Editor Version 5.00"), in a form that
// ImportRegText reads back to the same keys, values and types. Returns a Windows error number.
LONG ExportRegText(std::string_view keyPath, std::string* out);

}  // namespace tarn::platform
