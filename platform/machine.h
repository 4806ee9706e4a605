// Machine identity: what Windows tells a program about the machine it runs on.
//
// Every answer is read from the registry where Windows keeps it, so that a test (or the demo)
// describes a machine by importing a .reg file; a value that is absent gives the default of a
// Windows XP workstation in the United States:
//
//   HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion
//     "CurrentVersion"       REG_SZ  "MAJOR.MINOR"                    default "5.1"
//     "CurrentBuildNumber"   REG_SZ  decimal                          default "2600"
//     "CSDVersion"           REG_SZ  service-pack text              default "Service Pack 3"
//                                    (present but empty: no service pack)
//   HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion   (read only when the key above has no
//                                                      "CurrentVersion": a Windows 95/98/Me machine)
//     "VersionNumber"        REG_SZ  "MAJOR.MINOR.BUILD", e.g. "4.10.2222": platform 1
//     "SubVersionNumber"     REG_SZ  the edition letter, the service-pack text    default ""
//   HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions
//     "ProductType"          REG_SZ  "WinNT" workstation, "ServerNT" server,
//                                    "LanmanNT" domain controller   default "WinNT"
//     "ProductSuite"         REG_MULTI_SZ (or REG_SZ for one name) suite names, giving the suite
//                                    mask: "Small Business" 0x1, "Enterprise" 0x2, "BackOffice"
//                                    0x4, "CommunicationServer" 0x8, "Terminal Server" 0x10,
//                                    "Small Business(Restricted)" 0x20, "EmbeddedNT" 0x40,
//                                    "DataCenter" 0x80, "SingleUserTS" 0x100, "Personal" 0x200,
//                                    "Blade" 0x400
//                                                                   default none (0)
//   HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment
//     "PROCESSOR_ARCHITECTURE" REG_SZ "x86", "ARM", "IA64", "AMD64", "ARM64"
//                                                                   default: this host's (AMD64
//                                                                   on x86-64)
//   HKLM\SYSTEM\CurrentControlSet\Control\Nls\Language
//     "Default"              REG_SZ  language identifier in hexadecimal     default "0409"
//   HKCU\Control Panel\International\Geo
//     "Nation"               REG_SZ  geographic identifier in decimal       default "244"
//   HKLM\SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName
//     "ComputerName"         REG_SZ                                 default: the host name
//
// A value that is present but unreadable (wrong type, not a number) counts as absent, except the
// nation, which then is not available (GEOID_NOT_AVAILABLE), as on a Windows machine whose user
// never chose one. The ANSI code page is 1252 (GetACP, platform/com.h). The Windows directory is
// `windows/` below the platform root.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wintypes.h"

namespace tarn::platform {

using UINT = std::uint32_t;

// ---- Operating-system version ---------------------------------------------------------------

inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;  // Windows 95, 98 and Me
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

inline constexpr BYTE VER_NT_WORKSTATION = 1;
inline constexpr BYTE VER_NT_DOMAIN_CONTROLLER = 2;
inline constexpr BYTE VER_NT_SERVER = 3;

inline constexpr WORD VER_SUITE_SMALLBUSINESS = 0x0001;
inline constexpr WORD VER_SUITE_ENTERPRISE = 0x0002;
inline constexpr WORD VER_SUITE_BACKOFFICE = 0x0004;
inline constexpr WORD VER_SUITE_COMMUNICATIONS = 0x0008;
inline constexpr WORD VER_SUITE_TERMINAL = 0x0010;
inline constexpr WORD VER_SUITE_SMALLBUSINESS_RESTRICTED = 0x0020;
inline constexpr WORD VER_SUITE_EMBEDDEDNT = 0x0040;
inline constexpr WORD VER_SUITE_DATACENTER = 0x0080;
inline constexpr WORD VER_SUITE_SINGLEUSERTS = 0x0100;
inline constexpr WORD VER_SUITE_PERSONAL = 0x0200;
inline constexpr WORD VER_SUITE_BLADE = 0x0400;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;  // the caller sets sizeof(OSVERSIONINFOA) or sizeof(OSVERSIONINFOEXA)
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];  // the service-pack text, empty when there is none
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

struct OSVERSIONINFOEXA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
  WORD wServicePackMajor;  // N of "Service Pack N[.M]", else 0
  WORD wServicePackMinor;  // M of "Service Pack N.M", else 0
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXA) == 156);

// Fills the record whose size the caller stored in its first member (the plain or the extended
// form). Any other size: false with ERROR_INSUFFICIENT_BUFFER as the last error.
BOOL GetVersionEx(OSVERSIONINFOA* info);
BOOL GetVersionEx(OSVERSIONINFOEXA* info);

