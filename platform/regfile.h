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
// An import is one registry transaction: the whole file is parsed first, and any error (with its
// file and line) leaves the registry as it was.
#pragma once

#include <string>
#include <string_view>

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

// Parses `text` (named `fileName` in errors) and applies it to the local registry.
bool ImportRegText(std::string_view text, const std::string& fileName, RegFileError* error);
bool ImportRegFile(const std::string& path, RegFileError* error);

// The key tree at `keyPath` as .reg text ("Windows Registry Editor Version 5.00"), in a form that
// ImportRegText reads back to the same keys, values and types. Returns a Windows error number.
LONG ExportRegText(std::string_view keyPath, std::string* out);

}  // namespace tarn::platform
