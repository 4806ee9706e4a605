// The stand-in update-service agent: an in-process COM server for the agent class (IUSAgent6)
// and the profile manager class (IProfileMgr6), so that the update utility can be run and tested
// on a machine without the real agent.
//
// State: agent/agent.db below the platform root (SQLite), shared by every process that loads the
// stand-in, so a later run sees what an earlier one registered:
//   registrations (code, version, locale, profile, flags, status)   RegisterProduct adds or
//                                                                     replaces, UnregisterProduct
//                                                                     removes (with its schedule)
//   schedules     (code, value)                                      SetProductSchedule
//   collections   (code, name, saved)                                AddCollection, SaveProfile
//   properties    (code, collection, name, value)                    SetCollectionProperty
// Codes compare without regard to case, as the registry compares the product keys.
//
// Journal: every call appends one line to agent/calls.log below the root, before it acts, e.g.
//   RegisterProduct("{code}", "9.7.0", 1033, "", "Default", -1, "")
// Texts are in double quotes (a backslash or double quote inside is preceded by a backslash,
// control characters are written \xNN), numbers in decimal.
//
// Answers, per product code, from HKLM\SOFTWARE\Velk\UpdateAgentStandIn\Products\{code}:
//   DWORD  "ShowUpdatesStatus"  what ShowProductUpdates returns (default 0)
//   DWORD  "ProductStatus"      what GetStatus reports (default 1 while the product is
//                               registered, 0 otherwise)
//   string "FailOperation"      the name of one operation (as journaled) that then fails ...
//   DWORD  "FailStatus"         ... with this status (default 0x80004005), after setting the
//                               thread's error information to
//   string "FailDescription"    (default "The stand-in agent was told to fail OPERATION.")
// GetProduct of a code that is not registered answers S_OK with a null object; UnregisterProduct
// of such a code answers S_FALSE.
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "platform/com.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "update/usagent.h"

namespace tp = tarn::platform;
using tp::BSTR;
using tp::HRESULT;
using tp::IID;
using tp::LONG;
using tp::REFIID;
using tp::ULONG;

