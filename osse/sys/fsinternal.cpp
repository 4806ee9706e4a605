// Shared plumbing of the path and file-operation units. See fsinternal.h.
#include "osse/sys/fsinternal.h"

#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/memory.h"
#include "osse/diag/syserror.h"
#include "osse/sys/latch.h"

namespace tarn::osse::fs {

std::uint32_t checkVersion(std::uint32_t functionId, const void* param, std::uint32_t version) noexcept {
  if (param == nullptr) {
    ossLog(nullptr, functionId, ECF_INVALID_PARAMETER, kProbeNullParam, kErrorLevel, 0);
    traceError(functionId, kProbeNullParam, ECF_INVALID_PARAMETER);
    return ECF_INVALID_PARAMETER;
  }
  if (version < OSS_VERSION_MINIMUM) {
    const std::uint32_t minimum = OSS_VERSION_MINIMUM;
    ossLog(nullptr, functionId, ECF_INVALID_VERSION, kProbeOldVersion, kErrorLevel, 2, &version,
           static_cast<std::uint32_t>(sizeof version), OSS_LOG_TYPE_UNSIGNED, &minimum,
           static_cast<std::uint32_t>(sizeof minimum), OSS_LOG_TYPE_UNSIGNED);
    traceError(functionId, kProbeOldVersion, ECF_INVALID_VERSION);
    return ECF_INVALID_VERSION;
  }
  return 0;
}

std::uint32_t argumentFailure(std::uint32_t functionId, std::uint32_t code, std::uint32_t probe,
                              const char* path) noexcept {
  if (path == nullptr) {
    ossLog(nullptr, functionId, code, probe, kErrorLevel, 0);
  } else {
    ossLog(nullptr, functionId, code, probe, kErrorLevel, 1, path, static_cast<std::uint32_t>(std::strlen(path)),
           OSS_LOG_TYPE_STRING);
  }
  traceError(functionId, probe, code);
  return code;
}

std::uint32_t systemFailure(std::uint32_t functionId, std::uint32_t systemFunctionId, std::uint32_t systemError,
                            std::uint32_t probe, const char* path, const std::uint32_t* extraMode,
                            std::uint32_t handlerFlags) noexcept {
  OSSErrorDetail detail = {};
  detail.version = OSS_VERSION_STAMP;
  if (path != nullptr) {
    detail.validMask |= OSS_ERROR_DETAIL_FILE_NAME;
    detail.fileName = path;
  }
  if (extraMode != nullptr) {
    detail.validMask |= OSS_ERROR_DETAIL_IO;
    detail.reserved3 = *extraMode;
  }
  const char* item = path != nullptr ? path : "";
  const std::uint32_t rc =
      ossSystemErrorHandler(functionId, systemFunctionId, systemError, probe, kErrorLevel, handlerFlags,
                            detail.validMask != 0 ? &detail : nullptr, 1, item,
                            static_cast<std::uint32_t>(std::strlen(item)), OSS_LOG_TYPE_STRING);
  traceError(functionId, probe, rc);
  return rc;
}

std::uint32_t classifyPathTestError(std::uint32_t windowsError) noexcept {
  switch (windowsError) {
    case 2: case 3: case 18: case 53: case 67: case 161: case 206:
    // 267: Linux reports a path that runs through a file (ENOTDIR) where Windows reported 3.
    case 267:
      return ECF_FILE_DOESNT_EXIST;
    // 19 (write protect) is what a read-only file system gives here: a write test there is
    // refused like one on a read-only file.
    case 5: case 16: case 19: case 33: case 82: case 83: case 108: case 132: case 158: case 167:
      return ECF_ACCESS_DENIED;
    default:
      return 0;
  }
}

std::uint32_t allocate(void** out, std::uint32_t size, const char* file, std::uint32_t line) noexcept {
  return _ossMemAlloc(out, nullptr, size, 0, file, line);
}

std::uint32_t release(void** pointer, const char* file, std::uint32_t line) noexcept {
  return _ossMemFree(pointer, nullptr, 0, file, line);
}

}  // namespace tarn::osse::fs
