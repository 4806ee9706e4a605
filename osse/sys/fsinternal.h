// Shared plumbing of the path and file-operation units (paths.cpp, fileops.cpp): the version rule
// of parameter objects, the two kinds of failure report, the classification of a path test's
// error, and the allocator calls of the directory listing. Not exported; not for other units.
#pragma once

#include <cstdint>

#include "osse/diag/tracepoints.h"

namespace tarn::osse::fs {

// Log level of an argument failure, and of a failure a caller cannot act on.
inline constexpr std::uint32_t kErrorLevel = 3;

// Probes of the version rule, the same in every function that takes a parameter object.
inline constexpr std::uint32_t kProbeNullParam = 1111;
inline constexpr std::uint32_t kProbeOldVersion = 1112;

// The version rule: 0, ECF_INVALID_PARAMETER for a null object (`param` is the object's
// address), or ECF_INVALID_VERSION for a stamp below OSS_VERSION_MINIMUM; both logged.
std::uint32_t checkVersion(std::uint32_t functionId, const void* param, std::uint32_t version) noexcept;

// Logs an argument failure with `path` (may be null) as its one item; returns `code`.
std::uint32_t argumentFailure(std::uint32_t functionId, std::uint32_t code, std::uint32_t probe,
                              const char* path) noexcept;

// Hands a failed system call to the system error handler with a failure detail naming `path`
// (bit 0x1), and `path` as the record's item; returns the handler's code. `systemError` is a
// Windows error number (or errno for `access` and `_stat`). extraMode, when not null, goes into
// the detail's input/output field (bit 0x10).
std::uint32_t systemFailure(std::uint32_t functionId, std::uint32_t systemFunctionId, std::uint32_t systemError,
                            std::uint32_t probe, const char* path, const std::uint32_t* extraMode = nullptr,
                            std::uint32_t handlerFlags = 0) noexcept;

// The answer of a path test to a Windows error: ECF_FILE_DOESNT_EXIST for the "not there"
// errors (2, 3, 18, 53, 67, 161, 206, and 267 for a path through a file), ECF_ACCESS_DENIED for the access errors (5, 16, 19, 33,
// 82, 83, 108, 132, 158, 167), else 0 (the caller reports the error through the handler).
std::uint32_t classifyPathTestError(std::uint32_t windowsError) noexcept;

// Runs `body` between the entry and exit trace points of `functionId`; the exit point carries the
// code the body returns.
template <typename Body>
std::uint32_t traced(std::uint32_t functionId, Body body) noexcept {
  GTRACE_ENTRY(functionId);
  std::uint32_t rc = body();
  GTRACE_EXIT(functionId, &rc);
  return rc;
}

// The error trace point that follows a failure's log record, with the same probe.
inline void traceError(std::uint32_t functionId, std::uint32_t probe, std::uint32_t rc) noexcept {
  GTRACE_ERROR(functionId, probe, &rc);
  (void)functionId, (void)probe, (void)rc;
}
// The same, returning the code: `return fs::failed(fid, probe, ossSystemErrorHandler(...));`
inline std::uint32_t failed(std::uint32_t functionId, std::uint32_t probe, std::uint32_t rc) noexcept {
  traceError(functionId, probe, rc);
  return rc;
}

// The listing's memory: the library's allocator, under the listing's function id.
std::uint32_t allocate(void** out, std::uint32_t size, const char* file, std::uint32_t line) noexcept;
std::uint32_t release(void** pointer, const char* file, std::uint32_t line) noexcept;

}  // namespace tarn::osse::fs
