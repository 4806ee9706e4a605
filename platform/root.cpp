#include "platform/root.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarn::platform {

namespace {
void MakeDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
  }
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return pw->pw_dir;
  return "/tmp";
}
}  // namespace

std::string PlatformRoot() {
  std::string root;
  if (const char* env = std::getenv("TARN_PLATFORM_ROOT"); env != nullptr && *env != '\0')
    root = env;
  else
    root = HomeDirectory() + "/.tarn-platform";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  MakeDirectories(root);
  return root;
}

std::string PlatformPath(std::string_view relative) {
  std::string path = PlatformRoot();
  path += '/';
  path += relative;
  const auto slash = path.rfind('/');
  MakeDirectories(path.substr(0, slash));
  return path;
}

bool AppendPlatformLine(std::string_view relative, std::string_view line) {
  const std::string path = PlatformPath(relative);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string text(line);
  text += '\n';
  ::flock(fd, LOCK_EX);
  bool ok = true;
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
  return ok;
}

}  // namespace tarn::platform
