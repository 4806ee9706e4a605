#include "platform/com.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "platform/registry.h"
#include "platform/winerror.h"

namespace tarn::platform {

// ---- Identifiers ----------------------------------------------------------------------------

std::string StringFromGUID(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at text[pos]; false when one is not a digit.
bool ReadHex(std::string_view text, std::size_t pos, int digits, std::uint32_t* value) {
  std::uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    const int d = HexDigit(text[pos + static_cast<std::size_t>(i)]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  *value = v;
  return true;
}
}  // namespace

HRESULT CLSIDFromString(std::string_view text, GUID* guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters, dashes at 9, 14, 19 and 24.
  if (guid == nullptr) return E_POINTER;
  if (text.size() != 38 || text.front() != '{' || text.back() != '}' || text[9] != '-' ||
      text[14] != '-' || text[19] != '-' || text[24] != '-')
    return E_INVALIDARG;
  GUID g {};
  std::uint32_t v = 0;
  if (!ReadHex(text, 1, 8, &v)) return E_INVALIDARG;
  g.Data1 = v;
  if (!ReadHex(text, 10, 4, &v)) return E_INVALIDARG;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(text, 15, 4, &v)) return E_INVALIDARG;
  g.Data3 = static_cast<std::uint16_t>(v);
  static constexpr std::size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePos[i], 2, &v)) return E_INVALIDARG;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  *guid = g;
  return S_OK;
}

// ---- Per-thread state -----------------------------------------------------------------------

namespace {
struct ThreadState {
  ULONG initCount = 0;
  DWORD model = COINIT_APARTMENTTHREADED;
  IErrorInfo* errorInfo = nullptr;
  long allocationsAllowed = -1;  // negative: no limit

  ~ThreadState() {
    if (errorInfo != nullptr) errorInfo->Release();
  }
};

ThreadState& State() {
  thread_local ThreadState state;
  return state;
}
}  // namespace

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(void* reserved, DWORD coinit) {
  if (reserved != nullptr) return E_INVALIDARG;
  if (coinit != COINIT_APARTMENTTHREADED && coinit != COINIT_MULTITHREADED) return E_INVALIDARG;
  ThreadState& state = State();
  if (state.initCount == 0) {
    state.model = coinit;
    state.initCount = 1;
    return S_OK;
  }
  if (state.model != coinit) return RPC_E_CHANGED_MODE;
  ++state.initCount;
  return S_FALSE;
}

void CoUninitialize() {
  ThreadState& state = State();
  if (state.initCount == 0) return;
  if (--state.initCount == 0 && state.errorInfo != nullptr) {
    IErrorInfo* info = state.errorInfo;
    state.errorInfo = nullptr;
    info->Release();
  }
}

ULONG CoInitializeCount() { return State().initCount; }

// ---- Creation -------------------------------------------------------------------------------

namespace {
// The server path registered for the class, or an empty text when the class is not registered.
std::string InprocServerPath(REFCLSID clsid) {
  const std::string keyPath = "CLSID\\" + StringFromGUID(clsid) + "\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != 0) return {};
  std::string path;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueEx(key, "", nullptr, &type, nullptr, &size) == 0 &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::string buffer(size, '\0');
    if (RegQueryValueEx(key, "", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) ==
        0) {
      buffer.resize(std::min<std::size_t>(size, buffer.size()));
      path = buffer.c_str();  // up to the terminating zero
    }
  }
  RegCloseKey(key);
  return path;
}
}  // namespace

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (serverInfo != nullptr) return E_INVALIDARG;  // no remote machines here
  if (State().initCount == 0) return CO_E_NOTINITIALIZED;
  // Only in-process servers exist on this platform: a request that excludes them finds nothing.
  if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  const std::string path = InprocServerPath(clsid);
  if (path.empty()) return REGDB_E_CLASSNOTREG;
  // Loaded for good: objects of the server may outlive every reference the caller knows of
  // (error objects in a thread's slot, for one), and Windows too keeps a server loaded until
  // it is asked to free unused libraries.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  auto entry = reinterpret_cast<DllGetClassObjectFunction>(::dlsym(module, "DllGetClassObject"));
  if (entry == nullptr) return CO_E_ERRORINDLL;
  return entry(clsid, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (factory == nullptr) return E_UNEXPECTED;
  hr = factory->CreateInstance(outer, iid, object);
  factory->Release();
  return hr;
}

