// The registry file engine: names, features, the lock file, opening and committing a registry
// file for one action, and scans. The protocol is described in genregfile.h.
#include "genreg/genregfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "osse/diag/ecf.h"

namespace {

using genregsys::fail;
using genregsys::TraceScope;

// Copies with a bound; false when the text does not fit (the target is then empty).
bool formatName(char* target, const char* format, const char* a, const char* b = nullptr) {
  int n = b ? std::snprintf(target, GENREG_PATH_SIZE, format, a, b) : std::snprintf(target, GENREG_PATH_SIZE, format, a);
  if (n < 0 || n >= static_cast<int>(GENREG_PATH_SIZE)) {
    target[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// GenRegBase

GenRegBase::GenRegBase()
    : MatchRecord(nullptr),
      ValidateRecord(nullptr),
      PrintRecord(nullptr),
      Log(nullptr),
      Notify(nullptr),
      state(GENREG_STATE_CONSTRUCTED),
      features(0),
      format(0),
      GetRecordSize(nullptr),
      GetMaxRecordSize(nullptr) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegBase_GenRegBase, &rc);
}

bool GenRegBase::isFeatureSet(u32 feature) const { return (features & feature) != 0; }

u32 GenRegBase::setFeature(u32 feature) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegBase_setFeature, &rc);
  if (feature == 0 || feature > 256) return rc = fail(ECF_FN_GenRegBase_setFeature, ECF_GENREG_INVALID_FEATURE, 10);
  features |= feature;
  return rc;
}

u32 GenRegBase::unsetFeature(u32 feature) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegBase_unsetFeature, &rc);
  if (feature == 0 || feature > 256) return rc = fail(ECF_FN_GenRegBase_unsetFeature, ECF_GENREG_INVALID_FEATURE, 10);
  if ((features & feature) == 0) return rc = fail(ECF_FN_GenRegBase_unsetFeature, ECF_GENREG_FEATURE_NOT_SET, 20);
  features &= ~feature;
  return rc;
}

// ---------------------------------------------------------------------------------------------
// GenRegFile: construction and names

GenRegFile::GenRegFile() : headerless(1), PackRecord(nullptr), UnpackRecord(nullptr) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegFile_GenRegFile, &rc);
  path[0] = backupPath[0] = tmpPath[0] = corruptTmpPath[0] = lockPath[0] = '\0';
}

GenRegFile::~GenRegFile() {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegFile_dtor, &rc);
  // Nothing is deleted or committed: an object dropped in the middle of an update leaves the
  // registry as it was and its temporary file for the next update to set aside.
  if (state & GENREG_STATE_LOCKED) {
    if (genregsys::fileClose(lockFile) != 0) fail(ECF_FN_GenRegFile_dtor, ECF_GENREG_UNABLE_TO_CLOSE_LOCK_FILE, 10);
  }
  if (dataFile.file.isOpen() && genregsys::fileClose(dataFile.file) != 0) {
    fail(ECF_FN_GenRegFile_dtor, ECF_GENREG_FAILED_TO_CLOSE_ORIGFILE, 20);
  }
  if (tmpFile.file.isOpen() && genregsys::fileClose(tmpFile.file) != 0) {
    fail(ECF_FN_GenRegFile_dtor, ECF_GENREG_FAILED_TO_CLOSE_TMPFILE, 30);
  }
  genregsys::fileClose(tmpRead_.file);
  state = GENREG_STATE_CONSTRUCTED;
}

