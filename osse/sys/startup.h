// Start-up of the services library and the platform it runs on.
//
// The library prepares itself when a process loads it; nothing has to be called first. The load
// notification runs, once per process:
//   1. spin tuning of the latch from the processor count;
//   2. the decision whether the processor's time-stamp counter may be used;
//   3. the memory-debug settings from "OSSEMEMDBG";
//   4. platform identification: the exported one-byte flags below, the terminal-services flags,
//      and whether the process is a 32-bit one emulated on a 64-bit system.
// Unloading (the process detach) calls ossTerminate, which writes the list of outstanding
// allocations when memory first-failure data capture is on.
//
// The flags are cumulative: a later system sets every flag of the earlier ones of its family,
// so a caller tests for a minimum version with one flag. They are written before any other code
// of the library runs in the process and only read afterwards, as plain bytes.
//
// The platform layer answers the version record, the suite mask and the version verification
// from the machine-identity keys of the registry (see platform/machine.h): a test describes the
// machine it wants by writing those keys.
#pragma once

#include <cstdint>

extern std::uint8_t g_bIsPlatformID_Win32OnNT;   // Windows NT family (platform identifier 2)
extern std::uint8_t g_bIsPlatformID_Win2k;       // NT, major version 5 or later
extern std::uint8_t g_bIsPlatformID_WinXP;       // NT, 5.1 or later
extern std::uint8_t g_bIsPlatformID_Win2k3;      // NT, 5.2 or later
extern std::uint8_t g_bIsPlatformID_Vista;       // NT, major version 6 or later
extern std::uint8_t g_bIsPlatformID_Longhorn;    // NT, 6 or later, not the personal edition
extern std::uint8_t g_bIsPlatformID_Win32On95;   // any platform identifier other than 2
extern std::uint8_t g_bIsPlatformID_Win98;       // not NT, minor version 10
extern std::uint8_t g_bIsPlatformID_WinMe;       // not NT, minor version 90
extern std::uint8_t g_bRunningTerminalService;                  // terminal services present
extern std::uint8_t g_bRunningTerminalServiceRemoteAdminMode;   // single-user remote admin mode

// What platform identification finds, before it is published in the flags above.
struct OSSPlatformIdentity {
  bool win32OnNT = false;
  bool win2k = false;
  bool winXP = false;
  bool win2k3 = false;
  bool vista = false;
  bool longhorn = false;
  bool win32On95 = false;
  bool win98 = false;
  bool winMe = false;
  bool terminalService = false;
  bool terminalServiceRemoteAdmin = false;
  bool wow64 = false;  // a 32-bit process emulated on a 64-bit system
};

// Asks the platform now. Start-up publishes the answer of its one call.
OSSPlatformIdentity ossIdentifyPlatform() noexcept;

// Which terminal-services suite to ask ossCheckTerminalServices about.
inline constexpr int OSS_TS_SINGLE_USER = 0;  // suite bit 0x0100: single-user remote administration
inline constexpr int OSS_TS_TERMINAL = 1;     // suite bit 0x0010: terminal server
inline constexpr int OSS_TS_ABSENT = 2;

// The argument when the suite is present on this machine, OSS_TS_ABSENT when it is not.
int ossCheckTerminalServices(int which) noexcept;

// The start-up sequence. Runs at most once per process: returns true for the run that did the
// work and false for every later call (a later attach notification).
bool ossLibraryStartUp() noexcept;

// Whether start-up found the process running under 32-bit emulation.
bool ossIsWow64Process() noexcept;

// For hosts that call it explicitly: does nothing, any number of times (start-up happens at load).
void ossOneTimeOnly() noexcept;

// Writes the list of outstanding allocations (ossMemAllocList with a file) when memory
// first-failure data capture is on and the memory-debug path is set, and returns its code;
// otherwise returns 0.
std::uint32_t ossTerminate() noexcept;
