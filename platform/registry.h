// The registry: Windows' hierarchical store of keys and typed values, kept in SQLite.
//
// What callers can rely on
//   - Hives HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS; HKEY_CLASSES_ROOT is
//     HKEY_LOCAL_MACHINE\SOFTWARE\Classes. Key paths separate their components with a backslash.
//   - Key and value names compare without regard to case and keep the case they were created
//     with. Subkeys enumerate in case-insensitive alphabetical order, values in creation order
//     (setting an existing value keeps its place).
//   - A handle carries the access rights it was opened with; an operation the rights do not
//     allow gives ERROR_ACCESS_DENIED (5). Querying values and key information needs
//     KEY_QUERY_VALUE, setting and deleting values KEY_SET_VALUE, enumerating subkeys
//     KEY_ENUMERATE_SUB_KEYS, creating a subkey KEY_CREATE_SUB_KEY on the parent.
//   - Views: this is a 64-bit process. KEY_WOW64_32KEY (0x200) on an open or create whose path
//     resolves from HKEY_LOCAL_MACHINE through SOFTWARE sends it to SOFTWARE\Wow6432Node;
//     KEY_WOW64_64KEY (0x100) and no flag leave it where it is.
//   - RegQueryValueEx's buffer rule: a null buffer asks for the size (0, size stored); a buffer
//     too small gives ERROR_MORE_DATA (234) with the size needed stored and the buffer untouched;
//     a missing value gives ERROR_FILE_NOT_FOUND (2).
//   - Enumeration by index: 0 first, ERROR_NO_MORE_ITEMS (259) past the end, ERROR_MORE_DATA
//     when the name buffer (counted in characters, room for the terminating zero included) is
//     short.
//   - RegDeleteKey refuses a key that has subkeys (5); a missing key gives 2. A handle to a key
//     that was deleted meanwhile gives ERROR_KEY_DELETED (1018).
//   - RegConnectRegistry("NAME" or "\\NAME") reaches the registry of machine NAME, kept under
//     machines/NAME/ of the platform root; an unknown machine gives ERROR_BAD_NETPATH (53). A
//     null or empty name, or this computer's name, is the local registry.
//
// Storage and concurrency
//   Each machine's registry is one SQLite database (registry.db, WAL mode) below the platform
//   root. Every call is one SQLite transaction, so several processes may read and write at once
//   and lose nothing: writers wait for each other through SQLite's busy handler. A handle names
//   its key by row id; a key removed by another process is noticed on the next call through the
//   handle. A process keeps one connection per store, shared by its threads under a mutex.
//   RegTransaction groups many calls of this process into one SQLite transaction (all or none).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wintypes.h"

namespace tarn::platform {

struct RegKeyObject;
struct RegStore;
using HKEY = RegKeyObject*;

// The predefined roots keep their Windows values, so a handle can be told from them by value.
// Like Windows' own, they are macros: usable anywhere, even in static initialisers.
inline HKEY PredefinedKey(std::uint32_t value) {
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(value));
}
#define HKEY_CLASSES_ROOT (::tarn::platform::PredefinedKey(0x80000000u))
#define HKEY_CURRENT_USER (::tarn::platform::PredefinedKey(0x80000001u))
#define HKEY_LOCAL_MACHINE (::tarn::platform::PredefinedKey(0x80000002u))
#define HKEY_USERS (::tarn::platform::PredefinedKey(0x80000003u))

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM DELETE = 0x00010000;
inline constexpr REGSAM READ_CONTROL = 0x00020000;
inline constexpr REGSAM WRITE_DAC = 0x00040000;
inline constexpr REGSAM WRITE_OWNER = 0x00080000;
inline constexpr REGSAM KEY_READ = 0x00020019;
inline constexpr REGSAM KEY_WRITE = 0x00020006;
inline constexpr REGSAM KEY_EXECUTE = KEY_READ;
inline constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;
inline constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;

// RegCreateKeyEx options and dispositions.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits Windows puts on names.
inline constexpr std::size_t MAX_KEY_NAME = 255;      // one key name, in characters
inline constexpr std::size_t MAX_VALUE_NAME = 16383;  // one value name, in characters

// The calls return a Windows error number (0 on success), as the Windows functions do.
LONG RegOpenKeyEx(HKEY key, const char* subKey, DWORD options, REGSAM sam, HKEY* result);
LONG RegCreateKeyEx(HKEY key, const char* subKey, DWORD reserved, const char* className,
                    DWORD options, REGSAM sam, const void* security, HKEY* result,
                    DWORD* disposition);
LONG RegCloseKey(HKEY key);

LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                     DWORD* dataSize);
LONG RegSetValueEx(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD dataSize);
LONG RegDeleteValue(HKEY key, const char* valueName);

// Deletes the subkey `subKey` of `key` (an empty name: the key itself). Refused while the key
// has subkeys. `sam` selects the view as in RegOpenKeyEx (RegDeleteKeyEx); RegDeleteKey uses 0.
LONG RegDeleteKey(HKEY key, const char* subKey);
LONG RegDeleteKeyEx(HKEY key, const char* subKey, REGSAM sam, DWORD reserved);
// Deletes the subkey and everything below it (an empty name: everything below `key`, which is
// kept, as Windows does).
LONG RegDeleteTree(HKEY key, const char* subKey);

// `nameSize`: in, the buffer's capacity in characters with the terminating zero; out, the
// length of the name without it.
LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                  char* className, DWORD* classSize, void* lastWriteTime);
LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                  DWORD* type, BYTE* data, DWORD* dataSize);
// Every output may be null. Lengths are in characters without the terminating zero.
LONG RegQueryInfoKey(HKEY key, char* className, DWORD* classSize, DWORD* reserved,
                     DWORD* subKeys, DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values,
                     DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD* securityDescriptor,
                     void* lastWriteTime);

LONG RegConnectRegistry(const char* machineName, HKEY key, HKEY* result);

// The full path of a key handle ("HKEY_LOCAL_MACHINE\\SOFTWARE\\..."), for messages and tools;
// empty for an invalid handle.
std::string RegKeyPath(HKEY key);

// A unit of work on the local registry of this process: every registry call this process makes
// between construction and Commit is applied at once or, if Commit is not reached, not at all.
// One at a time per process; other threads' calls wait until it ends.
class RegTransaction {
 public:
  RegTransaction();
  ~RegTransaction();  // rolls back unless committed
  RegTransaction(const RegTransaction&) = delete;
  RegTransaction& operator=(const RegTransaction&) = delete;

  LONG status() const { return status_; }  // 0 when the transaction began
  LONG Commit();

 private:
  LONG status_;
  RegStore* store_;
};

}  // namespace tarn::platform