// Version verification (VerifyVersionInfo): `typeMask` names the fields of `wanted` to compare
// with this machine's record, `conditionMask` (built with VerSetConditionMask) how. Major version,
// minor version, service-pack major and service-pack minor compare as one number, most
// significant first, under the condition of the most significant field given; the suite mask
// takes VER_AND (every wanted bit present) or VER_OR (any of them). A mismatch answers false with
// ERROR_OLD_WIN_VERSION; an empty type or condition mask false with ERROR_BAD_ARGUMENTS.
inline constexpr DWORD VER_MINORVERSION = 0x01;
inline constexpr DWORD VER_MAJORVERSION = 0x02;
inline constexpr DWORD VER_BUILDNUMBER = 0x04;
inline constexpr DWORD VER_PLATFORMID = 0x08;
inline constexpr DWORD VER_SERVICEPACKMINOR = 0x10;
inline constexpr DWORD VER_SERVICEPACKMAJOR = 0x20;
inline constexpr DWORD VER_SUITENAME = 0x40;
inline constexpr DWORD VER_PRODUCT_TYPE = 0x80;

inline constexpr BYTE VER_EQUAL = 1;
inline constexpr BYTE VER_GREATER = 2;
inline constexpr BYTE VER_GREATER_EQUAL = 3;
inline constexpr BYTE VER_LESS = 4;
inline constexpr BYTE VER_LESS_EQUAL = 5;
inline constexpr BYTE VER_AND = 6;
inline constexpr BYTE VER_OR = 7;

inline constexpr DWORD ERROR_BAD_ARGUMENTS = 160;
inline constexpr DWORD ERROR_OLD_WIN_VERSION = 1150;

// Sets the condition for one field (a single VER_ bit) in the mask: three bits per field.
QWORD VerSetConditionMask(QWORD conditionMask, DWORD typeBit, BYTE condition);
BOOL VerifyVersionInfo(const OSVERSIONINFOEXA* wanted, DWORD typeMask, QWORD conditionMask);

// ---- System information ---------------------------------------------------------------------

inline constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
inline constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
inline constexpr WORD PROCESSOR_ARCHITECTURE_IA64 = 6;
inline constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
inline constexpr WORD PROCESSOR_ARCHITECTURE_IA32_ON_WIN64 = 10;
inline constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
inline constexpr WORD PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  void* lpMinimumApplicationAddress;
  void* lpMaximumApplicationAddress;
  std::uintptr_t dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;  // 8664 for AMD64, 386 for x86, 2200 for IA64, 0 otherwise
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};

// The architecture comes from the registry (above); page size, processor count and address
// range are this host's.
void GetSystemInfo(SYSTEM_INFO* info);

// Whether the process runs under 32-bit emulation on a 64-bit system (IsWow64Process for the
// current process). This port is built for 64 bits only, so a process is never emulated: the
// answer is always success with false.
BOOL IsWow64Process(BOOL* wow64);
void GetNativeSystemInfo(SYSTEM_INFO* info);

// ---- Language and nation --------------------------------------------------------------------

using LANGID = WORD;
using LCID = DWORD;
using GEOID = LONG;
using GEOCLASS = DWORD;
using GEOTYPE = DWORD;

inline constexpr LANGID PRIMARYLANGID(LANGID lang) { return static_cast<LANGID>(lang & 0x3FF); }

LANGID GetSystemDefaultLangID();
LCID GetSystemDefaultLCID();  // the system default language with the default sort

inline constexpr GEOCLASS GEOCLASS_NATION = 16;
inline constexpr GEOCLASS GEOCLASS_REGION = 14;
inline constexpr GEOID GEOID_NOT_AVAILABLE = -1;

inline constexpr GEOTYPE GEO_NATION = 0x0001;        // the identifier in decimal
inline constexpr GEOTYPE GEO_ISO2 = 0x0004;          // two-letter ISO 3166 code
inline constexpr GEOTYPE GEO_FRIENDLYNAME = 0x0008;  // English name

// The user's nation; any other class answers GEOID_NOT_AVAILABLE.
GEOID GetUserGeoID(GEOCLASS geoClass);

// Text about a nation, with the terminating zero, into `data` of `dataSize` characters; returns
// the characters written, zero included. `dataSize` 0 asks for the size needed. Failures answer
// 0 with the last error: ERROR_INSUFFICIENT_BUFFER (buffer short, left untouched),
// ERROR_INVALID_PARAMETER (unknown nation, unsupported type, negative size). Names are kept in
// English only, so every `language` gets them in English.
int GetGeoInfo(GEOID location, GEOTYPE type, char* data, int dataSize, LANGID language);

// ---- Computer name and Windows directory ----------------------------------------------------

inline constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;

// `size`: in, the buffer's capacity in characters with the terminating zero; out, the name's
// length without it. A short buffer: false, ERROR_BUFFER_OVERFLOW, `size` = the capacity needed.
BOOL GetComputerName(char* buffer, DWORD* size);

// The Windows directory (`windows` below the platform root, created when missing), without a
// trailing separator. Returns its length; when `size` is too small, the size needed with the
// terminating zero, buffer untouched.
UINT GetWindowsDirectory(char* buffer, UINT size);

}  // namespace tarn::platform