// ---- COM strings ----------------------------------------------------------------------------

namespace {
// The longest string whose byte count (plus the prefix and the terminator) fits 32 bits.
constexpr UINT kMaxStringLength = (0xFFFFFFFFu - 8u) / 2u;

bool AllocationAllowed() {
  long& allowed = State().allocationsAllowed;
  if (allowed < 0) return true;
  if (allowed == 0) return false;
  --allowed;
  return true;
}

std::uint32_t* Prefix(BSTR text) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(text) - sizeof(std::uint32_t));
}
}  // namespace

void SetComStringAllocationLimit(long allowed) { State().allocationsAllowed = allowed; }

BSTR SysAllocStringLen(LPCOLESTR text, UINT length) {
  if (length > kMaxStringLength) return nullptr;
  if (!AllocationAllowed()) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
  void* block = std::malloc(sizeof(std::uint32_t) + bytes + sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  auto* prefix = static_cast<std::uint32_t*>(block);
  *prefix = static_cast<std::uint32_t>(bytes);
  BSTR result = reinterpret_cast<BSTR>(prefix + 1);
  if (text != nullptr)
    std::memcpy(result, text, bytes);
  else
    std::memset(result, 0, bytes);
  result[length] = 0;
  return result;
}

BSTR SysAllocString(LPCOLESTR text) {
  if (text == nullptr) return nullptr;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > kMaxStringLength) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(Prefix(text));
}

UINT SysStringByteLen(BSTR text) { return text == nullptr ? 0 : *Prefix(text); }
UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

// ---- Code page 1252 -------------------------------------------------------------------------

namespace {
// Bytes 0x80 to 0x9F of code page 1252; the five bytes the code page leaves undefined map to
// the C1 control with the same number, so that every byte survives a round trip.
constexpr char16_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t WideFrom1252(unsigned char c) {
  if (c >= 0x80 && c <= 0x9F) return kHigh1252[c - 0x80];
  return c;
}

// The 1252 byte for a UTF-16 unit, or -1 when the code page has none.
int AnsiFrom1252(char16_t w) {
  if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) return w;
  for (int i = 0; i < 32; ++i)
    if (kHigh1252[i] == w) return 0x80 + i;
  return -1;
}

bool KnownCodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_WINDOWS_1252; }
}  // namespace

UINT GetACP() { return CP_WINDOWS_1252; }

