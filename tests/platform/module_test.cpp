// GetModuleFileNameOfAddress: the absolute file of the loaded module holding an address.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/module.h"
#include "platform/winerror.h"

namespace fs = std::filesystem;
namespace tp = tarn::platform;

namespace {

std::string ModuleOf(const void* address) {
  char buffer[4096];
  const tp::DWORD n = tp::GetModuleFileNameOfAddress(address, buffer, sizeof buffer);
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, sizeof buffer);
  return std::string(buffer, n);
}

TEST(Module, SharedObjectHoldingTheAddress) {
  const std::string path = ModuleOf(reinterpret_cast<const void*>(&tp::GetModuleFileNameOfAddress));
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(fs::path(path).filename(), "libtarnplatform.so");
  EXPECT_TRUE(fs::exists(path));
}

TEST(Module, ProgramItself) {
  const std::string path = ModuleOf(reinterpret_cast<const void*>(&ModuleOf));
  EXPECT_TRUE(fs::equivalent(path, "/proc/self/exe")) << path;
}

// A module loaded through a relative name is still named by an absolute path.
TEST(Module, RelativeLoadNamedAbsolutely) {
  char dir[] = "/tmp/tarn-module-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string copy = std::string(dir) + "/libcopy.so";
  const fs::path source = ModuleOf(reinterpret_cast<const void*>(&tp::GetModuleFileNameOfAddress));
  fs::copy_file(source, copy);
  const fs::path previous = fs::current_path();
  fs::current_path(dir);
  void* handle = ::dlopen("./libcopy.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  void* symbol = ::dlsym(handle, "_ZN4tarn8platform26GetModuleFileNameOfAddressEPKvPcj");
  ASSERT_NE(symbol, nullptr);
  EXPECT_EQ(ModuleOf(symbol), copy);
  fs::current_path(previous);
  ::dlclose(handle);
  fs::remove_all(dir);
}

// A short buffer gets as much as fits, terminated; the return is the buffer's size.
TEST(Module, ShortBufferTruncatedAndTerminated) {
  const void* address = reinterpret_cast<const void*>(&tp::GetModuleFileNameOfAddress);
  const std::string full = ModuleOf(address);
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  tp::SetLastError(0);
  EXPECT_EQ(tp::GetModuleFileNameOfAddress(address, buffer, sizeof buffer), 8u);
  EXPECT_EQ(tp::GetLastError(), tp::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(buffer), full.substr(0, 7));
  tp::SetLastError(0);
  EXPECT_EQ(tp::GetModuleFileNameOfAddress(address, buffer, 0), 0u);
  EXPECT_EQ(tp::GetLastError(), tp::ERROR_INSUFFICIENT_BUFFER);
}

TEST(Module, AddressOutsideEveryModule) {
  char buffer[64];
  int onTheStack = 0;
  tp::SetLastError(0);
  EXPECT_EQ(tp::GetModuleFileNameOfAddress(&onTheStack, buffer, sizeof buffer), 0u);
  EXPECT_EQ(tp::GetLastError(), tp::ERROR_MOD_NOT_FOUND);
  tp::SetLastError(0);
  EXPECT_EQ(tp::GetModuleFileNameOfAddress(&onTheStack, nullptr, 10), 0u);
  EXPECT_EQ(tp::GetLastError(), tp::ERROR_INVALID_PARAMETER);
}

}  // namespace
