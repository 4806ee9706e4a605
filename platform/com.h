// COM: the component object model the update utility uses to talk to the update-service agent.
//
// What the layer gives
//   - Apartments: CoInitialize / CoInitializeEx / CoUninitialize, counted per thread. The first
//     initialisation of a thread answers S_OK, later ones S_FALSE (the count still grows); asking
//     for the other concurrency model while initialised answers RPC_E_CHANGED_MODE without
//     counting. Object creation on a thread that is not initialised answers CO_E_NOTINITIALIZED.
//   - Creation: CoCreateInstance / CoGetClassObject look the class up under
//     HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, whose default value is the path of a shared
//     object exporting `DllGetClassObject` (see DllGetClassObjectFunction). The object is loaded
//     with dlopen and stays loaded for the life of the process, as Windows keeps a server loaded
//     until CoFreeUnusedLibraries (which this layer does not offer). A class that is not
//     registered (no key, no path, or a context without CLSCTX_INPROC_SERVER: only in-process
//     servers exist here) answers REGDB_E_CLASSNOTREG 0x80040154; a server file that cannot be
//     loaded answers 0x8007007E; a file without `DllGetClassObject` CO_E_ERRORINDLL.
//   - Interfaces are C++ classes whose virtual functions sit in the slot order of the Windows
//     interface: IUnknown's QueryInterface, AddRef and Release are slots 0, 1 and 2. They have no
//     virtual destructor (it would take a slot); objects delete themselves in Release.
//   - COM strings (BSTR): length-prefixed UTF-16 (a 32-bit byte count before the first
//     character, a terminating zero after the last), allocated by SysAllocString and friends and
//     freed by SysFreeString. A null BSTR is the empty string. Texts of the product are ANSI, code
//     page 1252 (GetACP); MultiByteToWideChar and WideCharToMultiByte convert.
//   - Error information: a per-thread slot (SetErrorInfo / GetErrorInfo) holding an IErrorInfo
//     that an object fills (CreateErrorInfo) before it returns a failure; ISupportErrorInfo tells
//     which interfaces do so.
//   - ComError and ComString: the client-side helpers of the utility's COM layer (the COM error
//     raised when a call fails, and a reference-counted COM string that raises that error when
//     it cannot allocate).
//
// Threads: initialisation, the error slot and the allocation limit for tests are per thread;
// everything else may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/wintypes.h"

namespace tarn::platform {

using UINT = std::uint32_t;
using OLECHAR = char16_t;  // one UTF-16 code unit, as Windows' 16-bit WCHAR
using BSTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

// ---- Identifiers ----------------------------------------------------------------------------

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal, as the registry keeps it.
std::string StringFromGUID(const GUID& guid);
// Reads the braced form (either case). E_INVALIDARG (as CO_E_CLASSSTRING would) for anything
// else, `guid` unchanged.
HRESULT CLSIDFromString(std::string_view text, GUID* guid);

// ---- Status values --------------------------------------------------------------------------

inline constexpr HRESULT MakeHresult(std::uint32_t value) { return static_cast<HRESULT>(value); }
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return error == 0 ? 0 : MakeHresult((error & 0xFFFFu) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
inline constexpr HRESULT CO_E_NOTINITIALIZED = MakeHresult(0x800401F0u);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9u);
inline constexpr HRESULT RPC_E_CHANGED_MODE = MakeHresult(0x80010106u);

// ---- Interfaces -----------------------------------------------------------------------------

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;  // slot 0
  virtual ULONG AddRef() = 0;                                      // slot 1
  virtual ULONG Release() = 0;                                     // slot 2

 protected:
  ~IUnknown() = default;  // objects are destroyed through Release, never through the interface
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;  // slot 3
  virtual HRESULT LockServer(BOOL lock) = 0;                                      // slot 4

 protected:
  ~IClassFactory() = default;
};

struct IErrorInfo : IUnknown {
  virtual HRESULT GetGUID(GUID* guid) = 0;                // slot 3
  virtual HRESULT GetSource(BSTR* source) = 0;            // slot 4
  virtual HRESULT GetDescription(BSTR* description) = 0;  // slot 5
  virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;        // slot 6
  virtual HRESULT GetHelpContext(DWORD* helpContext) = 0; // slot 7

 protected:
  ~IErrorInfo() = default;
};

struct ICreateErrorInfo : IUnknown {
  virtual HRESULT SetGUID(REFIID guid) = 0;                     // slot 3
  virtual HRESULT SetSource(LPCOLESTR source) = 0;              // slot 4
  virtual HRESULT SetDescription(LPCOLESTR description) = 0;    // slot 5
  virtual HRESULT SetHelpFile(LPCOLESTR helpFile) = 0;          // slot 6
  virtual HRESULT SetHelpContext(DWORD helpContext) = 0;        // slot 7

 protected:
  ~ICreateErrorInfo() = default;
};

