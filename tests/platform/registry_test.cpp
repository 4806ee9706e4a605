// The registry's semantics as the product relies on them: statuses, buffer rules, names, order,
// rights, views, remote machines, transactions and several writers at once.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/winerror.h"
#include "test_root.h"

namespace tp = tarn::platform;
using tp::DWORD;
using tp::HKEY;
using tp::LONG;

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  tarn::test::TempPlatformRoot root_;

  HKEY Create(HKEY parent, const char* path, tp::REGSAM sam = tp::KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(0, tp::RegCreateKeyEx(parent, path, 0, nullptr, 0, sam, nullptr, &key, nullptr))
        << path;
    return key;
  }
  LONG Open(HKEY parent, const char* path, tp::REGSAM sam, HKEY* key) {
    return tp::RegOpenKeyEx(parent, path, 0, sam, key);
  }
  void SetString(HKEY key, const char* name, const std::string& text) {
    ASSERT_EQ(0, tp::RegSetValueEx(key, name, 0, tp::REG_SZ,
                                   reinterpret_cast<const tp::BYTE*>(text.c_str()),
                                   static_cast<DWORD>(text.size() + 1)));
  }
  std::string GetString(HKEY key, const char* name) {
    char buffer[512] = {};
    DWORD size = sizeof buffer;
    DWORD type = 0;
    if (tp::RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<tp::BYTE*>(buffer),
                            &size) != 0)
      return "<missing>";
    return std::string(buffer);
  }
  std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD size = sizeof name;
      const LONG status = tp::RegEnumKeyEx(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (status == static_cast<LONG>(tp::ERROR_NO_MORE_ITEMS)) break;
      EXPECT_EQ(0, status);
      if (status != 0) break;
      EXPECT_EQ(std::strlen(name), size);
      names.push_back(name);
    }
    return names;
  }
  std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD size = sizeof name;
      const LONG status =
          tp::RegEnumValue(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (status == static_cast<LONG>(tp::ERROR_NO_MORE_ITEMS)) break;
      EXPECT_EQ(0, status);
      if (status != 0) break;
      names.push_back(name);
    }
    return names;
  }
};

// ---- values of every type ----------------------------------------------------------------------

struct ValueCase {
  const char* name;
  DWORD type;
  std::string bytes;
};

TEST_F(RegistryTest, EveryValueTypeKeepsItsTypeAndBytes) {
  const ValueCase cases[] = {
      {"Text", tp::REG_SZ, std::string("C:\\Tarn\0", 8)},
      {"", tp::REG_SZ, std::string("default\0", 8)},
      {"Expand", tp::REG_EXPAND_SZ, std::string("%TARN%\\bin\0", 11)},
      {"Blob", tp::REG_BINARY, std::string("\x00\x01\xfe\xff", 4)},
      {"Empty", tp::REG_BINARY, std::string()},
      {"Number", tp::REG_DWORD, std::string("\x2a\x00\x00\x00", 4)},
      {"Multi", tp::REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
      {"Big", tp::REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
  };
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN");
  for (const auto& c : cases)
    ASSERT_EQ(0, tp::RegSetValueEx(key, c.name, 0, c.type,
                                   reinterpret_cast<const tp::BYTE*>(c.bytes.data()),
                                   static_cast<DWORD>(c.bytes.size())))
        << c.name;
  tp::RegCloseKey(key);

  ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN", tp::KEY_READ, &key));
  for (const auto& c : cases) {
    char buffer[64];
    DWORD size = sizeof buffer;
    DWORD type = 99;
    ASSERT_EQ(0, tp::RegQueryValueEx(key, c.name, nullptr, &type,
                                     reinterpret_cast<tp::BYTE*>(buffer), &size))
        << c.name;
    EXPECT_EQ(c.type, type) << c.name;
    EXPECT_EQ(c.bytes, std::string(buffer, size)) << c.name;
  }
  // A null name is the default value.
  EXPECT_EQ("default", GetString(key, nullptr));
  tp::RegCloseKey(key);
}

TEST_F(RegistryTest, QueryFollowsTheBufferRule) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk");
  SetString(key, "Name", "0123456789");  // 11 bytes with the zero

  DWORD size = 0;
  DWORD type = 0;
  EXPECT_EQ(0, tp::RegQueryValueEx(key, "Name", nullptr, &type, nullptr, &size));
  EXPECT_EQ(11u, size);
  EXPECT_EQ(tp::REG_SZ, type);

  char small[5] = {'x', 'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_MORE_DATA),
            tp::RegQueryValueEx(key, "Name", nullptr, nullptr,
                                reinterpret_cast<tp::BYTE*>(small), &size));
  EXPECT_EQ(11u, size);
  EXPECT_EQ(std::string(5, 'x'), std::string(small, 5));  // untouched

  char exact[11];
  size = sizeof exact;
  EXPECT_EQ(0, tp::RegQueryValueEx(key, "Name", nullptr, nullptr,
                                   reinterpret_cast<tp::BYTE*>(exact), &size));
  EXPECT_EQ(11u, size);

  size = sizeof exact;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND),
            tp::RegQueryValueEx(key, "Missing", nullptr, nullptr,
                                reinterpret_cast<tp::BYTE*>(exact), &size));
  tp::RegCloseKey(key);
}