namespace {

// ---- Journal --------------------------------------------------------------------------------

std::string Quote(BSTR text) {
  const std::string ansi = tp::ConvertBSTRToString(text);
  std::string out = "\"";
  for (char c : ansi) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

void Journal(const std::string& line) { tp::AppendPlatformLine("agent/calls.log", line); }

// ---- Answers from the registry --------------------------------------------------------------

class Answers {
 public:
  explicit Answers(BSTR code) {
    const std::string name = tp::ConvertBSTRToString(code);
    // An empty code would name the Products key itself, a backslash a key below another code.
    if (name.empty() || name.find('\\') != std::string::npos) return;
    const std::string path = "SOFTWARE\\Velk\\UpdateAgentStandIn\\Products\\" + name;
    if (tp::RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, tp::KEY_QUERY_VALUE, &key_) != 0)
      key_ = nullptr;
  }
  ~Answers() {
    if (key_ != nullptr) tp::RegCloseKey(key_);
  }
  Answers(const Answers&) = delete;
  Answers& operator=(const Answers&) = delete;

  std::optional<tp::DWORD> Dword(const char* name) const {
    if (key_ == nullptr) return std::nullopt;
    tp::DWORD value = 0;
    tp::DWORD type = 0;
    tp::DWORD size = sizeof value;
    if (tp::RegQueryValueEx(key_, name, nullptr, &type, reinterpret_cast<tp::BYTE*>(&value), &size) != 0 ||
        type != tp::REG_DWORD || size != sizeof value)
      return std::nullopt;
    return value;
  }
  std::optional<std::string> Text(const char* name) const {
    if (key_ == nullptr) return std::nullopt;
    tp::DWORD type = 0;
    tp::DWORD size = 0;
    if (tp::RegQueryValueEx(key_, name, nullptr, &type, nullptr, &size) != 0 ||
        (type != tp::REG_SZ && type != tp::REG_EXPAND_SZ))
      return std::nullopt;
    std::string text(size, '\0');
    if (tp::RegQueryValueEx(key_, name, nullptr, &type, reinterpret_cast<tp::BYTE*>(text.data()), &size) != 0)
      return std::nullopt;
    return std::string(text.c_str());
  }

 private:
  tp::HKEY key_ = nullptr;
};

void SetError(const IID& iid, const std::string& description) {
  tp::ICreateErrorInfo* create = nullptr;
  if (tp::CreateErrorInfo(&create) != tp::S_OK) return;
  create->SetGUID(iid);
  create->SetSource(u"Velk Update Agent (stand-in)");
  BSTR text = tp::ConvertStringToBSTR(description.c_str());
  create->SetDescription(text);
  tp::SysFreeString(text);
  tp::IErrorInfo* info = nullptr;
  if (create->QueryInterface(tp::IID_IErrorInfo, reinterpret_cast<void**>(&info)) == tp::S_OK) {
    tp::SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

// The injected failure for `operation` on `code`, if the registry asks for one; sets the error
// information of interface `iid` first.
std::optional<HRESULT> InjectedFailure(BSTR code, const char* operation, const IID& iid) {
  const Answers answers(code);
  const auto fail = answers.Text("FailOperation");
  if (!fail || *fail != operation) return std::nullopt;
  const HRESULT status = static_cast<HRESULT>(answers.Dword("FailStatus").value_or(0x80004005u));
  SetError(iid, answers.Text("FailDescription")
                    .value_or(std::string("The stand-in agent was told to fail ") + operation + "."));
  return status;
}

// ---- Store ----------------------------------------------------------------------------------

class Store {
 public:
  Store() {
    const std::string path = tp::PlatformPath("agent/agent.db");
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      return;
    }
    sqlite3_busy_timeout(db_, 10000);
    const char* schema =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE IF NOT EXISTS registrations(code TEXT PRIMARY KEY COLLATE NOCASE, version TEXT,"
        " locale INTEGER, profile TEXT, flags INTEGER, status INTEGER);"
        "CREATE TABLE IF NOT EXISTS schedules(code TEXT PRIMARY KEY COLLATE NOCASE, value INTEGER);"
        "CREATE TABLE IF NOT EXISTS collections(code TEXT COLLATE NOCASE, name TEXT, saved INTEGER,"
        " PRIMARY KEY(code, name));"
        "CREATE TABLE IF NOT EXISTS properties(code TEXT COLLATE NOCASE, collection TEXT, name TEXT,"
        " value TEXT, PRIMARY KEY(code, collection, name));";
    if (sqlite3_exec(db_, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  ~Store() { sqlite3_close(db_); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  bool ok() const { return db_ != nullptr; }

  // Runs one statement with text and integer parameters; the number of rows changed, or -1.
  template <typename... Args>
  int Run(const char* sql, const Args&... args) {
    sqlite3_stmt* stmt = Prepare(sql, args...);
    if (stmt == nullptr) return -1;
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return -1;
    return sqlite3_changes(db_);
  }

  // The first column of the first row as an integer.
  template <typename... Args>
  std::optional<long long> Integer(const char* sql, const Args&... args) {
    sqlite3_stmt* stmt = Prepare(sql, args...);
    if (stmt == nullptr) return std::nullopt;
    std::optional<long long> result;
    if (sqlite3_step(stmt) == SQLITE_ROW) result = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return result;
  }

 private:
  void Bind(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(sqlite3_stmt* stmt, int index, long long value) { sqlite3_bind_int64(stmt, index, value); }

  template <typename... Args>
  sqlite3_stmt* Prepare(const char* sql, const Args&... args) {
    if (db_ == nullptr) return nullptr;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) return nullptr;
    int index = 0;
    (Bind(stmt, ++index, args), ...);
    return stmt;
  }

  sqlite3* db_ = nullptr;
};

HRESULT Stored(int changed) { return changed < 0 ? tp::E_FAIL : tp::S_OK; }

std::string Text(BSTR b) { return tp::ConvertBSTRToString(b); }

// ---- Objects --------------------------------------------------------------------------------

// Reference counting and QueryInterface for an object with one main interface plus
// ISupportErrorInfo for that interface.
template <typename Interface>
class Object : public Interface, public tp::ISupportErrorInfo {
 public:
  explicit Object(const IID& iid) : iid_(iid) {}
  virtual ~Object() = default;

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return tp::E_POINTER;
    if (iid == tp::IID_IUnknown || iid == iid_) {
      *object = static_cast<Interface*>(this);
    } else if (iid == tp::IID_ISupportErrorInfo) {
      *object = static_cast<tp::ISupportErrorInfo*>(this);
    } else {
      *object = nullptr;
      return tp::E_NOINTERFACE;
    }
    AddRef();
    return tp::S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == iid_ ? tp::S_OK : tp::S_FALSE;
  }

 protected:
  const IID& iid_;

 private:
  std::atomic<ULONG> refs_ {1};
};

class Product final : public Object<velk::IUSProduct6> {
 public:
  explicit Product(std::string code) : Object(velk::IID_IUSProduct6), code_(std::move(code)) {}

  HRESULT GetStatus(LONG* status) override {
    Journal("GetStatus()");
    tp::ComString code(code_);
    if (auto failed = InjectedFailure(code.bstr(), "GetStatus", iid_)) return *failed;
    if (status == nullptr) return tp::E_POINTER;
    const Answers answers(code.bstr());
    if (auto answer = answers.Dword("ProductStatus")) {
      *status = static_cast<LONG>(*answer);
      return tp::S_OK;
    }
    Store store;
    *status = store.Integer("SELECT status FROM registrations WHERE code = ?", code_).value_or(0);
    return tp::S_OK;
  }

 private:
  std::string code_;
};

class Agent final : public Object<velk::IUSAgent6> {
 public:
  Agent() : Object(velk::IID_IUSAgent6) {}

  HRESULT SetProductSchedule(BSTR code, LONG schedule) override {
    Journal("SetProductSchedule(" + Quote(code) + ", " + std::to_string(schedule) + ")");
    if (auto failed = InjectedFailure(code, "SetProductSchedule", iid_)) return *failed;
    Store store;
    return Stored(store.Run("INSERT OR REPLACE INTO schedules(code, value) VALUES(?, ?)", Text(code),
                            static_cast<long long>(schedule)));
  }

  HRESULT RegisterProduct(BSTR code, BSTR version, LONG locale, BSTR reserved1, BSTR profile,
                          LONG flags, BSTR reserved2) override {
    Journal("RegisterProduct(" + Quote(code) + ", " + Quote(version) + ", " + std::to_string(locale) +
            ", " + Quote(reserved1) + ", " + Quote(profile) + ", " + std::to_string(flags) + ", " +
            Quote(reserved2) + ")");
    if (auto failed = InjectedFailure(code, "RegisterProduct", iid_)) return *failed;
    Store store;
    return Stored(store.Run(
        "INSERT OR REPLACE INTO registrations(code, version, locale, profile, flags, status)"
        " VALUES(?, ?, ?, ?, ?, 1)",
        Text(code), Text(version), static_cast<long long>(locale), Text(profile),
        static_cast<long long>(flags)));
  }

  HRESULT UnregisterProduct(BSTR code, BSTR profile, LONG flags) override {
    Journal("UnregisterProduct(" + Quote(code) + ", " + Quote(profile) + ", " + std::to_string(flags) + ")");
    if (auto failed = InjectedFailure(code, "UnregisterProduct", iid_)) return *failed;
    Store store;
    const int removed = store.Run("DELETE FROM registrations WHERE code = ?", Text(code));
    if (removed < 0 || store.Run("DELETE FROM schedules WHERE code = ?", Text(code)) < 0) return tp::E_FAIL;
    return removed > 0 ? tp::S_OK : tp::S_FALSE;
  }

  HRESULT GetProduct(BSTR code, velk::IUSProduct6** product) override {
    Journal("GetProduct(" + Quote(code) + ")");
    if (product == nullptr) return tp::E_POINTER;
    *product = nullptr;
    if (auto failed = InjectedFailure(code, "GetProduct", iid_)) return *failed;
    Store store;
    if (!store.ok()) return tp::E_FAIL;
    if (!store.Integer("SELECT 1 FROM registrations WHERE code = ?", Text(code))) return tp::S_OK;
    *product = new (std::nothrow) Product(Text(code));
    return *product == nullptr ? tp::E_OUTOFMEMORY : tp::S_OK;
  }

  HRESULT ShowProductUpdates(BSTR code, LONG mode) override {
    Journal("ShowProductUpdates(" + Quote(code) + ", " + std::to_string(mode) + ")");
    if (auto failed = InjectedFailure(code, "ShowProductUpdates", iid_)) return *failed;
    const Answers answers(code);
    return static_cast<HRESULT>(answers.Dword("ShowUpdatesStatus").value_or(0));
  }
};

class ProfileManager final : public Object<velk::IProfileMgr6> {
 public:
  ProfileManager() : Object(velk::IID_IProfileMgr6) {}

  HRESULT SetCollectionProperty(BSTR code, BSTR collection, BSTR property, BSTR value) override {
    Journal("SetCollectionProperty(" + Quote(code) + ", " + Quote(collection) + ", " + Quote(property) +
            ", " + Quote(value) + ")");
    if (auto failed = InjectedFailure(code, "SetCollectionProperty", iid_)) return *failed;
    Store store;
    return Stored(store.Run(
        "INSERT OR REPLACE INTO properties(code, collection, name, value) VALUES(?, ?, ?, ?)",
        Text(code), Text(collection), Text(property), Text(value)));
  }

  HRESULT AddCollection(BSTR code, BSTR collection) override {
    Journal("AddCollection(" + Quote(code) + ", " + Quote(collection) + ")");
    if (auto failed = InjectedFailure(code, "AddCollection", iid_)) return *failed;
    Store store;
    return Stored(store.Run("INSERT OR IGNORE INTO collections(code, name, saved) VALUES(?, ?, 0)",
                            Text(code), Text(collection)));
  }

  HRESULT SaveProfile(BSTR code) override {
    Journal("SaveProfile(" + Quote(code) + ")");
    if (auto failed = InjectedFailure(code, "SaveProfile", iid_)) return *failed;
    Store store;
    return Stored(store.Run("UPDATE collections SET saved = 1 WHERE code = ?", Text(code)));
  }
};

// ---- Class factories ------------------------------------------------------------------------

template <typename Class, typename Interface>
class Factory final : public tp::IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return tp::E_POINTER;
    if (iid == tp::IID_IUnknown || iid == tp::IID_IClassFactory) {
      *object = static_cast<tp::IClassFactory*>(this);
      return tp::S_OK;
    }
    *object = nullptr;
    return tp::E_NOINTERFACE;
  }
  // The factories are static objects of the server: counting is not needed.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }

  HRESULT CreateInstance(tp::IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return tp::E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return tp::CLASS_E_NOAGGREGATION;
    auto* created = new (std::nothrow) Class();
    if (created == nullptr) return tp::E_OUTOFMEMORY;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
  }
  HRESULT LockServer(tp::BOOL) override { return tp::S_OK; }
};

Factory<Agent, velk::IUSAgent6> g_agentFactory;
Factory<ProfileManager, velk::IProfileMgr6> g_profileFactory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(tp::REFCLSID clsid,
                                                                            REFIID iid, void** object) {
  if (object == nullptr) return tp::E_POINTER;
  *object = nullptr;
  if (clsid == velk::CLSID_USAgent) return g_agentFactory.QueryInterface(iid, object);
  if (clsid == velk::CLSID_ProfileMgr) return g_profileFactory.QueryInterface(iid, object);
  return tp::CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return tp::S_FALSE; }