u32 GenRegFile::SetPaths(const char* registryPath) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegFile_SetPaths, &rc);
  state &= ~GENREG_STATE_PATHS_SET;
  path[0] = backupPath[0] = tmpPath[0] = corruptTmpPath[0] = lockPath[0] = '\0';
  if (registryPath == nullptr || registryPath[0] == '\0') {
    return rc = fail(ECF_FN_GenRegFile_SetPaths, ECF_GENREG_NULL_ARGUMENT, 10);
  }
  // Directory part and base name, '/' being the one separator.
  const char* slash = std::strrchr(registryPath, '/');
  const char* base = slash ? slash + 1 : registryPath;
  if (base[0] == '\0') return rc = fail(ECF_FN_GenRegFile_SetPaths, ECF_GENREG_FAILED_TO_DETERMINE_BASENAME, 20);
  char dir[GENREG_PATH_SIZE];
  if (slash == nullptr) {
    std::strcpy(dir, ".");
  } else if (slash == registryPath) {
    std::strcpy(dir, "");  // the root: "/.B.lock"
  } else {
    std::size_t n = static_cast<std::size_t>(slash - registryPath);
    if (n >= GENREG_PATH_SIZE) return rc = fail(ECF_FN_GenRegFile_SetPaths, ECF_GENREG_ARGUMENT_TOO_LARGE, 30);
    std::memcpy(dir, registryPath, n);
    dir[n] = '\0';
  }
  bool ok = formatName(path, "%s", registryPath) && formatName(tmpPath, "%s.tmp", registryPath) &&
            formatName(corruptTmpPath, "%s.cor", registryPath);
  if (ok) {
    if (std::strcmp(dir, ".") == 0) {
      ok = formatName(lockPath, ".%s.lock", base) && formatName(backupPath, ".%s.bkp", base);
    } else {
      ok = formatName(lockPath, "%s/.%s.lock", dir, base) && formatName(backupPath, "%s/.%s.bkp", dir, base);
    }
  }
  if (!ok) {
    path[0] = backupPath[0] = tmpPath[0] = corruptTmpPath[0] = lockPath[0] = '\0';
    return rc = fail(ECF_FN_GenRegFile_SetPaths, ECF_GENREG_ARGUMENT_TOO_LARGE, 40, registryPath);
  }
  state |= GENREG_STATE_PATHS_SET;
  return rc;
}

std::int32_t GenRegFile::Checksum(const unsigned char* data, u64 length) {
  u32 sum = 0;
  u64 words = length / 4 * 4;
  for (u64 i = 0; i < words; i += 4) {
    sum ^= static_cast<u32>(data[i]) | static_cast<u32>(data[i + 1]) << 8 | static_cast<u32>(data[i + 2]) << 16 |
           static_cast<u32>(data[i + 3]) << 24;
  }
  for (u64 i = words; i < length; ++i) sum ^= data[i];
  return static_cast<std::int32_t>(sum);
}

// ---------------------------------------------------------------------------------------------
// The lock file

u32 GenRegFile::Lock(u32 options) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_Lock;
  TraceScope trace(fn, &rc);
  bool exclusive;
  if (options & GENREG_LOCK_EXCLUSIVE) {
    exclusive = true;
  } else if (options & GENREG_LOCK_SHARED) {
    exclusive = false;
  } else {
    return rc = fail(fn, ECF_GENREG_BAD_ARGUMENT, 10);
  }
  bool wait;
  if (options & GENREG_LOCK_NOWAIT) {
    wait = false;
  } else if (options & GENREG_LOCK_WAIT) {
    wait = true;
  } else {
    return rc = fail(fn, ECF_GENREG_BAD_ARGUMENT, 20);
  }
  if (!(state & GENREG_STATE_PATHS_SET)) return rc = fail(fn, ECF_GENREG_ERROR_PATH_NOT_SET, 30);
  if (state & GENREG_STATE_LOCKED) return rc = fail(fn, ECF_GENREG_ALREADY_LOCKED, 40);

  if (options & GENREG_LOCK_CREATE_DIR) {
    char dir[GENREG_PATH_SIZE];
    const char* slash = std::strrchr(path, '/');
    if (slash != nullptr && slash != path) {
      std::size_t n = static_cast<std::size_t>(slash - path);
      std::memcpy(dir, path, n);
      dir[n] = '\0';
      if (!genregsys::isDirectory(dir) && genregsys::directoryCreate(dir, true, 0700) != 0) {
        return rc = fail(fn, ECF_GENREG_ERROR_WHEN_CREATING_DIR_FOR_REGISTRY, 50, dir);
      }
    }
  }

  for (;;) {
    if (genregsys::fileOpen(lockFile, lockPath,
                            genregsys::OPEN_CREATE | (exclusive ? genregsys::OPEN_WRITE : genregsys::OPEN_READ),
                            0600) != 0) {
      return rc = fail(fn, ECF_GENREG_UNABLE_TO_OPEN_LOCK_FILE, 60, lockPath);
    }
    int err = genregsys::fileLock(lockFile, exclusive, wait);
    if (err != 0) {
      genregsys::fileClose(lockFile);
      if (err == EAGAIN) return rc = fail(fn, ECF_GENREG_IS_LOCKED_BY_SOMEONE_ELSE, 70, lockPath);
      return rc = fail(fn, ECF_GENREG_FAILED_TO_LOCK_REGISTRY, 80, lockPath);
    }
    // The holder before us unlinks the lock file before it lets go; if the file we now hold is
    // no longer the one at the lock path, someone else may hold that one: start again.
    if (genregsys::fileIsAtPath(lockFile, lockPath)) break;
    genregsys::fileClose(lockFile);
  }
  lockExclusive_ = exclusive;
  state |= GENREG_STATE_LOCKED;

  // A commit cut off by something other than this engine's protocol (which never leaves the
  // registry without its name) may have left the registry under its backup name only.
  if (exclusive) restoreFromBackup();
  return rc;
}

