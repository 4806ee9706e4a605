#include "platform/registry.h"

#include <sqlite3.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <dirent.h>
#include <vector>

#include "platform/root.h"
#include "platform/winerror.h"

// Layout of a store (registry.db):
//   keys(id, parent, name, fold)   one row per key; the three hives are rows with parent 0.
//   vals(id, key, name, fold, type, data)   one row per value; id gives creation order.
// `fold` is the name in ASCII lower case: names are unique per parent and compared by it, the
// name itself keeps its case. Row ids are AUTOINCREMENT so that a handle to a deleted key can
// never silently come to name a newer key that reused its id.

namespace tarn::platform {

struct RegStore {
  std::string path;
  sqlite3* db = nullptr;
  // One connection per store and process: SQLite connections must not be used by two threads
  // at once, and a RegTransaction must see its own writes. Recursive, because a transaction holds
  // it across calls of its own thread.
  std::recursive_mutex mutex;
  bool inTransaction = false;
  std::map<const char*, sqlite3_stmt*> statements;
};

struct RegKeyObject {
  static constexpr std::uint32_t kMagic = 0x52454B59;  // "REKY"
  std::uint32_t magic = kMagic;
  RegStore* store = nullptr;
  std::int64_t id = 0;
  REGSAM access = 0;
};

namespace {

constexpr std::uint32_t kPredefinedFirst = 0x80000000u;
constexpr std::uint32_t kPredefinedLast = 0x80000003u;
constexpr const char* kHiveNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS"};

std::string Fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

std::vector<std::string> SplitPath(const char* path) {
  std::vector<std::string> parts;
  if (path == nullptr) return parts;
  std::string current;
  for (const char* p = path;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current += *p;
    }
  }
  return parts;
}

// ---- stores ------------------------------------------------------------------------------------

std::mutex g_storesMutex;
std::map<std::string, std::unique_ptr<RegStore>>& Stores() {
  static auto* stores = new std::map<std::string, std::unique_ptr<RegStore>>();
  return *stores;
}

// Live handles, so that a closed or made-up handle is refused instead of followed.
std::mutex g_handlesMutex;
std::set<const RegKeyObject*>& Handles() {
  static auto* handles = new std::set<const RegKeyObject*>();
  return *handles;
}

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Opens (creating when missing) the store in `directory`. Null when the database cannot be used.
RegStore* OpenStore(const std::string& directory) {
  const std::string path = directory + "/registry.db";
  std::lock_guard<std::mutex> lock(g_storesMutex);
  auto& stores = Stores();
  if (auto it = stores.find(path); it != stores.end()) return it->second.get();

  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  // Writers of other processes are waited for rather than failed.
  sqlite3_busy_timeout(db, 60000);
  // WAL lets readers run beside a writer. NORMAL synchronisation keeps the database consistent
  // through a crash of any process; only a power failure may lose the last commits.
  bool ok = Exec(db, "PRAGMA journal_mode=WAL") && Exec(db, "PRAGMA synchronous=NORMAL") &&
            Exec(db, "PRAGMA foreign_keys=OFF") && Exec(db, "BEGIN IMMEDIATE");
  ok = ok && Exec(db,
                  "CREATE TABLE IF NOT EXISTS keys("
                  " id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
                  " name TEXT NOT NULL, fold TEXT NOT NULL, UNIQUE(parent, fold));"
                  "CREATE TABLE IF NOT EXISTS vals("
                  " id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
                  " name TEXT NOT NULL, fold TEXT NOT NULL, type INTEGER NOT NULL,"
                  " data BLOB NOT NULL, UNIQUE(key, fold));");
  for (const char* hive : kHiveNames) {
    if (!ok) break;
    char* sql = sqlite3_mprintf("INSERT OR IGNORE INTO keys(parent,name,fold) VALUES(0,%Q,%Q)",
                                hive, Fold(hive).c_str());
    ok = Exec(db, sql);
    sqlite3_free(sql);
  }
  ok = ok && Exec(db, "COMMIT");
  if (!ok) {
    sqlite3_close(db);
    return nullptr;
  }
  auto store = std::make_unique<RegStore>();
  store->path = path;
  store->db = db;
  RegStore* raw = store.get();
  stores.emplace(path, std::move(store));
  return raw;
}

RegStore* LocalStore() { return OpenStore(PlatformRoot()); }

// A SQLite connection must not be used on both sides of a fork. A child starts with no stores
// (the parent's connections are left alone, not closed, so the parent's locks stay intact);
// handles opened before the fork are not for the child's use.
void ForgetStoresInChild() {
  new (&g_storesMutex) std::mutex();
  new (&Stores()) std::map<std::string, std::unique_ptr<RegStore>>();
}
[[maybe_unused]] const int g_atfork = ::pthread_atfork(nullptr, nullptr, ForgetStoresInChild);

// A cached prepared statement, cleared for this use and reset when the use ends. The reset
// matters: a statement left stepping holds a read snapshot open, and a later BEGIN IMMEDIATE on
// a stale snapshot fails at once instead of waiting for the other writers.
class Stmt {
 public:
  explicit Stmt(sqlite3_stmt* stmt) : stmt_(stmt) {}
  Stmt(Stmt&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  ~Stmt() {
    if (stmt_ != nullptr) sqlite3_reset(stmt_);
  }
  operator sqlite3_stmt*() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

Stmt Statement(RegStore& store, const char* sql) {
  auto it = store.statements.find(sql);
  if (it != store.statements.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return Stmt(it->second);
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(store.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    return Stmt(nullptr);
  }
  store.statements.emplace(sql, stmt);
  return Stmt(stmt);
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// ---- key lookup --------------------------------------------------------------------------------

std::optional<std::int64_t> HiveId(RegStore& store, const char* hive) {
  auto stmt = Statement(store, "SELECT id FROM keys WHERE parent=0 AND fold=?");
  if (stmt == nullptr) return std::nullopt;
  BindText(stmt, 1, Fold(hive));
  if (sqlite3_step(stmt) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(stmt, 0);
}

bool KeyExists(RegStore& store, std::int64_t id) {
  auto stmt = Statement(store, "SELECT 1 FROM keys WHERE id=?");
  if (stmt == nullptr) return false;
  sqlite3_bind_int64(stmt, 1, id);
  return sqlite3_step(stmt) == SQLITE_ROW;
}

std::optional<std::int64_t> ChildId(RegStore& store, std::int64_t parent, const std::string& name) {
  auto stmt = Statement(store, "SELECT id FROM keys WHERE parent=? AND fold=?");
  if (stmt == nullptr) return std::nullopt;
  sqlite3_bind_int64(stmt, 1, parent);
  BindText(stmt, 2, Fold(name));
  if (sqlite3_step(stmt) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(stmt, 0);
}

std::optional<std::int64_t> InsertChild(RegStore& store, std::int64_t parent,
                                        const std::string& name) {
  auto stmt = Statement(store, "INSERT INTO keys(parent,name,fold) VALUES(?,?,?)");
  if (stmt == nullptr) return std::nullopt;
  sqlite3_bind_int64(stmt, 1, parent);
  BindText(stmt, 2, name);
  BindText(stmt, 3, Fold(name));
  if (sqlite3_step(stmt) != SQLITE_DONE) return std::nullopt;
  return sqlite3_last_insert_rowid(store.db);
}

std::int64_t ParentOf(RegStore& store, std::int64_t id, std::string* name) {
  auto stmt = Statement(store, "SELECT parent, name FROM keys WHERE id=?");
  if (stmt == nullptr) return -1;
  sqlite3_bind_int64(stmt, 1, id);
  if (sqlite3_step(stmt) != SQLITE_ROW) return -1;
  if (name != nullptr) *name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
  return sqlite3_column_int64(stmt, 0);
}

std::int64_t CountChildren(RegStore& store, std::int64_t id) {
  auto stmt = Statement(store, "SELECT count(*) FROM keys WHERE parent=?");
  if (stmt == nullptr) return -1;
  sqlite3_bind_int64(stmt, 1, id);
  if (sqlite3_step(stmt) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(stmt, 0);
}

// The key a handle names: its store, row id and rights. Predefined keys resolve to their hive
// (HKEY_CLASSES_ROOT to HKEY_LOCAL_MACHINE with the prefix SOFTWARE\Classes).
struct Base {
  RegStore* store = nullptr;
  std::int64_t id = 0;
  REGSAM access = 0;
  std::vector<std::string> prefix;  // components to walk before the caller's path
  bool hiveRoot = false;            // the key is a hive (or HKEY_CLASSES_ROOT)
  bool machineRoot = false;         // HKEY_LOCAL_MACHINE itself: the 32-bit view may apply
};

LONG ResolveBase(HKEY key, Base* base) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= kPredefinedFirst && value <= kPredefinedLast) {
    RegStore* store = LocalStore();
    if (store == nullptr) return static_cast<LONG>(ERROR_CANTOPEN);
    const char* hive = kHiveNames[0];
    if (value == 0x80000001u) hive = kHiveNames[1];
    if (value == 0x80000003u) hive = kHiveNames[2];
    std::lock_guard<std::recursive_mutex> lock(store->mutex);
    const auto id = HiveId(*store, hive);
    if (!id) return static_cast<LONG>(ERROR_CANTREAD);
    base->store = store;
    base->id = *id;
    base->access = KEY_ALL_ACCESS;
    base->hiveRoot = true;
    base->machineRoot = value != 0x80000001u && value != 0x80000003u;
    if (value == 0x80000000u) base->prefix = {"SOFTWARE", "Classes"};
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    if (key == nullptr || Handles().count(key) == 0 || key->magic != RegKeyObject::kMagic)
      return static_cast<LONG>(ERROR_INVALID_HANDLE);
    base->store = key->store;
    base->id = key->id;
    base->access = key->access;
  }
  std::lock_guard<std::recursive_mutex> lock(base->store->mutex);
  std::string name;
  const std::int64_t parent = ParentOf(*base->store, base->id, &name);
  if (parent < 0) return static_cast<LONG>(ERROR_KEY_DELETED);
  base->hiveRoot = parent == 0;
  base->machineRoot = parent == 0 && Fold(name) == "hkey_local_machine";
  return 0;
}

// The components to walk from `base` for `subKey`, with the 32-bit view applied: a path that
// starts at HKEY_LOCAL_MACHINE and goes through SOFTWARE continues in SOFTWARE\Wow6432Node.
LONG TargetPath(const Base& base, const char* subKey, REGSAM sam, std::vector<std::string>* out) {
  std::vector<std::string> parts = base.prefix;
  for (auto& part : SplitPath(subKey)) {
    if (part.size() > MAX_KEY_NAME) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    parts.push_back(std::move(part));
  }
  if ((sam & KEY_WOW64_32KEY) != 0 && base.machineRoot && !parts.empty() &&
      Fold(parts[0]) == "software" && (parts.size() < 2 || Fold(parts[1]) != "wow6432node")) {
    parts.insert(parts.begin() + 1, "Wow6432Node");
  }
  *out = std::move(parts);
  return 0;
}

HKEY NewHandle(RegStore* store, std::int64_t id, REGSAM access) {
  auto* object = new RegKeyObject;
  object->store = store;
  object->id = id;
  object->access = access & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  Handles().insert(object);
  return object;
}

bool Allowed(const Base& base, REGSAM needed) {
  if ((base.access & MAXIMUM_ALLOWED) != 0) return true;
  return (base.access & needed) == needed;
}

// Runs `work` as one write: its own IMMEDIATE transaction, or a savepoint inside the process's
// RegTransaction. A failing `work` leaves nothing behind either way.
template <typename Work>
LONG Write(RegStore& store, Work work) {
  std::lock_guard<std::recursive_mutex> lock(store.mutex);
  const bool own = !store.inTransaction;
  if (!Exec(store.db, own ? "BEGIN IMMEDIATE" : "SAVEPOINT regop"))
    return static_cast<LONG>(ERROR_CANTWRITE);
  LONG status = work();
  if (own) {
    if (status == 0 && !Exec(store.db, "COMMIT")) status = static_cast<LONG>(ERROR_CANTWRITE);
    if (status != 0) Exec(store.db, "ROLLBACK");
  } else {
    if (status != 0) Exec(store.db, "ROLLBACK TO regop");
    Exec(store.db, "RELEASE regop");
  }
  return status;
}

struct ValueRow {
  std::string name;
  DWORD type = 0;
  std::string data;
};

bool ReadValueRow(sqlite3_stmt* stmt, ValueRow* row) {
  if (sqlite3_step(stmt) != SQLITE_ROW) return false;
  row->name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  row->type = static_cast<DWORD>(sqlite3_column_int64(stmt, 1));
  const void* blob = sqlite3_column_blob(stmt, 2);
  const int size = sqlite3_column_bytes(stmt, 2);
  row->data.assign(static_cast<const char*>(blob), blob != nullptr ? size : 0);
  return true;
}

// Copies data under the query buffer rule (shared by RegQueryValueEx and RegEnumValue).
LONG CopyData(const ValueRow& row, DWORD* type, BYTE* data, DWORD* dataSize) {
  if (type != nullptr) *type = row.type;
  const auto size = static_cast<DWORD>(row.data.size());
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = size;
    return 0;
  }
  if (dataSize == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  if (*dataSize < size) {
    *dataSize = size;
    return static_cast<LONG>(ERROR_MORE_DATA);
  }
  if (size > 0) std::memcpy(data, row.data.data(), size);
  *dataSize = size;
  return 0;
}

LONG DeleteSubtree(RegStore& store, std::int64_t id, bool includeSelf) {
  // Every key below `id` (and `id` itself when asked), found with one recursive query.
  const char* sql =
      "WITH RECURSIVE tree(id) AS (SELECT id FROM keys WHERE parent=?1"
      " UNION ALL SELECT k.id FROM keys k JOIN tree t ON k.parent=t.id)"
      " SELECT id FROM tree";
  std::vector<std::int64_t> ids;
  auto stmt = Statement(store, sql);
  if (stmt == nullptr) return static_cast<LONG>(ERROR_CANTWRITE);
  sqlite3_bind_int64(stmt, 1, id);
  while (sqlite3_step(stmt) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(stmt, 0));
  sqlite3_reset(stmt);
  if (includeSelf) ids.push_back(id);
  else {
    auto vals = Statement(store, "DELETE FROM vals WHERE key=?");
    if (vals == nullptr) return static_cast<LONG>(ERROR_CANTWRITE);
    sqlite3_bind_int64(vals, 1, id);
    if (sqlite3_step(vals) != SQLITE_DONE) return static_cast<LONG>(ERROR_CANTWRITE);
  }
  auto delVals = Statement(store, "DELETE FROM vals WHERE key=?");
  auto delKey = Statement(store, "DELETE FROM keys WHERE id=?");
  if (delVals == nullptr || delKey == nullptr) return static_cast<LONG>(ERROR_CANTWRITE);
  for (std::int64_t each : ids) {
    sqlite3_reset(delVals);
    sqlite3_bind_int64(delVals, 1, each);
    if (sqlite3_step(delVals) != SQLITE_DONE) return static_cast<LONG>(ERROR_CANTWRITE);
    sqlite3_reset(delKey);
    sqlite3_bind_int64(delKey, 1, each);
    if (sqlite3_step(delKey) != SQLITE_DONE) return static_cast<LONG>(ERROR_CANTWRITE);
  }
  return 0;
}

// Walks `parts` from `start`; the id of the key reached, or nothing when a component is missing.
std::optional<std::int64_t> Walk(RegStore& store, std::int64_t start,
                                 const std::vector<std::string>& parts) {
  std::int64_t id = start;
  for (const auto& part : parts) {
    const auto child = ChildId(store, id, part);
    if (!child) return std::nullopt;
    id = *child;
  }
  return id;
}

// The row id of the key a handle names itself (HKEY_CLASSES_ROOT: its Classes key). The calls
// on a key's own values and subkeys go through here; only opens and creates apply a view.
std::optional<std::int64_t> OwnKey(const Base& base) {
  return Walk(*base.store, base.id, base.prefix);
}

// The end of an enumeration: 259, or 1018 when the key itself went away meanwhile.
LONG EnumerationEnd(RegStore& store, std::int64_t id) {
  return static_cast<LONG>(KeyExists(store, id) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED);
}

// Copies an enumerated name under the enumeration's rule: `nameSize` counts characters with the
// terminating zero on the way in and without it on the way out; a short buffer gives 234.
LONG CopyName(const std::string& found, char* name, DWORD* nameSize) {
  if (found.size() + 1 > *nameSize) return static_cast<LONG>(ERROR_MORE_DATA);
  std::memcpy(name, found.c_str(), found.size() + 1);
  *nameSize = static_cast<DWORD>(found.size());
  return 0;
}

std::string HostComputerName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return {};
  return host;
}

// The name this machine answers to: the registry's ComputerName value, else the host name.
std::string LocalComputerName(RegStore& store) {
  std::lock_guard<std::recursive_mutex> lock(store.mutex);
  const auto hklm = HiveId(store, "HKEY_LOCAL_MACHINE");
  if (hklm) {
    const auto key =
        Walk(store, *hklm,
             {"SYSTEM", "CurrentControlSet", "Control", "ComputerName", "ComputerName"});
    if (key) {
      auto stmt = Statement(store, "SELECT data FROM vals WHERE key=? AND fold=?");
      if (stmt != nullptr) {
        sqlite3_bind_int64(stmt, 1, *key);
        BindText(stmt, 2, "computername");
        if (sqlite3_step(stmt) == SQLITE_ROW) {
          std::string name(static_cast<const char*>(sqlite3_column_blob(stmt, 0)),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
          while (!name.empty() && name.back() == '\0') name.pop_back();
          if (!name.empty()) return name;
        }
      }
    }
  }
  return HostComputerName();
}

// The directory of machine `name` below machines/ of the platform root, matched without regard
// to case as Windows matches computer names. Empty when there is no such machine.
std::string MachineDirectory(const std::string& name) {
  const std::string machines = PlatformRoot() + "/machines";
  DIR* dir = ::opendir(machines.c_str());
  if (dir == nullptr) return {};
  std::string found;
  const std::string wanted = Fold(name);
  while (const dirent* entry = ::readdir(dir)) {
    if (Fold(entry->d_name) != wanted) continue;
    const std::string path = machines + "/" + entry->d_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      found = path;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

}  // namespace

// ---- the calls ---------------------------------------------------------------------------------

LONG RegOpenKeyEx(HKEY key, const char* subKey, DWORD, REGSAM sam, HKEY* result) {
  if (result == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  std::vector<std::string> parts;
  if (LONG status = TargetPath(base, subKey, sam, &parts); status != 0) return status;
  std::lock_guard<std::recursive_mutex> lock(base.store->mutex);
  const auto id = Walk(*base.store, base.id, parts);
  if (!id) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  *result = NewHandle(base.store, *id, sam);
  return 0;
}

LONG RegCreateKeyEx(HKEY key, const char* subKey, DWORD, const char*, DWORD, REGSAM sam,
                    const void*, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  std::vector<std::string> parts;
  if (LONG status = TargetPath(base, subKey, sam, &parts); status != 0) return status;
  std::int64_t id = base.id;
  bool created = false;
  const LONG status = Write(*base.store, [&]() -> LONG {
    if (!KeyExists(*base.store, id)) return static_cast<LONG>(ERROR_KEY_DELETED);
    for (const auto& part : parts) {
      if (auto child = ChildId(*base.store, id, part)) {
        id = *child;
        continue;
      }
      // Creating below a key needs the right to create its subkeys, checked where the first
      // missing key would be made (keys reached through the handle's own path).
      if (!created && id == base.id && !Allowed(base, KEY_CREATE_SUB_KEY))
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
      auto child = InsertChild(*base.store, id, part);
      if (!child) return static_cast<LONG>(ERROR_CANTWRITE);
      id = *child;
      created = true;
    }
    return 0;
  });
  if (status != 0) return status;
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandle(base.store, id, sam);
  return 0;
}

LONG RegCloseKey(HKEY key) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= kPredefinedFirst && value <= kPredefinedLast) return 0;
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  if (key == nullptr || Handles().erase(key) == 0) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  key->magic = 0;
  delete key;
  return 0;
}

LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data,
                     DWORD* dataSize) {
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  if (!Allowed(base, KEY_QUERY_VALUE)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  std::lock_guard<std::recursive_mutex> lock(base.store->mutex);
  const auto own = OwnKey(base);
  if (!own) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  const std::int64_t id = *own;
  auto stmt =
      Statement(*base.store, "SELECT name, type, data FROM vals WHERE key=? AND fold=?");
  if (stmt == nullptr) return static_cast<LONG>(ERROR_CANTREAD);
  sqlite3_bind_int64(stmt, 1, id);
  BindText(stmt, 2, Fold(valueName != nullptr ? valueName : ""));
  ValueRow row;
  if (!ReadValueRow(stmt, &row)) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  return CopyData(row, type, data, dataSize);
}

LONG RegSetValueEx(HKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data,
                   DWORD dataSize) {
  if (data == nullptr && dataSize > 0) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const std::string name = valueName != nullptr ? valueName : "";
  if (name.size() > MAX_VALUE_NAME) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  if (!Allowed(base, KEY_SET_VALUE)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  return Write(*base.store, [&]() -> LONG {
    const auto own = OwnKey(base);
    if (!own) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    const std::int64_t id = *own;
    if (!KeyExists(*base.store, id)) return static_cast<LONG>(ERROR_KEY_DELETED);
    // An existing value keeps its place in the enumeration order; its name keeps the new case.
    auto stmt = Statement(
        *base.store,
        "INSERT INTO vals(key,name,fold,type,data) VALUES(?,?,?,?,?)"
        " ON CONFLICT(key,fold) DO UPDATE SET name=excluded.name, type=excluded.type,"
        " data=excluded.data");
    if (stmt == nullptr) return static_cast<LONG>(ERROR_CANTWRITE);
    sqlite3_bind_int64(stmt, 1, id);
    BindText(stmt, 2, name);
    BindText(stmt, 3, Fold(name));
    sqlite3_bind_int64(stmt, 4, type);
    sqlite3_bind_blob(stmt, 5, data != nullptr ? data : reinterpret_cast<const BYTE*>(""),
                      static_cast<int>(dataSize), SQLITE_TRANSIENT);
    return sqlite3_step(stmt) == SQLITE_DONE ? 0 : static_cast<LONG>(ERROR_CANTWRITE);
  });
}

LONG RegDeleteValue(HKEY key, const char* valueName) {
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  if (!Allowed(base, KEY_SET_VALUE)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  return Write(*base.store, [&]() -> LONG {
    const auto own = OwnKey(base);
    if (!own) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    const std::int64_t id = *own;
    auto stmt = Statement(*base.store, "DELETE FROM vals WHERE key=? AND fold=?");
    if (stmt == nullptr) return static_cast<LONG>(ERROR_CANTWRITE);
    sqlite3_bind_int64(stmt, 1, id);
    BindText(stmt, 2, Fold(valueName != nullptr ? valueName : ""));
    if (sqlite3_step(stmt) != SQLITE_DONE) return static_cast<LONG>(ERROR_CANTWRITE);
    return sqlite3_changes(base.store->db) > 0 ? 0 : static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  });
}

LONG RegDeleteKeyEx(HKEY key, const char* subKey, REGSAM sam, DWORD) {
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  std::vector<std::string> parts;
  if (LONG status = TargetPath(base, subKey, sam, &parts); status != 0) return status;
  return Write(*base.store, [&]() -> LONG {
    const auto id = Walk(*base.store, base.id, parts);
    if (!id) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    // A hive cannot be deleted, nor a key that still has subkeys.
    if (parts.empty() && base.hiveRoot) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    const std::int64_t children = CountChildren(*base.store, *id);
    if (children < 0) return static_cast<LONG>(ERROR_CANTWRITE);
    if (children > 0) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    return DeleteSubtree(*base.store, *id, true);
  });
}

LONG RegDeleteKey(HKEY key, const char* subKey) { return RegDeleteKeyEx(key, subKey, 0, 0); }

LONG RegDeleteTree(HKEY key, const char* subKey) {
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  std::vector<std::string> parts;
  if (LONG status = TargetPath(base, subKey, 0, &parts); status != 0) return status;
  return Write(*base.store, [&]() -> LONG {
    const auto id = Walk(*base.store, base.id, parts);
    if (!id) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    const bool self = !SplitPath(subKey).empty();
    if (self && parts.size() == 0 && base.hiveRoot) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    return DeleteSubtree(*base.store, *id, self);
  });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*, char* className,
                  DWORD* classSize, void*) {
  if (name == nullptr || nameSize == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  if (!Allowed(base, KEY_ENUMERATE_SUB_KEYS)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  std::lock_guard<std::recursive_mutex> lock(base.store->mutex);
  const auto own = OwnKey(base);
  if (!own) return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
  const std::int64_t id = *own;
  auto stmt = Statement(
      *base.store, "SELECT name FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?");
  if (stmt == nullptr) return static_cast<LONG>(ERROR_CANTREAD);
  sqlite3_bind_int64(stmt, 1, id);
  sqlite3_bind_int64(stmt, 2, index);
  if (sqlite3_step(stmt) != SQLITE_ROW) return EnumerationEnd(*base.store, id);
  const std::string found = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  if (LONG status = CopyName(found, name, nameSize); status != 0) return status;
  if (className != nullptr && classSize != nullptr && *classSize > 0) className[0] = '\0';
  if (classSize != nullptr) *classSize = 0;
  return 0;
}

LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*, DWORD* type,
                  BYTE* data, DWORD* dataSize) {
  if (name == nullptr || nameSize == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  if (!Allowed(base, KEY_QUERY_VALUE)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  std::lock_guard<std::recursive_mutex> lock(base.store->mutex);
  const auto own = OwnKey(base);
  if (!own) return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
  const std::int64_t id = *own;
  auto stmt = Statement(
      *base.store, "SELECT name, type, data FROM vals WHERE key=? ORDER BY id LIMIT 1 OFFSET ?");
  if (stmt == nullptr) return static_cast<LONG>(ERROR_CANTREAD);
  sqlite3_bind_int64(stmt, 1, id);
  sqlite3_bind_int64(stmt, 2, index);
  ValueRow row;
  if (!ReadValueRow(stmt, &row)) return EnumerationEnd(*base.store, id);
  if (LONG status = CopyName(row.name, name, nameSize); status != 0) return status;
  return CopyData(row, type, data, dataSize);
}

LONG RegQueryInfoKey(HKEY key, char* className, DWORD* classSize, DWORD*, DWORD* subKeys,
                     DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values,
                     DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD* securityDescriptor,
                     void*) {
  Base base;
  if (LONG status = ResolveBase(key, &base); status != 0) return status;
  if (!Allowed(base, KEY_QUERY_VALUE)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  std::lock_guard<std::recursive_mutex> lock(base.store->mutex);
  const auto own = OwnKey(base);
  if (!own) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  const std::int64_t id = *own;
  auto keys =
      Statement(*base.store, "SELECT count(*), ifnull(max(length(name)),0) FROM keys WHERE parent=?");
  auto vals = Statement(
      *base.store,
      "SELECT count(*), ifnull(max(length(name)),0), ifnull(max(length(data)),0) FROM vals"
      " WHERE key=?");
  if (keys == nullptr || vals == nullptr) return static_cast<LONG>(ERROR_CANTREAD);
  sqlite3_bind_int64(keys, 1, id);
  sqlite3_bind_int64(vals, 1, id);
  if (sqlite3_step(keys) != SQLITE_ROW || sqlite3_step(vals) != SQLITE_ROW)
    return static_cast<LONG>(ERROR_CANTREAD);
  if (!KeyExists(*base.store, id)) return static_cast<LONG>(ERROR_KEY_DELETED);
  if (className != nullptr && classSize != nullptr && *classSize > 0) className[0] = '\0';
  if (classSize != nullptr) *classSize = 0;
  if (subKeys != nullptr) *subKeys = static_cast<DWORD>(sqlite3_column_int64(keys, 0));
  if (maxSubKeyLen != nullptr) *maxSubKeyLen = static_cast<DWORD>(sqlite3_column_int64(keys, 1));
  if (maxClassLen != nullptr) *maxClassLen = 0;
  if (values != nullptr) *values = static_cast<DWORD>(sqlite3_column_int64(vals, 0));
  if (maxValueNameLen != nullptr)
    *maxValueNameLen = static_cast<DWORD>(sqlite3_column_int64(vals, 1));
  if (maxValueLen != nullptr) *maxValueLen = static_cast<DWORD>(sqlite3_column_int64(vals, 2));
  if (securityDescriptor != nullptr) *securityDescriptor = 0;
  return 0;
}

LONG RegConnectRegistry(const char* machineName, HKEY key, HKEY* result) {
  if (result == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  // As on Windows, only the machine-wide hives can be reached on another machine.
  if (value != 0x80000002u && value != 0x80000003u) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  std::string name = machineName != nullptr ? machineName : "";
  while (!name.empty() && name.front() == '\\') name.erase(0, 1);
  RegStore* local = LocalStore();
  if (local == nullptr) return static_cast<LONG>(ERROR_CANTOPEN);
  if (name.empty() || Fold(name) == Fold(LocalComputerName(*local))) {
    *result = key;
    return 0;
  }
  const std::string directory = MachineDirectory(name);
  if (directory.empty()) return static_cast<LONG>(ERROR_BAD_NETPATH);
  RegStore* remote = OpenStore(directory);
  if (remote == nullptr) return static_cast<LONG>(ERROR_BAD_NETPATH);
  std::lock_guard<std::recursive_mutex> lock(remote->mutex);
  const auto hive = HiveId(*remote, value == 0x80000002u ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS");
  if (!hive) return static_cast<LONG>(ERROR_CANTREAD);
  *result = NewHandle(remote, *hive, KEY_ALL_ACCESS);
  return 0;
}

std::string RegKeyPath(HKEY key) {
  Base base;
  if (ResolveBase(key, &base) != 0) return {};
  std::lock_guard<std::recursive_mutex> lock(base.store->mutex);
  std::vector<std::string> names;
  std::int64_t id = base.id;
  while (id != 0) {
    std::string name;
    const std::int64_t parent = ParentOf(*base.store, id, &name);
    if (parent < 0) return {};
    names.push_back(name);
    id = parent;
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += *it;
  }
  for (const auto& part : base.prefix) path += "\\" + part;
  return path;
}

// ---- transactions ------------------------------------------------------------------------------

RegTransaction::RegTransaction() : status_(0), store_(LocalStore()) {
  if (store_ == nullptr) {
    status_ = static_cast<LONG>(ERROR_CANTOPEN);
    return;
  }
  store_->mutex.lock();
  if (store_->inTransaction || !Exec(store_->db, "BEGIN IMMEDIATE")) {
    // Transactions do not nest: the outer one owns the store.
    status_ = static_cast<LONG>(store_->inTransaction ? ERROR_BUSY : ERROR_CANTWRITE);
    store_->mutex.unlock();
    store_ = nullptr;
    return;
  }
  store_->inTransaction = true;
}

RegTransaction::~RegTransaction() {
  if (store_ == nullptr) return;
  Exec(store_->db, "ROLLBACK");
  store_->inTransaction = false;
  store_->mutex.unlock();
}

LONG RegTransaction::Commit() {
  if (store_ == nullptr) return status_ != 0 ? status_ : static_cast<LONG>(ERROR_INVALID_HANDLE);
  const bool ok = Exec(store_->db, "COMMIT");
  if (!ok) Exec(store_->db, "ROLLBACK");
  store_->inTransaction = false;
  store_->mutex.unlock();
  store_ = nullptr;
  return ok ? 0 : static_cast<LONG>(ERROR_CANTWRITE);
}

}  // namespace tarn::platform
