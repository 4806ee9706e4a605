// System error handling: turning a failed operating-system call into a return code.
//
// Every function of the services library that sees an operating-system call fail hands the failure
// to ossSystemErrorHandler and returns what it returns:
//
//     OSSErrorDetail detail = {};
//     detail.version = OSS_VERSION_STAMP;
//     detail.validMask = OSS_ERROR_DETAIL_FILE_NAME;
//     detail.fileName = path;
//     return ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_CreateFileA, error, 40, 1, 0, &detail,
//                                  1, path, (std::uint32_t)std::strlen(path) + 1, OSS_LOG_TYPE_STRING);
//
// The handler maps the error (ossErrorMapSystem), writes one log record with ossLogSysRC whose
// CALLED line names the failed call and the error's symbolic name (ossErrorNameMapSystem), and,
// when the caller described the failure with an OSSErrorDetail, runs a self-diagnosis (the error
// analysis) whose findings go to the log as one further record. It never fails: whatever happens
// to logging and analysis, it returns the mapped code.
//
// Error numbers. The system function id says how to read the error: for `access` (ECF_FN_access)
// and `_stat` (ECF_FN__stat) it is the run-time library's errno itself; for every other call it is
// the Windows error number that the platform layer's one errno mapping (WinErrorFromErrno) gives
// for the POSIX failure. The analysis compares errors as run-time numbers, so only failures logged
// under the POSIX calls of its table (stat, open, rename, ftruncate, read ...) get the path and
// file findings; the memory findings follow errno 12 (ENOMEM) of any call.
//
// Everything here is reentrant and keeps no state; the only shared state is the log facility.
#pragma once

#include <cstdint>

// Valid bits of OSSErrorDetail. Bits 0x1 to 0x10 make the failure an input/output failure, 0x20 a
// memory failure.
inline constexpr std::uint64_t OSS_ERROR_DETAIL_FILE_NAME = 0x1;
inline constexpr std::uint64_t OSS_ERROR_DETAIL_FILE_HANDLE = 0x2;
inline constexpr std::uint64_t OSS_ERROR_DETAIL_32 = 0x4;
inline constexpr std::uint64_t OSS_ERROR_DETAIL_64 = 0x8;
inline constexpr std::uint64_t OSS_ERROR_DETAIL_IO = 0x10;  // input/output failure, no further field
inline constexpr std::uint64_t OSS_ERROR_DETAIL_REQUESTED_SIZE = 0x20;

// Handler flags.
inline constexpr std::uint32_t OSS_ERROR_HANDLER_NO_ANALYSIS = 0x1;
inline constexpr std::uint32_t OSS_ERROR_HANDLER_NO_LOG = 0x2;

// Optional detail of a failed system call, filled by the caller of ossSystemErrorHandler. The
// handler only carries detail32 and detail64: each caller says what it put there (the file layer
// puts the byte count of a read or write into detail32).
struct OSSErrorDetail {
  std::uint32_t version;           // OSS_VERSION_STAMP
  std::uint32_t reserved1;
  std::uint64_t validMask;         // OSS_ERROR_DETAIL_* bits of the fields that are set
  const char* fileName;            // OSS_ERROR_DETAIL_FILE_NAME
  std::uint32_t fileHandle;        // OSS_ERROR_DETAIL_FILE_HANDLE
  std::uint32_t detail32;          // OSS_ERROR_DETAIL_32
  std::uint32_t reserved2;
  std::uint64_t detail64;          // OSS_ERROR_DETAIL_64
  std::uint32_t reserved3;         // OSS_ERROR_DETAIL_IO marks an input/output failure
  std::uint32_t requestedSize;     // OSS_ERROR_DETAIL_REQUESTED_SIZE: bytes asked for
};

// Kinds of analysis.
enum class OSSErrorAnalysisKind : std::uint32_t { None = 0, InputOutput = 1, Memory = 2 };

// What the handler asks of the error analysis: the kind, the detail fields it collected (only
// those whose valid bits are set are non-zero), the caller, the failed call and the log level.
struct OSSErrorAnalysisRequest {
  OSSErrorAnalysisKind kind;
  std::uint64_t validMask;
  const char* fileName;            // null unless OSS_ERROR_DETAIL_FILE_NAME
  std::uint32_t fileHandle;        // 0xFFFFFFFF (no handle) unless OSS_ERROR_DETAIL_FILE_HANDLE
  std::uint32_t detail32;
  std::uint64_t detail64;
  std::uint32_t requestedSize;
  std::uint32_t functionId;
  std::uint32_t probe;
  std::uint32_t systemFunctionId;
  std::uint32_t systemError;
  std::uint32_t level;
};

// Analysis bits: which findings an analysis collects.
inline constexpr std::uint32_t OSS_ANALYSIS_USER_INFO = 0x01;
inline constexpr std::uint32_t OSS_ANALYSIS_ULIMIT_INFO = 0x02;
inline constexpr std::uint32_t OSS_ANALYSIS_MEMORY_INFO = 0x04;
inline constexpr std::uint32_t OSS_ANALYSIS_TARGET_FILE_INFO = 0x08;
inline constexpr std::uint32_t OSS_ANALYSIS_IO_ATTEMPT = 0x10;
inline constexpr std::uint32_t OSS_ANALYSIS_PATH_ACCESS = 0x20;
inline constexpr std::uint32_t OSS_ANALYSIS_FILE_SYSTEM = 0x40;

// The ECF code for error `systemError` of the call `systemFunctionId`; the level a record of it
// deserves goes to *level when level is not null (3 for ECF_UNKNOWN, ECF_NO_MEMORY,
// ECF_FILE_PROCESS_MAX, ECF_FILE_DEVICE_UNAVAILABLE and ECF_FILE_SHARE, else 5). functionId and
// probe name the caller for the data trace point.
std::uint32_t ossErrorMapSystem(std::uint32_t functionId, std::uint32_t probe, std::uint32_t systemFunctionId,
                                std::uint32_t systemError, std::uint32_t* level) noexcept;

// The symbolic name of the error ("ERROR_FILE_NOT_FOUND", "EACCES" ...), or null when it has none.
// A constant text of the library.
const char* ossErrorNameMapSystem(std::uint32_t systemFunctionId, std::uint32_t systemError) noexcept;

// Maps, logs and analyses a failed operating-system call; returns the mapped ECF code.
// level: the caller's level; the record is written at the mapped level unless the caller's is
// below it or is 6. flags: OSS_ERROR_HANDLER_*. detail: null, or the failure's description (no
// detail means no analysis). itemCount and the items that follow (triples pointer, u32 length,
// s32 type, as ossLog takes them; a negative count is a bit mask as for ossLogSysRC) are the
// caller's own data; they go into the record as one nested item.
std::uint32_t ossSystemErrorHandler(std::uint32_t functionId, std::uint32_t systemFunctionId, std::uint32_t systemError,
                                    std::uint32_t probe, std::uint32_t level, std::uint32_t flags,
                                    const OSSErrorDetail* detail, std::int32_t itemCount, ...) noexcept;

// The error analysis: chooses its findings from the request, and writes them as one log record
// (under ossErrorIOAnalysis or ossErrorMemoryAnalysis, probe 100) unless there is nothing to find.
// Returns the analysis bits it chose.
std::uint32_t ossErrorAnalysis(const OSSErrorAnalysisRequest* request) noexcept;