struct ISupportErrorInfo : IUnknown {
  // S_OK when the object fills the thread's error information for failures of `iid`.
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) = 0;  // slot 3

 protected:
  ~ISupportErrorInfo() = default;
};

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IErrorInfo = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_ICreateErrorInfo = {0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_ISupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

// ---- Apartments and creation ----------------------------------------------------------------

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

// The plain initialisation: a single-threaded apartment. `reserved` must be null.
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
// Undoes one initialisation of the calling thread; the last one also drops the thread's error
// information. Without a matching initialisation it does nothing.
void CoUninitialize();
// How many initialisations of the calling thread are outstanding (0: not initialised).
ULONG CoInitializeCount();

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID iid, void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);

// What an in-process server exports, by this name, with C linkage.
using DllGetClassObjectFunction = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);

// ---- COM strings and code pages -------------------------------------------------------------

// Allocation answers null when memory is short, or when the length is beyond what the 32-bit
// byte count can hold.
BSTR SysAllocString(LPCOLESTR text);
BSTR SysAllocStringLen(LPCOLESTR text, UINT length);  // `text` null: `length` zeroed characters
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);      // characters, without the terminating zero; 0 for null
UINT SysStringByteLen(BSTR text);  // bytes, without the terminating zero; 0 for null

// Fault injection for tests: after `allowed` more successful allocations on the calling thread,
// every COM string allocation fails as if memory were exhausted. A negative value removes the
// limit (the default).
void SetComStringAllocationLimit(long allowed);

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_WINDOWS_1252 = 1252;
// The ANSI code page of this machine: Western European, 1252.
UINT GetACP();

// Windows' conversion contract: `sourceLength` -1 converts up to and including the terminating
// zero; `destinationLength` 0 asks for the length needed (in characters); a destination too short
// answers 0 with ERROR_INSUFFICIENT_BUFFER as the last error. Only CP_ACP and 1252 are known
// (others: 0 with ERROR_INVALID_PARAMETER). Characters that code page 1252 cannot show become
// `defaultChar` ('?' when null) and set *usedDefault.
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* source, int sourceLength,
                        OLECHAR* destination, int destinationLength);
int WideCharToMultiByte(UINT codePage, DWORD flags, const OLECHAR* source, int sourceLength,
                        char* destination, int destinationLength, const char* defaultChar,
                        BOOL* usedDefault);

// The ANSI text as a new COM string (null when the allocation fails), and back.
BSTR ConvertStringToBSTR(const char* text);
std::string ConvertBSTRToString(BSTR text);

// ---- Error information ----------------------------------------------------------------------

// A new error object, to be filled and then handed to SetErrorInfo (through IErrorInfo).
HRESULT CreateErrorInfo(ICreateErrorInfo** object);
// Replaces the calling thread's error information (null clears it); the slot holds a reference.
HRESULT SetErrorInfo(DWORD reserved, IErrorInfo* info);
// Hands the thread's error information to the caller and clears the slot: S_OK with the object,
// or S_FALSE and null when there is none.
HRESULT GetErrorInfo(DWORD reserved, IErrorInfo** info);

// ---- Client helpers: the COM error and the COM string ---------------------------------------

// The error raised when a call through an interface fails: the status, the interface pointer
// (a reference is held while the error lives), the interface identifier, and the description the
// object gave through the thread's error information, when it supports it for that interface.
class ComError : public std::exception {
 public:
  ComError(HRESULT status, IUnknown* object, const IID& iid, std::string description);
  explicit ComError(HRESULT status);
  ComError(const ComError& other);
  ComError& operator=(const ComError& other);
  ~ComError() override;

  HRESULT Error() const { return status_; }
  IUnknown* Object() const { return object_; }
  const IID& Interface() const { return iid_; }
  // The object's description; empty when it gave none.
  const std::string& Description() const { return description_; }
  // A fixed text for the status ("Class not registered", ...), or "Unknown error 0xXXXXXXXX".
  std::string ErrorMessage() const;
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  HRESULT status_;
  IUnknown* object_;
  IID iid_;
  std::string description_;
  std::string what_;
};

// Raises the COM error for a failed call through `object` (of interface `iid`): reads the
// object's error description when it supports error information for `iid`. The thread's error
// information is consumed either way, so a stale description never reaches a later error.
[[noreturn]] void ComIssueErrorEx(HRESULT status, IUnknown* object, const IID& iid);
// Raises the COM error for a failed call without an object (out of memory, for example).
[[noreturn]] void ComIssueError(HRESULT status);
// Raises the COM error when `status` is negative; returns it otherwise.
HRESULT ComCheck(HRESULT status, IUnknown* object, const IID& iid);

// A reference-counted COM string: copies share one BSTR, which is freed with the last copy. Made
// from ANSI text, it is converted to UTF-16 at once; the ANSI form is made on demand. An
// allocation that fails raises ComError with E_OUTOFMEMORY.
class ComString {
 public:
  ComString() = default;
  ComString(const char* ansi);           // NOLINT(google-explicit-constructor): like a text
  ComString(std::string_view ansi);      // NOLINT(google-explicit-constructor)
  ComString(const ComString& other);
  ComString& operator=(const ComString& other);
  ~ComString();

  BSTR bstr() const;               // the shared COM string; null for the empty string
  UINT length() const;             // in UTF-16 characters
  bool empty() const { return length() == 0; }
  std::string ansi() const;        // the text in the ANSI code page

 private:
  struct Shared;
  void Drop();
  Shared* shared_ = nullptr;
};

}  // namespace tarn::platform
