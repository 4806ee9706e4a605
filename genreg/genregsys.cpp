// The engine's calls into the operating system, in one place.
//
// This unit stands in for the services library's file layer and diagnostics until the registry
// library calls them directly: each function below is the body of one OSSHFile operation or one
// ossFile / ossDirectory operation as the engine uses it, so that switching to the services
// library replaces a body, never a caller.
#include "genreg/genregsys.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace genregsys {

CommitHook g_commitHook = nullptr;

int fileOpen(File& file, const char* path, std::uint32_t flags, std::uint32_t permissions) {
  int oflags = O_CLOEXEC;
  if ((flags & OPEN_READ) && (flags & OPEN_WRITE)) {
    oflags |= O_RDWR;
  } else if (flags & OPEN_WRITE) {
    oflags |= O_WRONLY;
  } else {
    oflags |= O_RDONLY;
  }
  if (flags & OPEN_CREATE) oflags |= O_CREAT;
  if (flags & OPEN_TRUNCATE) oflags |= O_TRUNC;
  if (flags & OPEN_APPEND) oflags |= O_APPEND;
  int fd;
  do {
    fd = ::open(path, oflags, static_cast<mode_t>(permissions));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  file.fd = fd;
  return 0;
}

int fileClose(File& file) {
  if (file.fd < 0) return 0;
  int rc = ::close(file.fd);
  file.fd = -1;  // the descriptor is gone even when close reports a failure
  return rc == 0 ? 0 : errno;
}

int fileLock(File& file, bool exclusive, bool wait) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  for (;;) {
    if (::fcntl(file.fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EACCES) return EAGAIN;
    return errno;
  }
}

int fileUnlock(File& file) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  return ::fcntl(file.fd, F_OFD_SETLK, &fl) == 0 ? 0 : errno;
}

int fileReadAll(File& file, std::vector<unsigned char>& data) {
  data.clear();
  struct stat st;
  if (::fstat(file.fd, &st) != 0) return errno;
  data.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pread(file.fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;  // shrank meanwhile: what was read is the file
    done += static_cast<std::size_t>(n);
  }
  data.resize(done);
  return 0;
}

int fileWriteAll(File& file, const void* data, std::size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::write(file.fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

int fileSync(File& file) { return ::fsync(file.fd) == 0 ? 0 : errno; }

int fileSize(File& file, std::uint64_t& size) {
  struct stat st;
  if (::fstat(file.fd, &st) != 0) return errno;
  size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

bool fileIsAtPath(File& file, const char* path) {
  struct stat a, b;
  if (::fstat(file.fd, &a) != 0 || ::stat(path, &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool pathExists(const char* path) {
  struct stat st;
  return ::lstat(path, &st) == 0;
}

bool isDirectory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int directoryCreate(const char* path, bool parents, std::uint32_t permissions) {
  if (!parents) {
    if (::mkdir(path, static_cast<mode_t>(permissions)) == 0 || (errno == EEXIST && isDirectory(path))) return 0;
    return errno;
  }
  std::string p(path);
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      std::string part = p.substr(0, i);
      if (!isDirectory(part.c_str()) && ::mkdir(part.c_str(), static_cast<mode_t>(permissions)) != 0 &&
          !(errno == EEXIST && isDirectory(part.c_str()))) {
        return errno;
      }
    }
  }
  return 0;
}

int fileDelete(const char* path) { return ::unlink(path) == 0 ? 0 : errno; }

int fileRename(const char* from, const char* to) { return ::rename(from, to) == 0 ? 0 : errno; }

int fileLink(const char* existing, const char* link) { return ::link(existing, link) == 0 ? 0 : errno; }

int syncDirectoryOf(const char* path) {
  std::string dir(path);
  std::size_t slash = dir.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
  } else if (slash == 0) {
    dir = "/";
  } else {
    dir.resize(slash);
  }
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

int fileGetPermissions(const char* path, std::uint32_t& permissions) {
  struct stat st;
  if (::stat(path, &st) != 0) return errno;
  permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
  return 0;
}

int fileSetPermissions(File& file, std::uint32_t permissions) {
  return ::fchmod(file.fd, static_cast<mode_t>(permissions)) == 0 ? 0 : errno;
}

void* memAlloc(std::size_t size, const char*, int) { return std::calloc(1, size ? size : 1); }

void memFree(void* p, const char*, int) { std::free(p); }

// The diagnostic log and the trace facility are attached here; until a host turns them on the
// records go nowhere, exactly as with no log facility open and no trace control block attached.
void logFailure(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, const char*) {}
void traceEntry(std::uint32_t) {}
void traceExit(std::uint32_t, const std::uint32_t*) {}
void traceError(std::uint32_t, std::uint32_t, std::uint32_t, const char*) {}

}  // namespace genregsys
