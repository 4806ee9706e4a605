// The engine's calls into the services library (see genregsys.h).
#include "genreg/genregsys.h"

#include <cerrno>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/memory.h"
#include "osse/sys/fileops.h"
#include "osse/sys/paths.h"

namespace genregsys {

CommitHook g_commitHook = nullptr;

namespace {

int fromCode(std::uint32_t code) {
  if (code == 0) return 0;
  if (code == ECF_FILE_DOESNT_EXIST) return ENOENT;
  if (code == ECF_FILE_LOCK) return EAGAIN;
  return EIO;
}

}  // namespace

int fileOpen(File& file, const char* path, std::uint32_t flags, std::uint32_t permissions) {
  OSSFileOpenParam p = {};
  p.version = OSS_VERSION_STAMP;
  p.fileName = path;
  if (flags & OPEN_TRUNCATE) {
    p.openMode = OSS_FILE_CREATE_ALWAYS;
  } else {
    p.openMode = (flags & OPEN_CREATE) ? OSS_FILE_OPEN_ALWAYS : OSS_FILE_OPEN_EXISTING;
  }
  // Lock rules of the file layer: an exclusive lock needs write access, a shared one read access.
  if ((flags & OPEN_READ) && (flags & OPEN_WRITE)) {
    p.accessMode = OSS_FILE_ACCESS_READWRITE;
  } else if (flags & OPEN_WRITE) {
    p.accessMode = OSS_FILE_ACCESS_WRITE;
  } else {
    p.accessMode = OSS_FILE_ACCESS_READ;
  }
  p.permissions = permissions;
  std::uint32_t rc = file.handle.open(&p);
  if (rc != 0) return fromCode(rc);
  file.open = true;
  if (flags & OPEN_APPEND) {
    OSSFileSeekParam s = {OSS_VERSION_STAMP, 0, OSS_FILE_SEEK_END, 0};
    rc = file.handle.seek(&s, nullptr);
    if (rc != 0) {
      fileClose(file);
      return fromCode(rc);
    }
  }
  return 0;
}

int fileClose(File& file) {
  if (!file.open) return 0;
  std::uint32_t rc = file.handle.close();
  file.open = false;  // a failed close leaves nothing this object could use again
  if (rc != 0) file.handle = OSSHFile();
  return fromCode(rc);
}

int fileLock(File& file, bool exclusive, bool wait) {
  OSSFileLockParam p = {OSS_VERSION_STAMP, exclusive ? OSS_FILE_LOCK_EXCLUSIVE : OSS_FILE_LOCK_SHARED,
                        wait ? OSS_FILE_LOCK_WAIT : OSS_FILE_LOCK_NOWAIT};
  return fromCode(file.handle.lock(&p));
}

int fileUnlock(File& file) { return fromCode(file.handle.unlock()); }

int fileReadAll(File& file, std::vector<unsigned char>& data) {
  data.clear();
  std::uint64_t size = 0;
  std::uint32_t rc = file.handle.getSize(&size);
  if (rc != 0) return fromCode(rc);
  OSSFileSeekParam s = {OSS_VERSION_STAMP, 0, OSS_FILE_SEEK_BEGIN, 0};
  if ((rc = file.handle.seek(&s, nullptr)) != 0) return fromCode(rc);
  data.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < data.size()) {
    std::size_t chunk = data.size() - done;
    if (chunk > 0x40000000) chunk = 0x40000000;
    OSSFileReadParam r = {OSS_VERSION_STAMP, static_cast<std::uint32_t>(chunk), 0};
    std::uint32_t got = 0;
    rc = file.handle.read(&r, data.data() + done, &got);
    done += got;
    if (rc == ECF_FILE_EOF) break;  // shrank meanwhile: what was read is the file
    if (rc != 0) return fromCode(rc);
  }
  data.resize(done);
  return 0;
}

int fileWriteAll(File& file, const void* data, std::size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    std::size_t chunk = length > 0x40000000 ? 0x40000000 : length;
    OSSFileWriteParam w = {OSS_VERSION_STAMP, p, static_cast<std::uint32_t>(chunk), 0};
    std::uint32_t written = 0;
    std::uint32_t rc = file.handle.write(&w, &written);
    if (rc != 0) return fromCode(rc) ? fromCode(rc) : EIO;
    p += chunk;
    length -= chunk;
  }
  return 0;
}

int fileSync(File& file) { return fromCode(file.handle.sync()); }

int fileSize(File& file, std::uint64_t& size) { return fromCode(file.handle.getSize(&size)); }

bool pathExists(const char* path) { return ossPathExists(path); }

bool isDirectory(const char* path) { return ossIsDirectory(path); }

int directoryCreate(const char* path, bool parents, std::uint32_t permissions) {
  OSSDirectoryCreateParam p = {OSS_VERSION_STAMP, path, permissions,
                               parents ? OSS_DIR_CREATE_PARENTS : OSS_DIR_CREATE_SINGLE};
  std::uint32_t rc = ossDirectoryCreate(&p);
  if (rc != 0 && ossIsDirectory(path)) return 0;  // made meanwhile by another process
  return fromCode(rc);
}

int fileDelete(const char* path) { return fromCode(ossFileDelete(path)); }

int fileGetPermissions(const char* path, std::uint32_t& permissions) {
  OSSFileGetInfoParam p;
  p.version = OSS_VERSION_STAMP;
  p.path = path;
  OSSFileInfo info;
  std::uint32_t rc = ossFileGetInfoV9(&p, &info);
  if (rc != 0) return fromCode(rc);
  permissions = info.permissions;
  return 0;
}

int fileSetPermissions(const char* path, std::uint32_t permissions) {
  return fromCode(ossFileSetPermissions(path, permissions ? permissions : 0600));
}

bool fileIsAtPath(File& file, const char* path) {
  bool isAtPath = false;
  return ossFileIsAtPath(file.handle.getFileHandle(), path, &isAtPath) == 0 && isAtPath;
}

int fileRename(const char* from, const char* to) { return fromCode(ossFileRenameReplace(from, to)); }

int fileLink(const char* existing, const char* link) { return fromCode(ossFileLink(existing, link)); }

int syncDirectoryOf(const char* path) {
  char dir[OSS_PATH_BUFFER_SIZE];
  if (ossDirectoryName(path, dir, sizeof dir) != 0) return EINVAL;
  return fromCode(ossDirectorySync(dir));
}

void* memAlloc(std::size_t size, const char* file, int line) {
  void* p = nullptr;
  if (size == 0) size = 1;
  if (size > 0xFFFFFFFFu) return nullptr;
  if (_ossMemAlloc(&p, nullptr, static_cast<std::uint32_t>(size), OSSMEM_ALLOC_ZERO, file,
                   static_cast<std::uint32_t>(line)) != 0) {
    return nullptr;
  }
  return p;
}

void memFree(void* p, const char* file, int line) {
  if (p != nullptr) _ossMemFree(&p, nullptr, 0, file, static_cast<std::uint32_t>(line));
}

void logFailure(std::uint32_t functionId, std::uint32_t code, std::uint32_t probe, std::uint32_t level,
                const char* text) {
  if (text != nullptr) {
    ossLog(nullptr, functionId, code, probe, level, 1, text, static_cast<std::uint32_t>(std::strlen(text)),
           OSS_LOG_TYPE_STRING);
  } else {
    ossLog(nullptr, functionId, code, probe, level, 0);
  }
}

}  // namespace genregsys