u32 GenRegFile::restoreFromBackup() {
  u32 rc = 0;
  if (!genregsys::pathExists(path) && genregsys::pathExists(backupPath)) {
    if (genregsys::fileRename(backupPath, path) != 0) {
      return rc = fail(ECF_FN_GenRegFile_Lock, ECF_GENREG_FAILED_TO_MOVE_TMP_TO_ORIG, 90, backupPath);
    }
    genregsys::syncDirectoryOf(path);
  }
  return rc;
}

u32 GenRegFile::UnLock() {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_UnLock;
  TraceScope trace(fn, &rc);
  if (!(state & GENREG_STATE_LOCKED)) return rc = fail(fn, ECF_GENREG_UNABLE_TO_UNLOCK_LOCK_FILE, 10);
  // Unlink while still holding the lock (see the header): whoever gets the lock of this file
  // next finds it nameless and goes for the one at the path. Only an exclusive holder may
  // remove it; shared holders would pull it from under each other.
  int deleteError = 0;
  if (lockExclusive_ && genregsys::fileIsAtPath(lockFile, lockPath)) {
    deleteError = genregsys::fileDelete(lockPath);
    if (deleteError == ENOENT) deleteError = 0;
  }
  if (genregsys::fileUnlock(lockFile) != 0) return rc = fail(fn, ECF_GENREG_UNABLE_TO_UNLOCK_LOCK_FILE, 20);
  state &= ~GENREG_STATE_LOCKED;
  if (genregsys::fileClose(lockFile) != 0) return rc = fail(fn, ECF_GENREG_UNABLE_TO_CLOSE_LOCK_FILE, 30);
  if (deleteError != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_DELETE_LOCK_FILE, 40, lockPath);
  return rc;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing a registry file for one action

u32 GenRegFile::checkHeader(GenRegStream& stream, u32 fn) {
  stream.start = 0;
  stream.position = 0;
  if (format != GENREG_FORMAT_BINARY || !isFeatureSet(GENREG_FEATURE_CHECKSUM) || stream.data.empty()) return 0;
  // A checksummed file that is not empty starts with its header; records follow it.
  if (stream.data.size() < GENREG_CHECKSUM_HEADER_SIZE) {
    return fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE, 200);
  }
  char expected[GENREG_CHECKSUM_HEADER_SIZE];
  std::memset(expected, 0, sizeof expected);
  std::snprintf(expected, sizeof expected, "%d",
                Checksum(stream.data.data() + GENREG_CHECKSUM_HEADER_SIZE,
                         stream.data.size() - GENREG_CHECKSUM_HEADER_SIZE));
  if (std::memcmp(expected, stream.data.data(), GENREG_CHECKSUM_HEADER_SIZE) != 0) {
    return fail(fn, ECF_GENREG_CHECKSUM_MISMATCH, 210, path);
  }
  stream.start = stream.position = GENREG_CHECKSUM_HEADER_SIZE;
  return 0;
}

