// The log's file destination. See logfile.h.
#include "osse/diag/logfile.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/sys/files.h"

std::uint32_t ossLogWriteFileRecord(const char* path, std::uint32_t permissions, char* record,
                                    std::uint32_t length) noexcept {
  if (path == nullptr || record == nullptr || length <= OSS_LOG_STAMP_OFFSET + OSS_LOG_STAMP_WIDTH)
    return ECF_INVALID_PARAMETER;

  OSSHFile file;
  const OSSFileOpenParam open = {OSS_VERSION_STAMP, path, OSS_FILE_OPEN_ALWAYS, OSS_FILE_ACCESS_WRITE, 0,
                                 permissions, 0};
  std::uint32_t rc = file.open(&open);
  if (rc != 0) return rc;

  const OSSFileLockParam lock = {OSS_VERSION_STAMP, OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_WAIT};
  rc = file.lock(&lock);
  if (rc == 0) {
    // The end of file is read under the lock: only the holder appends.
    const OSSFileSeekParam seek = {OSS_VERSION_STAMP, 0, OSS_FILE_SEEK_END, 0};
    std::uint64_t end = 0;
    rc = file.seek(&seek, &end);
    if (rc == 0) {
      char stamp[OSS_LOG_STAMP_WIDTH + 1];
      std::snprintf(stamp, sizeof stamp, "%c%" PRIu64 "%c%u", 'I', end + 2, 'H', length - 2);
      const std::size_t stampLength = std::strlen(stamp);
      std::memcpy(record + OSS_LOG_STAMP_OFFSET, stamp, stampLength);
      record[OSS_LOG_STAMP_OFFSET + stampLength] = ' ';
      const OSSFileWriteParam write = {OSS_VERSION_STAMP, record, length, 0};
      std::uint32_t written = 0;
      rc = file.write(&write, &written);
    }
    const std::uint32_t unlocked = file.unlock();
    if (rc == 0) rc = unlocked;
  }
  const std::uint32_t closed = file.close();
  return rc != 0 ? rc : closed;
}
