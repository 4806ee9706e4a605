// level_probe: loads shared objects into a fresh process and prints what loading them did to the
// environment, for the level library's tests.
//
//   level_probe LIBRARY... 
//
// Loads each LIBRARY in turn with dlopen and, after each, prints
//   PATH=<value>          or PATH unset
//   CLASSPATH=<value>     or CLASSPATH unset
//   LEVEL=<file>          the file of the loaded module that answers sqleGetLevelInfo
//   SERVICES=<n>          the services library's g_bIsPlatformID_Win32OnNT, when it is loaded
//                         (1 once its start-up identified a machine of the NT family)
//   END
// The first block (before any load) has no LEVEL line. Exits 2 when a library cannot be loaded
// (the loader's message on standard error).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {
void PrintVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) std::printf("%s unset\n", name);
  else std::printf("%s=%s\n", name, value);
}
}  // namespace

int main(int argc, char** argv) {
  PrintVariable("PATH");
  PrintVariable("CLASSPATH");
  std::printf("END\n");
  for (int i = 1; i < argc; ++i) {
    void* handle = ::dlopen(argv[i], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "level_probe: %s\n", ::dlerror());
      return 2;
    }
    PrintVariable("PATH");
    PrintVariable("CLASSPATH");
    Dl_info info{};
    void* symbol = ::dlsym(handle, "sqleGetLevelInfo");
    if (symbol != nullptr && ::dladdr(symbol, &info) != 0 && info.dli_fname != nullptr) {
      std::printf("LEVEL=%s\n", info.dli_fname);
    } else {
      std::printf("LEVEL unknown\n");
    }
    if (const void* flag = ::dlsym(handle, "g_bIsPlatformID_Win32OnNT")) {
      std::printf("SERVICES=%u\n", *static_cast<const unsigned char*>(flag));
    } else {
      std::printf("SERVICES unknown\n");
    }
    std::printf("END\n");
  }
  return 0;
}
