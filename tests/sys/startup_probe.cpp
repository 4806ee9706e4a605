// Loads the services library (linked), prints the platform flags its start-up published, and
// with "leak" leaves one block allocated so that library termination has something to report.
#include <cstdio>
#include <cstring>

#include "osse/diag/memory.h"
#include "osse/sys/startup.h"

int main(int argc, char** argv) {
  std::printf("Win32OnNT=%u Win2k=%u WinXP=%u Win2k3=%u Vista=%u Longhorn=%u Win32On95=%u Win98=%u "
              "WinMe=%u TS=%u TSAdmin=%u again=%u\n",
              g_bIsPlatformID_Win32OnNT, g_bIsPlatformID_Win2k, g_bIsPlatformID_WinXP,
              g_bIsPlatformID_Win2k3, g_bIsPlatformID_Vista, g_bIsPlatformID_Longhorn,
              g_bIsPlatformID_Win32On95, g_bIsPlatformID_Win98, g_bIsPlatformID_WinMe,
              g_bRunningTerminalService, g_bRunningTerminalServiceRemoteAdminMode,
              ossLibraryStartUp() ? 1u : 0u);
  if (argc > 1 && std::strcmp(argv[1], "leak") == 0) {
    void* block = nullptr;
    if (_ossMemAlloc(&block, nullptr, 40, 0, "startup_probe.cpp", 17) != 0) return 1;
  }
  return 0;
}