u32 GenRegFile::openDataStream(GenRegStream& stream, u32 fn, bool exclusive, bool create, bool write) {
  u32 flags = genregsys::OPEN_READ;
  if (create) flags |= genregsys::OPEN_CREATE;
  if (write) flags |= genregsys::OPEN_WRITE | genregsys::OPEN_APPEND;
  int err = genregsys::fileOpen(stream.file, path, flags, 0600);
  if (err == ENOENT) return fail(fn, ECF_GENREG_REGISTRY_DOESNT_EXIST, 100, path);
  if (err != 0) return fail(fn, ECF_GENREG_OPEN_INPUT_FILE_FAILED, 110, path);
  if (genregsys::fileLock(stream.file, exclusive, true) != 0) {
    genregsys::fileClose(stream.file);
    return fail(fn, ECF_GENREG_FAILED_TO_LOCK_ORIG_REGISTRY_FILE, 120, path);
  }
  if (genregsys::fileReadAll(stream.file, stream.data) != 0) {
    genregsys::fileClose(stream.file);
    return fail(fn, ECF_GENREG_OPEN_INPUT_FILE_FAILED, 130, path);
  }
  stream.open = true;
  u32 rc = checkHeader(stream, fn);
  if (rc != 0) closeStream(stream);
  return rc;
}

void GenRegFile::closeStream(GenRegStream& stream) {
  genregsys::fileClose(stream.file);  // closing releases the lock on it
  stream.data.clear();
  stream.data.shrink_to_fit();
  stream.position = stream.start = 0;
  stream.open = false;
}

u32 GenRegFile::OpenReg(u32 action) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_OpenReg;
  TraceScope trace(fn, &rc);
  if (state & GENREG_STATE_SCAN_OPEN) return rc = fail(fn, ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE, 10);
  if (!(state & GENREG_STATE_PATHS_SET)) return rc = fail(fn, ECF_GENREG_ERROR_PATH_NOT_SET, 15);
  bool exclusive = false, create = false, write = false;
  appendInPlace_ = false;
  if (action == GENREG_ACTION_ADD) {
    // Appending in place is the one change made to the registry file itself; a checksummed file
    // would lose its header's agreement, so it takes the copy pass instead.
    bool appendable = isFeatureSet(GENREG_FEATURE_DUPLICATES) && !isFeatureSet(GENREG_FEATURE_VERIFY) &&
                      !(format == GENREG_FORMAT_BINARY && isFeatureSet(GENREG_FEATURE_CHECKSUM));
    bool exists = genregsys::pathExists(path);
    if (!exists || appendable) {
      exclusive = true;
      create = true;
      write = true;
      appendInPlace_ = appendable;
    }
    const char* slash = std::strrchr(path, '/');
    if (slash != nullptr && slash != path) {
      char dir[GENREG_PATH_SIZE];
      std::size_t n = static_cast<std::size_t>(slash - path);
      std::memcpy(dir, path, n);
      dir[n] = '\0';
      if (!genregsys::isDirectory(dir) && genregsys::directoryCreate(dir, false, 0700) != 0) {
        return rc = fail(fn, ECF_GENREG_ERROR_WHEN_CREATING_DIR_FOR_REGISTRY, 20, dir);
      }
    }
  }
  rc = openDataStream(dataFile, fn, exclusive, create, write);
  if (rc != 0) return rc;
  if (create) genregsys::syncDirectoryOf(path);  // a registry created here survives a power failure

  if (action == GENREG_ACTION_READ || appendInPlace_) return rc;

  if (action == GENREG_ACTION_VERIFIED) {
    int err = genregsys::fileOpen(tmpRead_.file, tmpPath, genregsys::OPEN_READ, 0600);
    if (err != 0 || genregsys::fileReadAll(tmpRead_.file, tmpRead_.data) != 0) {
      genregsys::fileClose(tmpRead_.file);
      closeStream(dataFile);
      return rc = fail(fn, ECF_GENREG_OPEN_OUTPUT_FILE_FAILED, 30, tmpPath);
    }
    tmpRead_.open = true;
    tmpRead_.position = tmpRead_.start = 0;
    if (format == GENREG_FORMAT_BINARY && isFeatureSet(GENREG_FEATURE_CHECKSUM) && !tmpRead_.data.empty()) {
      tmpRead_.position = tmpRead_.start = GENREG_CHECKSUM_HEADER_SIZE;
      if (tmpRead_.data.size() < GENREG_CHECKSUM_HEADER_SIZE) {
        closeStream(tmpRead_);
        closeStream(dataFile);
        return rc = fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_TEMP_FILE, 35, tmpPath);
      }
    }
    return rc;
  }

  // A temporary file left by an interrupted update is kept as the one .cor file.
  int err = genregsys::fileDelete(corruptTmpPath);
  if (err != 0 && err != ENOENT) {
    closeStream(dataFile);
    return rc = fail(fn, ECF_GENREG_FAILED_TO_DELETE_COR, 40, corruptTmpPath);
  }
  if (genregsys::pathExists(tmpPath) && genregsys::fileRename(tmpPath, corruptTmpPath) != 0) {
    fail(fn, ECF_GENREG_FAILED_TO_RENAME_TMP_TO_COR, 50, tmpPath);  // the action goes on
  }
  u32 permissions = 0600;
  if (genregsys::fileGetPermissions(path, permissions) != 0) {
    closeStream(dataFile);
    return rc = fail(fn, ECF_GENREG_FAILURE_GETTING_ORIG_REG_PERMISSIONS, 60, path);
  }
  if (genregsys::fileOpen(tmpFile.file, tmpPath,
                          genregsys::OPEN_WRITE | genregsys::OPEN_CREATE | genregsys::OPEN_TRUNCATE, 0600) != 0) {
    closeStream(dataFile);
    return rc = fail(fn, ECF_GENREG_OPEN_OUTPUT_FILE_FAILED, 70, tmpPath);
  }
  tmpFile.open = true;
  tmpFile.data.clear();
  if (genregsys::fileSetPermissions(tmpPath, permissions) != 0) {
    genregsys::fileClose(tmpFile.file);
    tmpFile.open = false;
    closeStream(dataFile);
    return rc = fail(fn, ECF_GENREG_FAILURE_SETTING_TMP_REG_PERMISSIONS, 80, tmpPath);
  }
  return rc;
}