int MultiByteToWideChar(UINT codePage, DWORD /*flags*/, const char* source, int sourceLength,
                        OLECHAR* destination, int destinationLength) {
  if (!KnownCodePage(codePage) || source == nullptr || sourceLength < -1 || sourceLength == 0 ||
      destinationLength < 0 || (destinationLength > 0 && destination == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::size_t length =
      sourceLength == -1 ? std::strlen(source) + 1 : static_cast<std::size_t>(sourceLength);
  if (length > 0x7FFFFFFFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (destinationLength == 0) return static_cast<int>(length);
  if (static_cast<std::size_t>(destinationLength) < length) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (std::size_t i = 0; i < length; ++i)
    destination[i] = WideFrom1252(static_cast<unsigned char>(source[i]));
  return static_cast<int>(length);
}

int WideCharToMultiByte(UINT codePage, DWORD /*flags*/, const OLECHAR* source, int sourceLength,
                        char* destination, int destinationLength, const char* defaultChar,
                        BOOL* usedDefault) {
  if (!KnownCodePage(codePage) || source == nullptr || sourceLength < -1 || sourceLength == 0 ||
      destinationLength < 0 || (destinationLength > 0 && destination == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::size_t length = 0;
  if (sourceLength == -1) {
    while (source[length] != 0) ++length;
    ++length;
  } else {
    length = static_cast<std::size_t>(sourceLength);
  }
  const char replacement = defaultChar != nullptr ? *defaultChar : '?';
  if (usedDefault != nullptr) *usedDefault = 0;
  // One pass counts, a second writes, so that a short buffer is left untouched.
  std::size_t needed = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const char16_t w = source[i];
    // A surrogate pair is one character beyond the code page: one replacement for both units.
    if (w >= 0xD800 && w <= 0xDBFF && i + 1 < length && source[i + 1] >= 0xDC00 &&
        source[i + 1] <= 0xDFFF)
      ++i;
    ++needed;
  }
  if (needed > 0x7FFFFFFFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (destinationLength == 0) return static_cast<int>(needed);
  if (static_cast<std::size_t>(destinationLength) < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::size_t out = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const char16_t w = source[i];
    if (w >= 0xD800 && w <= 0xDBFF && i + 1 < length && source[i + 1] >= 0xDC00 &&
        source[i + 1] <= 0xDFFF)
      ++i;
    const int c = (w >= 0xD800 && w <= 0xDFFF) ? -1 : AnsiFrom1252(w);
    if (c < 0) {
      destination[out++] = replacement;
      if (usedDefault != nullptr) *usedDefault = 1;
    } else {
      destination[out++] = static_cast<char>(c);
    }
  }
  return static_cast<int>(out);
}

BSTR ConvertStringToBSTR(const char* text) {
  if (text == nullptr) text = "";
  const std::size_t length = std::strlen(text);
  if (length > kMaxStringLength) return nullptr;
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (result == nullptr || length == 0) return result;
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), result, static_cast<int>(length));
  return result;
}

std::string ConvertBSTRToString(BSTR text) {
  const UINT length = SysStringLen(text);
  if (length == 0) return {};
  std::string result(length, '\0');
  const int written = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), result.data(),
                                          static_cast<int>(result.size()), nullptr, nullptr);
  result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return result;
}

// ---- Error information ----------------------------------------------------------------------

namespace {
class ErrorObject final : public IErrorInfo, public ICreateErrorInfo {
 public:
  ErrorObject() : guid_ {} {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
      *object = static_cast<IErrorInfo*>(this);
    } else if (iid == IID_ICreateErrorInfo) {
      *object = static_cast<ICreateErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_POINTER;
    *guid = guid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* text) override { return Copy(source_, text); }
  HRESULT GetDescription(BSTR* text) override { return Copy(description_, text); }
  HRESULT GetHelpFile(BSTR* text) override { return Copy(helpFile_, text); }
  HRESULT GetHelpContext(DWORD* context) override {
    if (context == nullptr) return E_POINTER;
    *context = helpContext_;
    return S_OK;
  }

  HRESULT SetGUID(REFIID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT SetSource(LPCOLESTR text) override { return Set(&source_, text); }
  HRESULT SetDescription(LPCOLESTR text) override { return Set(&description_, text); }
  HRESULT SetHelpFile(LPCOLESTR text) override { return Set(&helpFile_, text); }
  HRESULT SetHelpContext(DWORD context) override {
    helpContext_ = context;
    return S_OK;
  }

 private:
  ~ErrorObject() = default;

  static HRESULT Copy(const std::u16string& from, BSTR* to) {
    if (to == nullptr) return E_POINTER;
    *to = SysAllocStringLen(from.data(), static_cast<UINT>(from.size()));
    return *to == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  static HRESULT Set(std::u16string* to, LPCOLESTR text) {
    to->assign(text != nullptr ? text : u"");
    return S_OK;
  }

  std::atomic<ULONG> refs_ {1};
  GUID guid_;
  std::u16string source_;
  std::u16string description_;
  std::u16string helpFile_;
  DWORD helpContext_ = 0;
};
}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** object) {
  if (object == nullptr) return E_POINTER;
  auto* error = new (std::nothrow) ErrorObject();
  *object = error;
  return error == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT SetErrorInfo(DWORD /*reserved*/, IErrorInfo* info) {
  ThreadState& state = State();
  if (info != nullptr) info->AddRef();
  IErrorInfo* previous = state.errorInfo;
  state.errorInfo = info;
  if (previous != nullptr) previous->Release();
  return S_OK;
}

HRESULT GetErrorInfo(DWORD /*reserved*/, IErrorInfo** info) {
  if (info == nullptr) return E_POINTER;
  ThreadState& state = State();
  *info = state.errorInfo;
  state.errorInfo = nullptr;
  return *info == nullptr ? S_FALSE : S_OK;
}

// ---- ComError -------------------------------------------------------------------------------

namespace {
std::string StatusText(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}
}  // namespace

ComError::ComError(HRESULT status, IUnknown* object, const IID& iid, std::string description)
    : status_(status), object_(object), iid_(iid), description_(std::move(description)) {
  if (object_ != nullptr) object_->AddRef();
  what_ = "COM error " + StatusText(status_);
  if (!description_.empty()) what_ += ": " + description_;
}

ComError::ComError(HRESULT status) : ComError(status, nullptr, IID_IUnknown, {}) {}

ComError::ComError(const ComError& other)
    : std::exception(other),
      status_(other.status_),
      object_(other.object_),
      iid_(other.iid_),
      description_(other.description_),
      what_(other.what_) {
  if (object_ != nullptr) object_->AddRef();
}

ComError& ComError::operator=(const ComError& other) {
  if (this == &other) return *this;
  if (other.object_ != nullptr) other.object_->AddRef();
  if (object_ != nullptr) object_->Release();
  status_ = other.status_;
  object_ = other.object_;
  iid_ = other.iid_;
  description_ = other.description_;
  what_ = other.what_;
  return *this;
}

ComError::~ComError() {
  if (object_ != nullptr) object_->Release();
}

std::string ComError::ErrorMessage() const {
  switch (static_cast<std::uint32_t>(status_)) {
    case 0x00000000u: return "The operation completed successfully.";
    case 0x80004001u: return "Not implemented";
    case 0x80004002u: return "No such interface supported";
    case 0x80004003u: return "Invalid pointer";
    case 0x80004005u: return "Unspecified error";
    case 0x8000FFFFu: return "Catastrophic failure";
    case 0x8007000Eu: return "Not enough storage is available to complete this operation.";
    case 0x80070057u: return "The parameter is incorrect.";
    case 0x80040110u: return "Class does not support aggregation (or class object is remote)";
    case 0x80040111u: return "ClassFactory cannot supply requested class";
    case 0x80040154u: return "Class not registered";
    case 0x800401F0u: return "CoInitialize has not been called.";
    default: return "Unknown error " + StatusText(status_);
  }
}

void ComIssueErrorEx(HRESULT status, IUnknown* object, const IID& iid) {
  // The thread's error information is taken in every case, so that a description an object left
  // behind for some other failure can never be reported with a later one.
  IErrorInfo* info = nullptr;
  GetErrorInfo(0, &info);
  std::string description;
  if (object != nullptr && info != nullptr) {
    ISupportErrorInfo* support = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
        support != nullptr) {
      if (support->InterfaceSupportsErrorInfo(iid) == S_OK) {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text))) description = ConvertBSTRToString(text);
        SysFreeString(text);
      }
      support->Release();
    }
  }
  if (info != nullptr) info->Release();
  throw ComError(status, object, iid, std::move(description));
}