// ---- keys --------------------------------------------------------------------------------------

TEST_F(RegistryTest, OpenAndCreateReportWhatHappened) {
  HKEY key = nullptr;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND),
            Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN", tp::KEY_READ, &key));
  EXPECT_EQ(nullptr, key);

  DWORD disposition = 0;
  ASSERT_EQ(0, tp::RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN", 0, nullptr, 0,
                                  tp::KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(tp::REG_CREATED_NEW_KEY, disposition);
  tp::RegCloseKey(key);
  ASSERT_EQ(0, tp::RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN", 0, nullptr, 0,
                                  tp::KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(tp::REG_OPENED_EXISTING_KEY, disposition);
  EXPECT_EQ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN", tp::RegKeyPath(key));
  tp::RegCloseKey(key);

  // A closed handle is refused, not followed.
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_INVALID_HANDLE), tp::RegCloseKey(key));
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_INVALID_HANDLE),
            tp::RegQueryValueEx(key, "x", nullptr, nullptr, nullptr, nullptr));
  // A key name longer than Windows allows is refused.
  const std::string longName(256, 'k');
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_INVALID_PARAMETER),
            tp::RegCreateKeyEx(HKEY_CURRENT_USER, longName.c_str(), 0, nullptr, 0,
                               tp::KEY_ALL_ACCESS, nullptr, &key, nullptr));
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirCase) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\InstalledCopies\\TarnCopy1");
  SetString(key, "TARN Path Name", "/opt/tarn");
  tp::RegCloseKey(key);

  HKEY upper = nullptr;
  ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "software\\VELK\\installedcopies\\TARNCOPY1", tp::KEY_READ,
                    &upper));
  EXPECT_EQ("/opt/tarn", GetString(upper, "tarn path name"));
  EXPECT_EQ(std::vector<std::string>{"TARN Path Name"}, ValueNames(upper));
  tp::RegCloseKey(upper);

  HKEY copies = nullptr;
  ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\InstalledCopies", tp::KEY_READ, &copies));
  EXPECT_EQ(std::vector<std::string>{"TarnCopy1"}, SubkeyNames(copies));
  tp::RegCloseKey(copies);

  // Creating under another case opens the same key.
  DWORD disposition = 0;
  ASSERT_EQ(0, tp::RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELK\\INSTALLEDCOPIES\\tarncopy1",
                                  0, nullptr, 0, tp::KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(tp::REG_OPENED_EXISTING_KEY, disposition);
  tp::RegCloseKey(key);
}

