#include "osse/sys/startup.h"

#include <cstring>
#include <string_view>

#include "osse/diag/memory.h"
#include "osse/sys/latch.h"
#include "platform/machine.h"
#include "platform/registry.h"

namespace tp = tarn::platform;

std::uint8_t g_bIsPlatformID_Win32OnNT = 0;
std::uint8_t g_bIsPlatformID_Win2k = 0;
std::uint8_t g_bIsPlatformID_WinXP = 0;
std::uint8_t g_bIsPlatformID_Win2k3 = 0;
std::uint8_t g_bIsPlatformID_Vista = 0;
std::uint8_t g_bIsPlatformID_Longhorn = 0;
std::uint8_t g_bIsPlatformID_Win32On95 = 0;
std::uint8_t g_bIsPlatformID_Win98 = 0;
std::uint8_t g_bIsPlatformID_WinMe = 0;
std::uint8_t g_bRunningTerminalService = 0;
std::uint8_t g_bRunningTerminalServiceRemoteAdminMode = 0;

namespace {

// Cleared by the first run of the start-up sequence; later attach notifications skip it.
std::uint8_t s_firstAttach = 1;
std::uint8_t s_wow64 = 0;

// Before Windows 2000 the suites were not part of the version record: the product options key
// lists them, and "Terminal Server" (exactly so) answers both questions.
bool TerminalServerInProductSuite() {
  tp::HKEY key = nullptr;
  if (tp::RegOpenKeyEx(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ProductOptions", 0,
                       tp::KEY_QUERY_VALUE, &key) != 0)
    return false;
  char suites[1024];
  tp::DWORD size = sizeof suites;
  tp::DWORD type = 0;
  const bool read = tp::RegQueryValueEx(key, "ProductSuite", nullptr, &type,
                                        reinterpret_cast<tp::BYTE*>(suites), &size) == 0;
  tp::RegCloseKey(key);
  if (!read || type != tp::REG_MULTI_SZ) return false;
  std::string_view rest(suites, size);
  while (!rest.empty()) {
    const auto end = rest.find('\0');
    if (rest.substr(0, end) == "Terminal Server") return true;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace

int ossCheckTerminalServices(int which) noexcept {
  tp::OSVERSIONINFOEXA version {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!tp::GetVersionEx(&version) || version.dwPlatformId != tp::VER_PLATFORM_WIN32_NT)
    return OSS_TS_ABSENT;
  if (version.dwMajorVersion < 5) return TerminalServerInProductSuite() ? which : OSS_TS_ABSENT;
  // The platform layer always offers version verification, so the run-time lookup of its two
  // functions (and the log record of a missing one) has no counterpart here.
  tp::OSVERSIONINFOEXA wanted {};
  wanted.dwOSVersionInfoSize = sizeof wanted;
  wanted.wSuiteMask = which == OSS_TS_SINGLE_USER ? tp::VER_SUITE_SINGLEUSERTS : tp::VER_SUITE_TERMINAL;
  const tp::QWORD condition = tp::VerSetConditionMask(0, tp::VER_SUITENAME, tp::VER_AND);
  return tp::VerifyVersionInfo(&wanted, tp::VER_SUITENAME, condition) ? which : OSS_TS_ABSENT;
}

OSSPlatformIdentity ossIdentifyPlatform() noexcept {
  OSSPlatformIdentity id;
  tp::OSVERSIONINFOEXA version {};
  version.dwOSVersionInfoSize = sizeof version;
  if (tp::GetVersionEx(&version)) {
    const bool nt = version.dwPlatformId == tp::VER_PLATFORM_WIN32_NT;
    const tp::DWORD major = version.dwMajorVersion;
    const tp::DWORD minor = version.dwMinorVersion;
    id.win32OnNT = nt;
    id.win2k = nt && major >= 5;
    id.winXP = nt && ((major == 5 && minor >= 1) || major >= 6);
    id.win2k3 = nt && ((major == 5 && minor >= 2) || major >= 6);
    id.vista = nt && major >= 6;
    id.longhorn = nt && major >= 6 && (version.wSuiteMask & tp::VER_SUITE_PERSONAL) == 0;
    id.win32On95 = !nt;
    id.win98 = !nt && minor == 10;
    id.winMe = !nt && minor == 90;
  }
  if (ossCheckTerminalServices(OSS_TS_SINGLE_USER) == OSS_TS_SINGLE_USER) {
    id.terminalService = true;
    id.terminalServiceRemoteAdmin = true;
  } else if (ossCheckTerminalServices(OSS_TS_TERMINAL) == OSS_TS_TERMINAL) {
    id.terminalService = true;
  }
  tp::BOOL wow64 = 0;
  id.wow64 = tp::IsWow64Process(&wow64) && wow64 != 0;
  return id;
}

bool ossLibraryStartUp() noexcept {
  if (s_firstAttach == 0) return false;
  s_firstAttach = 0;

  tp::SYSTEM_INFO system {};
  tp::GetSystemInfo(&system);
  ossLatchTuneForProcessors(system.dwNumberOfProcessors);
  // The time-stamp counter decision is taken here, once, so that no trace point pays for it.
  (void)ossCanUseRegister();
  ossMemReadDebugSettings();

  const OSSPlatformIdentity id = ossIdentifyPlatform();
  g_bIsPlatformID_Win32OnNT = id.win32OnNT;
  g_bIsPlatformID_Win2k = id.win2k;
  g_bIsPlatformID_WinXP = id.winXP;
  g_bIsPlatformID_Win2k3 = id.win2k3;
  g_bIsPlatformID_Vista = id.vista;
  g_bIsPlatformID_Longhorn = id.longhorn;
  g_bIsPlatformID_Win32On95 = id.win32On95;
  g_bIsPlatformID_Win98 = id.win98;
  g_bIsPlatformID_WinMe = id.winMe;
  g_bRunningTerminalService = id.terminalService;
  g_bRunningTerminalServiceRemoteAdminMode = id.terminalServiceRemoteAdmin;
  s_wow64 = id.wow64;
  // The symbol library for stack walks is loaded here once trap files exist.
  return true;
}

bool ossIsWow64Process() noexcept { return s_wow64 != 0; }

void ossOneTimeOnly() noexcept {}

std::uint32_t ossTerminate() noexcept {
  if (!ossMemIsMemFFDCAndOSSeMemDebugPathSet()) return 0;
  return ossMemAllocList(true);
}

namespace {
// The shared object's load and unload notifications stand in for the process attach and detach.
__attribute__((constructor)) void OssProcessAttach() { ossLibraryStartUp(); }
__attribute__((destructor)) void OssProcessDetach() { ossTerminate(); }
}  // namespace