u32 GenRegFile::CloseReg(u32 action) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_CloseReg;
  TraceScope trace(fn, &rc);
  if (state & GENREG_STATE_SCAN_OPEN) return rc = fail(fn, ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE, 10);
  bool appended = appendInPlace_;
  appendInPlace_ = false;
  if (dataFile.open) {
    int err = genregsys::fileClose(dataFile.file);
    closeStream(dataFile);
    if (err != 0) {
      if (tmpFile.open) {
        genregsys::fileClose(tmpFile.file);
        tmpFile.open = false;
      }
      closeStream(tmpRead_);
      return rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_ORIGFILE, 20, path);
    }
  }
  if (tmpRead_.open) closeStream(tmpRead_);

  bool wroteHeader = false;
  if (tmpFile.open) {
    bool keep = action == GENREG_ACTION_CHANGE || action == GENREG_ACTION_ADD || action == GENREG_ACTION_DELETE;
    int err = 0;
    if (keep && format == GENREG_FORMAT_BINARY && isFeatureSet(GENREG_FEATURE_CHECKSUM) && !tmpFile.data.empty()) {
      std::printf("Copy file into buffer done %d\n", static_cast<int>(tmpFile.data.size()));
      char header[GENREG_CHECKSUM_HEADER_SIZE];
      std::memset(header, 0, sizeof header);
      std::snprintf(header, sizeof header, "%d", Checksum(tmpFile.data.data(), tmpFile.data.size()));
      err = genregsys::fileWriteAll(tmpFile.file, header, sizeof header);
      wroteHeader = true;
    }
    // A discarded temporary file is still written (without forcing it to disk): it is what the
    // next update keeps as the .cor file for inspection.
    if (err == 0 && !tmpFile.data.empty()) err = genregsys::fileWriteAll(tmpFile.file, tmpFile.data.data(), tmpFile.data.size());
    if (err == 0 && keep) err = genregsys::fileSync(tmpFile.file);
    tmpFile.data.clear();
    int closeErr = genregsys::fileClose(tmpFile.file);
    tmpFile.open = false;
    if (err != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_WRITE_TO_TMP_FILE, 30, tmpPath);
    if (closeErr != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_TMPFILE, 40, tmpPath);
  }

  bool doCommit;
  if (isFeatureSet(GENREG_FEATURE_VERIFY)) {
    doCommit = action == GENREG_ACTION_VERIFIED;
  } else {
    doCommit = action == GENREG_ACTION_CHANGE || action == GENREG_ACTION_DELETE ||
               (action == GENREG_ACTION_ADD && !appended);
  }
  if (!doCommit) return rc;
  rc = commit();
  if (rc == 0 && (wroteHeader || (format == GENREG_FORMAT_BINARY && isFeatureSet(GENREG_FEATURE_CHECKSUM)))) {
    headerless = 0;
  }
  return rc;
}