TEST_F(RegistryTest, SubkeysEnumerateAlphabeticallyAndValuesInCreationOrder) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Order");
  for (const char* name : {"beta", "Alpha", "gamma", "Delta"}) tp::RegCloseKey(Create(key, name));
  for (const char* name : {"zeta", "Eta", "alpha"}) SetString(key, name, name);
  SetString(key, "ZETA", "again");  // an existing value keeps its place

  EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", "Delta", "gamma"}), SubkeyNames(key));
  EXPECT_EQ((std::vector<std::string>{"ZETA", "Eta", "alpha"}), ValueNames(key));

  // Past the end, and a name buffer one character short.
  char name[8];
  DWORD size = sizeof name;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_NO_MORE_ITEMS),
            tp::RegEnumKeyEx(key, 4, name, &size, nullptr, nullptr, nullptr, nullptr));
  size = 5;  // "Alpha" needs 6 with its zero
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_MORE_DATA),
            tp::RegEnumKeyEx(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
  size = 6;
  EXPECT_EQ(0, tp::RegEnumKeyEx(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(5u, size);
  size = 3;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_MORE_DATA),
            tp::RegEnumValue(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr));

  // Enumerated data follows the query's buffer rule.
  char data[3];
  DWORD dataSize = sizeof data;
  size = sizeof name;
  DWORD type = 0;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_MORE_DATA),
            tp::RegEnumValue(key, 0, name, &size, nullptr, &type,
                             reinterpret_cast<tp::BYTE*>(data), &dataSize));
  EXPECT_EQ(6u, dataSize);  // "again" and its zero
  tp::RegCloseKey(key);
}

TEST_F(RegistryTest, KeyInformationCountsAndMeasures) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Info");
  tp::RegCloseKey(Create(key, "short"));
  tp::RegCloseKey(Create(key, "a-longer-name"));
  SetString(key, "v", "12345678");
  SetString(key, "value-name", "1");
  DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(0, tp::RegQueryInfoKey(key, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr,
                                   &values, &maxName, &maxData, nullptr, nullptr));
  EXPECT_EQ(2u, subKeys);
  EXPECT_EQ(13u, maxSub);
  EXPECT_EQ(2u, values);
  EXPECT_EQ(10u, maxName);
  EXPECT_EQ(9u, maxData);
  tp::RegCloseKey(key);
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Child");
  tp::RegCloseKey(key);
  HKEY parent = nullptr;
  ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del", tp::KEY_ALL_ACCESS, &parent));
  SetString(parent, "v", "x");

  // Refused while the key has subkeys; a missing key or value is 2.
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_ACCESS_DENIED),
            tp::RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del"));
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND), tp::RegDeleteKey(parent, "Nothing"));
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND), tp::RegDeleteValue(parent, "Nothing"));
  EXPECT_EQ(0, tp::RegDeleteValue(parent, "V"));
  EXPECT_EQ("<missing>", GetString(parent, "v"));

  EXPECT_EQ(0, tp::RegDeleteKey(parent, "child"));
  EXPECT_EQ(0, tp::RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del"));
  // The handle outlives its key: calls through it say so.
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_KEY_DELETED),
            tp::RegSetValueEx(parent, "v", 0, tp::REG_SZ, reinterpret_cast<const tp::BYTE*>(""), 1));
  HKEY below = nullptr;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_KEY_DELETED),
            tp::RegCreateKeyEx(parent, "again", 0, nullptr, 0, tp::KEY_ALL_ACCESS, nullptr, &below,
                               nullptr));
  tp::RegCloseKey(parent);
  // A hive is never deleted.
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_ACCESS_DENIED), tp::RegDeleteKey(HKEY_USERS, ""));
}

TEST_F(RegistryTest, DeleteTreeRemovesEverythingBelow) {
  tp::RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree\\A\\B\\C"));
  tp::RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree\\D"));
  HKEY tree = nullptr;
  ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree", tp::KEY_ALL_ACCESS, &tree));
  SetString(tree, "kept?", "no");
  // Without a subkey name the key stays, emptied.
  EXPECT_EQ(0, tp::RegDeleteTree(tree, nullptr));
  EXPECT_TRUE(SubkeyNames(tree).empty());
  EXPECT_TRUE(ValueNames(tree).empty());
  tp::RegCloseKey(tree);
  EXPECT_EQ(0, tp::RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree"));
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND),
            Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree", tp::KEY_READ, &tree));
}

// ---- access rights -----------------------------------------------------------------------------

struct RightsCase {
  const char* what;
  tp::REGSAM sam;
  bool canQuery, canSet, canEnumerate, canCreate;
};