void ComIssueError(HRESULT status) { throw ComError(status); }

HRESULT ComCheck(HRESULT status, IUnknown* object, const IID& iid) {
  if (FAILED(status)) ComIssueErrorEx(status, object, iid);
  return status;
}

// ---- ComString ------------------------------------------------------------------------------

struct ComString::Shared {
  BSTR text;
  std::atomic<long> refs;
};

ComString::ComString(const char* ansi) : ComString(std::string_view(ansi != nullptr ? ansi : "")) {}

ComString::ComString(std::string_view ansi) {
  if (ansi.size() > kMaxStringLength) ComIssueError(E_OUTOFMEMORY);
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(ansi.size()));
  if (text == nullptr) ComIssueError(E_OUTOFMEMORY);
  if (!ansi.empty())
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), text,
                        static_cast<int>(ansi.size()));
  shared_ = new (std::nothrow) Shared {text, {1}};
  if (shared_ == nullptr) {
    SysFreeString(text);
    ComIssueError(E_OUTOFMEMORY);
  }
}

ComString::ComString(const ComString& other) : shared_(other.shared_) {
  if (shared_ != nullptr) ++shared_->refs;
}

ComString& ComString::operator=(const ComString& other) {
  if (other.shared_ != nullptr) ++other.shared_->refs;
  Drop();
  shared_ = other.shared_;
  return *this;
}

ComString::~ComString() { Drop(); }

void ComString::Drop() {
  if (shared_ != nullptr && --shared_->refs == 0) {
    SysFreeString(shared_->text);
    delete shared_;
  }
  shared_ = nullptr;
}

BSTR ComString::bstr() const { return shared_ != nullptr ? shared_->text : nullptr; }
UINT ComString::length() const { return SysStringLen(bstr()); }
std::string ComString::ansi() const { return ConvertBSTRToString(bstr()); }

}  // namespace tarn::platform
