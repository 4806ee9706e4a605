// Diagnostic logging of the services library.
//
// Error paths write one diagnostic record before they return an error code: which function
// failed at which probe, the code it returns, which function it called and what that call
// returned, and a few typed data items. The record goes to a log facility, which filters it by
// severity and writes it as a block of "\r\n"-separated text lines to its destination. A host
// program may instead take every record with ossSetOSSeLogCallback.
//
// Calling sequence of a host:
//
//     OSSLogFacOpenParam param = {};
//     param.version = OSS_VERSION_STAMP;
//     std::strcpy(param.name, "myhost");              // required for every destination
//     param.level = 4;                                // severe, errors and warnings (and events)
//     param.destination = OSS_LOG_DEST_STDERR;
//     ossLogFacOpen(&param, nullptr);                 // null: the process's default facility
//     ...
//     ossLog(nullptr, ECF_FN_OSSHFile_open, ECF_FILE_DOESNT_EXIST, 10, 3,
//            1, path, (std::uint32_t)std::strlen(path), OSS_LOG_TYPE_STRING);
//     ...
//     ossLogFacClose(nullptr);
//
// Until a facility is opened (or a callback installed) every record is dropped and the logging
// functions return ECF_INVALID_PARAMETER; the callers of the libraries ignore the result.
//
// Levels: 1 severe, 2 and 3 error (2 counts as 3 everywhere except in the callback), 4 warning,
// 5 information, 6 event. A facility of level L writes severity S when L is 6 and S is 6, or
// when L is not 6 and S is 6 or 1 <= S <= L: level 0 and level 6 write only events.
//
// Data items follow the fixed arguments as triples (pointer, u32 length, s32 type). The item
// count is a plain count (labels "DATA #n : "), or, for ossLogRC and ossLogSysRC, a negative
// value read as a bit mask: bit n - 1 (n = 1 to 31) set means argument n is present, and only
// the present arguments are passed, labelled "ARG  #n : ". At most OSS_LOG_MAX_ITEMS triples are
// read: a record holds 4096 bytes and even the shortest rendering takes more than 4096 / 256.
// A nested list (type OSS_LOG_TYPE_LIST) points at an array of OSSLogItem and carries its count
// or mask as the length; a list nested deeper than OSS_LOG_MAX_NESTING levels shows its label
// only, so that a list that contains itself cannot recurse without end.
//
// Re-entry. One process-wide byte marks a record in progress: a logging call made while another
// is inside the facility (from a destination that logs, or from another thread) returns 0 and
// its record is dropped. The facility's latch serialises its records and its settings.
//
// Destinations: OSS_LOG_DEST_STDERR prints the record; OSS_LOG_DEST_EVENTLOG reports it as one
// event of the facility's name to the platform's event log; OSS_LOG_DEST_FILE appends it to the
// facility's file under the file's exclusive lock, stamping the record's first line with its offset
// and length (osse/diag/logfile.h); a failed append refuses the record with ECF_FAILED.
#pragma once

#include <cstdint>

#include "osse/sys/latch.h"

// Destinations.
inline constexpr std::uint32_t OSS_LOG_DEST_FILE = 1;
inline constexpr std::uint32_t OSS_LOG_DEST_EVENTLOG = 2;
inline constexpr std::uint32_t OSS_LOG_DEST_STDERR = 4;

// Item types. 0 and above: the bytes as a hex dump.
inline constexpr std::int32_t OSS_LOG_TYPE_HEX = -1;
inline constexpr std::int32_t OSS_LOG_TYPE_SIGNED = -2;
inline constexpr std::int32_t OSS_LOG_TYPE_UNSIGNED = -3;
inline constexpr std::int32_t OSS_LOG_TYPE_CHAR = -4;
inline constexpr std::int32_t OSS_LOG_TYPE_STRING = -5;
inline constexpr std::int32_t OSS_LOG_TYPE_BOOL = -6;
inline constexpr std::int32_t OSS_LOG_TYPE_LIST = -7;
inline constexpr std::int32_t OSS_LOG_TYPE_DUMP = 0;

inline constexpr std::uint32_t OSS_LOG_RECORD_SIZE = 4096;   // the record buffer
inline constexpr std::uint32_t OSS_LOG_ITEM_MAX_BYTES = 512;  // bytes of one item rendered
inline constexpr std::int32_t OSS_LOG_MAX_ITEMS = 256;       // triples read from one call
inline constexpr std::uint32_t OSS_LOG_MAX_NESTING = 8;      // nested lists rendered as lists