TEST_F(RegistryTest, HandlesAllowOnlyTheirRights) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights\\Sub");
  tp::RegCloseKey(key);
  const RightsCase cases[] = {
      {"KEY_READ", tp::KEY_READ, true, false, true, false},
      {"KEY_WRITE", tp::KEY_WRITE, false, true, false, true},
      {"KEY_QUERY_VALUE", tp::KEY_QUERY_VALUE, true, false, false, false},
      {"KEY_ENUMERATE_SUB_KEYS", tp::KEY_ENUMERATE_SUB_KEYS, false, false, true, false},
      {"KEY_ALL_ACCESS", tp::KEY_ALL_ACCESS, true, true, true, true},
      {"DELETE only", tp::DELETE, false, false, false, false},
  };
  const LONG denied = static_cast<LONG>(tp::ERROR_ACCESS_DENIED);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HKEY handle = nullptr;
    ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights", c.sam, &handle));
    DWORD size = 0;
    const LONG query = tp::RegQueryValueEx(handle, "missing", nullptr, nullptr, nullptr, &size);
    EXPECT_EQ(c.canQuery ? static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND) : denied, query);
    const LONG set =
        tp::RegSetValueEx(handle, "v", 0, tp::REG_SZ, reinterpret_cast<const tp::BYTE*>(""), 1);
    EXPECT_EQ(c.canSet ? 0 : denied, set);
    char name[16];
    DWORD nameSize = sizeof name;
    const LONG enumerate =
        tp::RegEnumKeyEx(handle, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(c.canEnumerate ? 0 : denied, enumerate);
    HKEY child = nullptr;
    const LONG create = tp::RegCreateKeyEx(handle, "New", 0, nullptr, 0, tp::KEY_READ, nullptr,
                                           &child, nullptr);
    EXPECT_EQ(c.canCreate ? 0 : denied, create);
    if (child != nullptr) {
      tp::RegCloseKey(child);
      EXPECT_EQ(0, tp::RegDeleteKey(handle, "New"));
    }
    tp::RegCloseKey(handle);
  }
}

// ---- views and roots ---------------------------------------------------------------------------

TEST_F(RegistryTest, The32BitViewLivesUnderWow6432Node) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN", tp::KEY_ALL_ACCESS | tp::KEY_WOW64_32KEY);
  SetString(key, "View", "32");
  EXPECT_EQ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Velk\\TARN", tp::RegKeyPath(key));
  tp::RegCloseKey(key);
  key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN");
  SetString(key, "View", "64");
  tp::RegCloseKey(key);

  struct { tp::REGSAM flags; const char* seen; } cases[] = {
      {0, "64"}, {tp::KEY_WOW64_64KEY, "64"}, {tp::KEY_WOW64_32KEY, "32"}};
  for (const auto& c : cases) {
    HKEY view = nullptr;
    ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN", tp::KEY_READ | c.flags, &view));
    EXPECT_EQ(c.seen, GetString(view, "View")) << c.flags;
    tp::RegCloseKey(view);
  }
  // The flag concerns HKEY_LOCAL_MACHINE\SOFTWARE only.
  tp::RegCloseKey(Create(HKEY_CURRENT_USER, "SOFTWARE\\Velk", tp::KEY_ALL_ACCESS | tp::KEY_WOW64_32KEY));
  HKEY user = nullptr;
  EXPECT_EQ(0, Open(HKEY_CURRENT_USER, "SOFTWARE\\Velk", tp::KEY_READ, &user));
  tp::RegCloseKey(user);
}

TEST_F(RegistryTest, ClassesRootIsMachineSoftwareClasses) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "CLSID\\{B0000000-0000-0000-0000-000000000001}\\InprocServer32");
  SetString(key, nullptr, "/opt/agent.so");
  tp::RegCloseKey(key);
  ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Classes\\CLSID\\{B0000000-0000-0000-0000-000000000001}\\InprocServer32",
                    tp::KEY_READ, &key));
  EXPECT_EQ("/opt/agent.so", GetString(key, ""));
  tp::RegCloseKey(key);
}