// Replaces the registry by the temporary file so that the registry's name is never missing:
// the old file first gets a second name, then the rename swaps the name over atomically.
u32 GenRegFile::commit() {
  const u32 fn = ECF_FN_GenRegFile_CloseReg;
  genregsys::CommitHook hook = genregsys::g_commitHook;
  if (hook) hook(GENREG_COMMIT_TMP_WRITTEN);
  int err = genregsys::fileDelete(backupPath);
  if (err != 0 && err != ENOENT) return fail(fn, ECF_GENREG_FAILED_TO_MOVE_ORIG_TO_BACKUP, 100, backupPath);
  if (genregsys::fileLink(path, backupPath) != 0) return fail(fn, ECF_GENREG_FAILED_TO_MOVE_ORIG_TO_BACKUP, 110, path);
  if (hook) hook(GENREG_COMMIT_BACKUP_LINKED);
  if (genregsys::fileRename(tmpPath, path) != 0) {
    genregsys::fileDelete(backupPath);  // the registry still has its own name: nothing to restore
    return fail(fn, ECF_GENREG_FAILED_TO_MOVE_TMP_TO_ORIG, 120, tmpPath);
  }
  if (hook) hook(GENREG_COMMIT_RENAMED);
  if (genregsys::syncDirectoryOf(path) != 0) return fail(fn, ECF_GENREG_FAILED_TO_MOVE_TMP_TO_ORIG, 130, path);
  if (hook) hook(GENREG_COMMIT_BEFORE_UNLINK);
  err = genregsys::fileDelete(backupPath);
  if (err != 0) return fail(fn, ECF_GENREG_FAILED_TO_DELETE_BACKUP_FILE, 140, backupPath);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Scans

u32 GenRegFile::OpenScan() {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_OpenScan;
  TraceScope trace(fn, &rc);
  if (state & GENREG_STATE_SCAN_OPEN) return rc = fail(fn, ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE, 10);
  if (!(state & GENREG_STATE_PATHS_SET)) return rc = fail(fn, ECF_GENREG_ERROR_PATH_NOT_SET, 15);
  rc = openDataStream(dataFile, fn, false, true, false);
  if (rc == ECF_GENREG_REGISTRY_DOESNT_EXIST) rc = ECF_GENREG_OPEN_INPUT_FILE_FAILED;
  if (rc != 0) return rc;
  state |= GENREG_STATE_SCAN_OPEN;
  state &= ~GENREG_STATE_SCAN_EOF;
  return rc;
}

u32 GenRegFile::CloseScan() {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_CloseScan;
  TraceScope trace(fn, &rc);
  if (state & GENREG_STATE_SCAN_OPEN) {
    int err = genregsys::fileClose(dataFile.file);
    closeStream(dataFile);
    if (err != 0) rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_ORIGFILE, 10);
  }
  state &= ~(GENREG_STATE_SCAN_OPEN | GENREG_STATE_SCAN_EOF);
  return rc;
}

u32 GenRegFile::Rewind() {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_Rewind;
  TraceScope trace(fn, &rc);
  if (!(state & GENREG_STATE_SCAN_OPEN)) return rc = fail(fn, ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE, 10);
  dataFile.position = dataFile.start;
  state &= ~GENREG_STATE_SCAN_EOF;
  return rc;
}

u32 GenRegFile::getRegFilePosition(i64* position) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_getRegFilePosition;
  TraceScope trace(fn, &rc);
  if (!(state & GENREG_STATE_SCAN_OPEN)) return rc = fail(fn, ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE, 10);
  if (position == nullptr) return rc = fail(fn, ECF_INVALID_PARAMETER, 1111);
  *position = static_cast<i64>(dataFile.position);
  return rc;
}

u32 GenRegFile::setRegFilePosition(i64* position) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_setRegFilePosition;
  TraceScope trace(fn, &rc);
  if (!(state & GENREG_STATE_SCAN_OPEN)) return rc = fail(fn, ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE, 10);
  if (position == nullptr) return rc = fail(fn, ECF_INVALID_PARAMETER, 1111);
  if (*position < static_cast<i64>(dataFile.start) || *position > static_cast<i64>(dataFile.data.size())) {
    return rc = fail(fn, ECF_GENREG_FAILED_TO_SET_FILE_POSITION, 20);
  }
  dataFile.position = static_cast<u64>(*position);
  return rc;
}