// Flags handed to the callback.
inline constexpr std::uint32_t OSS_LOG_FLAG_LOG = 0x1;       // from ossLog
inline constexpr std::uint32_t OSS_LOG_FLAG_MASK = 0x2;      // items by bit mask (count <= 0)
inline constexpr std::uint32_t OSS_LOG_FLAG_SYSTEM = 0x4;    // from ossLogSysRC

// One data item. A nested list is an array of these; the callback sees the items of a call as
// one.
struct OSSLogItem {
  const void* data;
  std::uint32_t length;
  std::int32_t type;
};

struct OSSLogFacOpenParam {
  std::uint32_t version;      // at least OSS_VERSION_MINIMUM; callers store OSS_VERSION_STAMP
  char path[261];             // the log file (destination OSS_LOG_DEST_FILE)
  char name[51];              // the event source name, required for every destination
  std::uint32_t level;        // 0 to 6
  std::uint32_t destination;  // OSS_LOG_DEST_*
  std::uint32_t permissions;  // permission bits of a log file that has to be created
};

struct OSSLogFac {
  char path[261];
  char name[51];
  OSSLatch latch;
  std::uint32_t level;
  std::uint32_t destination;
  std::uint32_t permissions;
  std::uint8_t open;
};

// The callback takes over every record while it is installed. Its arguments: the facility as
// passed (possibly null), the function id, the called function id (0 for ossLog), the called
// function's return code or the operating-system error (0 for ossLog), the ECF code, the
// probe, the level as passed, the flags (OSS_LOG_FLAG_*: 1 for ossLog; ossLogRC 0, or 2 with a
// count of 0 or a mask; ossLogSysRC 4, or 6 with a count of 0 or a mask), the count or mask, and
// the address of a variable that holds the address of the first item. Its result is the result
// of the logging call.
using OSSLogCallback = std::uint32_t (*)(OSSLogFac* facility, std::uint32_t functionId,
                                         std::uint32_t calledFunctionId, std::uint32_t calledResult,
                                         std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level,
                                         std::uint32_t flags, std::int32_t countOrMask,
                                         const OSSLogItem* const* items);

// Results: 0 when the record was written or filtered out (also when dropped as re-entrant);
// ECF_FAILED when the destination refused it; ECF_INVALID_PARAMETER when the facility is not
// open, its destination is unknown, or ossLog got a negative count; with a callback, its result.
std::uint32_t ossLog(OSSLogFac* facility, std::uint32_t functionId, std::uint32_t ecfCode, std::uint32_t probe,
                     std::uint32_t level, std::int32_t itemCount, ...) noexcept;
std::uint32_t ossLogRC(OSSLogFac* facility, std::uint32_t functionId, std::uint32_t calledFunctionId,
                       std::uint32_t calledResult, std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level,
                       std::int32_t itemCountOrMask, ...) noexcept;
// systemFunctionId names the failed operating-system call (product 1, component 2).
std::uint32_t ossLogSysRC(OSSLogFac* facility, std::uint32_t functionId, std::uint32_t systemFunctionId,
                          std::uint32_t systemError, std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level,
                          std::int32_t itemCountOrMask, ...) noexcept;

// 0, or ECF_INVALID_PARAMETER for a null or invalid parameter object: version below
// OSS_VERSION_MINIMUM, destination not 1, 2 or 4, level above 6, empty path for the file
// destination, empty name. Path and name are copied bounded by their arrays.
std::uint32_t ossLogFacOpen(const OSSLogFacOpenParam* param, OSSLogFac* facility) noexcept;
// Marks the facility closed; 0.
std::uint32_t ossLogFacClose(OSSLogFac* facility) noexcept;
// 0, or ECF_INVALID_PARAMETER when the facility is not open.
std::uint32_t ossLogFacSetLevel(OSSLogFac* facility, std::uint32_t level) noexcept;
// Installs the callback (null removes it); returns the callback.
OSSLogCallback ossSetOSSeLogCallback(OSSLogCallback callback) noexcept;

// The process's default facility (what a null facility pointer means).
OSSLogFac* ossLogDefaultFacility() noexcept;