TEST_F(RegistryTest, OtherMachinesAreReachedByName) {
  HKEY remote = nullptr;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_BAD_NETPATH),
            tp::RegConnectRegistry("\\\\NOSUCHHOST", HKEY_LOCAL_MACHINE, &remote));

  ASSERT_EQ(0, ::mkdir((root_.path() + "/machines").c_str(), 0755));
  ASSERT_EQ(0, ::mkdir((root_.path() + "/machines/DBSERVER").c_str(), 0755));
  ASSERT_EQ(0, tp::RegConnectRegistry("\\\\dbserver", HKEY_LOCAL_MACHINE, &remote));
  HKEY key = Create(remote, "SOFTWARE\\Velk\\TARN");
  SetString(key, "Where", "remote");
  tp::RegCloseKey(key);

  // The local machine does not see the remote key, and a second connection does.
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND),
            Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN", tp::KEY_READ, &key));
  HKEY again = nullptr;
  ASSERT_EQ(0, tp::RegConnectRegistry("DBSERVER", HKEY_LOCAL_MACHINE, &again));
  ASSERT_EQ(0, Open(again, "SOFTWARE\\Velk\\TARN", tp::KEY_READ, &key));
  EXPECT_EQ("remote", GetString(key, "Where"));
  tp::RegCloseKey(key);
  tp::RegCloseKey(again);
  tp::RegCloseKey(remote);

  // The current user has no meaning on another machine; an empty name is this machine.
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_INVALID_HANDLE),
            tp::RegConnectRegistry("DBSERVER", HKEY_CURRENT_USER, &remote));
  ASSERT_EQ(0, tp::RegConnectRegistry("", HKEY_LOCAL_MACHINE, &remote));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, remote);
}

// ---- transactions and concurrency --------------------------------------------------------------

TEST_F(RegistryTest, ATransactionAppliesAllOrNothing) {
  {
    tp::RegTransaction transaction;
    ASSERT_EQ(0, transaction.status());
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tx\\Dropped");
    SetString(key, "v", "x");
    tp::RegCloseKey(key);
    // A failing call inside leaves the transaction usable.
    EXPECT_NE(0, tp::RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tx\\Nothing"));
  }  // not committed
  HKEY key = nullptr;
  EXPECT_EQ(static_cast<LONG>(tp::ERROR_FILE_NOT_FOUND),
            Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tx", tp::KEY_READ, &key));
  {
    tp::RegTransaction transaction;
    tp::RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tx\\Kept"));
    EXPECT_EQ(0, transaction.Commit());
  }
  EXPECT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tx\\Kept", tp::KEY_READ, &key));
  tp::RegCloseKey(key);
}

// Several writers at once, in threads and in processes, lose nothing.
TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kProcesses = 4;
  constexpr int kThreads = 2;
  constexpr int kWrites = 50;
  tp::RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Load"));

  auto writer = [](int who) {
    bool ok = true;
    for (int i = 0; i < kWrites; ++i) {
      const std::string path = "SOFTWARE\\Load\\W" + std::to_string(who);
      HKEY key = nullptr;
      ok &= tp::RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, tp::KEY_ALL_ACCESS,
                               nullptr, &key, nullptr) == 0;
      const DWORD value = static_cast<DWORD>(i);
      const std::string name = "v" + std::to_string(i);
      ok &= tp::RegSetValueEx(key, name.c_str(), 0, tp::REG_DWORD,
                              reinterpret_cast<const tp::BYTE*>(&value), sizeof value) == 0;
      tp::RegCloseKey(key);
    }
    return ok;
  };

  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      std::vector<std::thread> threads;
      std::vector<int> results(kThreads, 0);
      for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { results[t] = writer(p * kThreads + t) ? 1 : 0; });
      for (auto& thread : threads) thread.join();
      for (int r : results) ok &= r == 1;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  HKEY load = nullptr;
  ASSERT_EQ(0, Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Load", tp::KEY_READ, &load));
  EXPECT_EQ(static_cast<std::size_t>(kProcesses * kThreads), SubkeyNames(load).size());
  for (int who = 0; who < kProcesses * kThreads; ++who) {
    HKEY key = nullptr;
    ASSERT_EQ(0, Open(load, ("W" + std::to_string(who)).c_str(), tp::KEY_READ, &key));
    DWORD values = 0;
    ASSERT_EQ(0, tp::RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(kWrites), values) << who;
    tp::RegCloseKey(key);
  }
  tp::RegCloseKey(load);
}

}  // namespace
