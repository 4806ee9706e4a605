// System error handling. See syserror.h.
#include "osse/diag/syserror.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/tracepoints.h"

namespace {

// Run-time error numbers the analysis compares with (errno values of the original run-time
// library; Linux uses the same numbers).
constexpr std::uint32_t kErrPerm = 1;
constexpr std::uint32_t kErrAgain = 11;
constexpr std::uint32_t kErrNoMem = 12;
constexpr std::uint32_t kErrAccess = 13;
constexpr std::uint32_t kErrNotDir = 20;
constexpr std::uint32_t kErrInval = 22;
constexpr std::uint32_t kErrNFile = 23;
constexpr std::uint32_t kErrMFile = 24;
constexpr std::uint32_t kErrFBig = 27;
constexpr std::uint32_t kErrNoSpc = 28;

// The Windows error numbers of the mapping table, keyed to their code. Looked up by a walk: the
// table is short and the handler runs only on error paths.
struct ErrorRow {
  std::uint32_t error;
  std::uint32_t code;
  const char* name;
};

constexpr ErrorRow kWindowsErrors[] = {
    {2, ECF_FILE_DOESNT_EXIST, "ERROR_FILE_NOT_FOUND"},
    {3, ECF_FILE_PATH_DOESNT_EXIST, "ERROR_PATH_NOT_FOUND"},
    {5, ECF_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {6, ECF_INVALID_PARAMETER, "ERROR_INVALID_FLAGS"},
    {8, ECF_NO_MEMORY, "ERROR_OUTOFMEMORY"},
    {14, ECF_NO_MEMORY, "ERROR_OUTOFMEMORY"},
    {18, ECF_FILE_PROCESS_MAX, "ERROR_NO_MORE_FILES"},
    {21, ECF_FILE_DEVICE_UNAVAILABLE, "ERROR_NOT_READY"},
    {32, ECF_FILE_SHARE, "ERROR_SHARING_VIOLATION"},
    {33, ECF_FILE_LOCK, "ERROR_LOCK_VIOLATION"},
    {38, ECF_FILE_EOF, "ERROR_HANDLE_EOF"},
    {80, ECF_FILE_EXISTS, "ERROR_FILE_EXISTS"},
    {86, ECF_SEC_INVALID_PASSWORD, nullptr},
    {87, ECF_INVALID_PARAMETER, "ERROR_INVALID_FLAGS"},
    {112, ECF_FILE_NO_SPACE, "ERROR_DISK_FULL"},
    {122, ECF_BUFFER_TOO_SMALL, "ERROR_INSUFFICIENT_BUFFER"},
    {123, ECF_FILE_INVALID_NAME, "ERROR_INVALID_NAME"},
    {126, ECF_FILE_DOESNT_EXIST, "ERROR_MOD_NOT_FOUND"},
    {127, ECF_LIB_FUNC_NOT_FOUND, "ERROR_PROC_NOT_FOUND"},
    {145, ECF_FILE_DIR_NOT_EMPTY, "ERROR_DIR_NOT_EMPTY"},
    {183, ECF_FILE_EXISTS, "ERROR_ALREADY_EXISTS"},  // named objects: see mapWindowsError
    {206, ECF_FILE_NAME_TOO_LONG, "ERROR_FILENAME_EXCED_RANGE"},
    {234, ECF_BUFFER_TOO_SMALL, "ERROR_MORE_DATA"},
    {240, ECF_SESSION_CANCELED, "ERROR_VC_DISCONNECTED"},
    {267, ECF_FILE_NOT_A_DIRECTORY, "ERROR_DIRECTORY"},
    {487, ECF_INVALID_ADDRESS, "ERROR_INVALID_ADDRESS"},
    {1004, ECF_INVALID_PARAMETER, "ERROR_INVALID_FLAGS"},
    {1005, ECF_FILE_PATH_DOESNT_EXIST, "ERROR_UNRECOGNIZED_VOLUME"},
    {1113, ECF_NO_UNICODE_TRANSLATION, "ERROR_NO_UNICODE_TRANSLATION"},
    {1132, ECF_INVALID_ADDRESS, nullptr},
    {1455, ECF_NO_MEMORY, nullptr},
};

const ErrorRow* findWindowsError(std::uint32_t error) noexcept {
  for (const ErrorRow& row : kWindowsErrors)
    if (row.error == error) return &row;
  return nullptr;
}

std::uint32_t mapError(std::uint32_t systemFunctionId, std::uint32_t error) noexcept {
  if (systemFunctionId == ECF_FN_access) {
    if (error == kErrAccess) return ECF_ACCESS_DENIED;
    if (error == kErrInval) return ECF_INVALID_PARAMETER;
    if (error == 3) return ECF_FILE_DOESNT_EXIST;
    return ECF_UNKNOWN;
  }
  if (systemFunctionId == ECF_FN__stat) {
    if (error == 2 || error == kErrInval) return ECF_FILE_DOESNT_EXIST;
    return ECF_UNKNOWN;
  }
  if (error == 0) return systemFunctionId == ECF_FN_TlsGetValue ? ECF_INVALID_INVOCATION_SEQUENCE : ECF_UNKNOWN;
  if (error == 183) {
    // One Windows error for every existing object: what exists follows from the call.
    if (systemFunctionId == ECF_FN_CreateFileMapping) return ECF_MEM_EXISTS;
    if (systemFunctionId == ECF_FN_CreateSemaphore) return ECF_SEM_EXISTS;
    return ECF_FILE_EXISTS;
  }
  const ErrorRow* row = findWindowsError(error);
  return row != nullptr ? row->code : ECF_UNKNOWN;
}

std::uint32_t levelFor(std::uint32_t code) noexcept {
  switch (code) {
    case ECF_UNKNOWN:
    case ECF_NO_MEMORY:
    case ECF_FILE_PROCESS_MAX:
    case ECF_FILE_DEVICE_UNAVAILABLE:
    case ECF_FILE_SHARE: return 3;
    default: return 5;
  }
}

// The POSIX calls whose access and path failures the analysis looks into.
constexpr std::uint32_t kPathCalls[] = {
    ECF_FN_access, ECF_FN_chdir,  ECF_FN_chmod,   ECF_FN_fstat,  ECF_FN_link,    ECF_FN_lstat,
    ECF_FN_mkdir,  ECF_FN_open,   ECF_FN_readdir_r, ECF_FN_rename, ECF_FN_rmdir, ECF_FN_stat,
    ECF_FN_statvfs, ECF_FN_unlink, ECF_FN__stat,  ECF_FN_statfs, ECF_FN_fstat64, ECF_FN_realpath,
};
constexpr std::uint32_t kTransferCalls[] = {
    ECF_FN_read, ECF_FN_write, ECF_FN_writev, ECF_FN_readv, ECF_FN_preadv, ECF_FN_pread, ECF_FN_pwrite,
};

template <std::size_t N>
bool isOneOf(const std::uint32_t (&ids)[N], std::uint32_t id) noexcept {
  for (std::uint32_t candidate : ids)
    if (candidate == id) return true;
  return false;
}

std::uint32_t inputOutputBits(std::uint32_t sysId, std::uint32_t err) noexcept {
  std::uint32_t bits = 0;
  if (isOneOf(kPathCalls, sysId)) {
    if (err == kErrPerm || err == kErrAccess) bits |= 0x21;
    else if (err == kErrNotDir) bits |= 0x29;
  }
  if (sysId == ECF_FN_fork && err == kErrAgain) bits |= 0x03;
  if (sysId == ECF_FN_ftruncate) {
    if (err == kErrPerm || err == kErrAccess) bits |= 0x21;
    else if (err == kErrInval) bits |= 0x09;
  }
  if (sysId == ECF_FN_mmap && err == kErrAccess) bits |= 0x08;
  if (isOneOf(kTransferCalls, sysId)) bits |= 0x19;
  if (err == kErrNoMem) bits |= 0x07;
  if (err == kErrNFile || err == kErrMFile) bits |= 0x0B;
  if (err == kErrFBig || err == kErrNoSpc) bits |= 0x4B;
  return bits;
}

std::uint32_t memoryBits(std::uint32_t err) noexcept {
  if (err == kErrNoMem) return 0x06;
  if (err == kErrNFile || err == kErrMFile || err == kErrFBig || err == kErrNoSpc) return 0x02;
  return 0;
}

// Appends to a fixed buffer, never past `limit` characters; what does not fit is cut.
struct TextBuffer {
  char* text;
  std::size_t limit;
  std::size_t length = 0;

  __attribute__((format(printf, 2, 3))) bool append(const char* format, ...) noexcept {
    if (length >= limit) return false;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(text + length, limit - length + 1, format, arguments);
    va_end(arguments);
    if (written < 0) {
      text[length] = '\0';
      return false;
    }
    const bool fitted = length + static_cast<std::size_t>(written) <= limit;
    length = fitted ? length + static_cast<std::size_t>(written) : limit;
    return fitted;
  }
};

constexpr std::size_t kHeadingLimit = 390;
constexpr std::size_t kPathMax = 260;
constexpr std::size_t kWalkLimit = 671;  // the walk's text stays below 672 characters

const char* lastComponent(const char* path, std::size_t end) noexcept {
  std::size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  return path + start;
}

// The path walk: owner, group and permission bits of each directory leading to the target, and of
// the target itself, down to the first one whose information cannot be read.
void walkPath(const char* fileName, char* out, std::size_t size) noexcept {
  char path[kPathMax + 1];
  std::size_t length = std::strlen(fileName);
  if (length > kPathMax) length = kPathMax;
  std::memcpy(path, fileName, length);
  path[length] = '\0';
  if (length > 1 && path[length - 1] == '/') path[--length] = '\0';

  TextBuffer text{out, size - 1};
  out[0] = '\0';
  text.append(
      "Information of each subdirectory leading up to the first inaccessible one is shown in the format below "
      ":\n   <UID>:<GID>:<permissions> (subdirectories)\n\n");
  // Each prefix that ends before a separator (a leading separator ends none), then the whole path.
  for (std::size_t end = 1; end <= length; ++end) {
    if (end < length && path[end] != '/') continue;
    const char saved = path[end];
    path[end] = '\0';
    struct stat status {};
    const bool known = ::stat(path, &status) == 0;
    if (known) {
      char line[kPathMax + 64];
      std::snprintf(line, sizeof line, "   %u:%u:%o (%s%s)\n", static_cast<unsigned>(status.st_uid),
                    static_cast<unsigned>(status.st_gid), static_cast<unsigned>(status.st_mode & 07777),
                    lastComponent(path, end), S_ISDIR(status.st_mode) ? "/" : "");
      if (text.length + std::strlen(line) <= kWalkLimit) text.append("%s", line);
    }
    path[end] = saved;
    if (!known) {
      // Whatever room is left of the walk's 671 characters takes the closing line (cut if need be).
      TextBuffer closing{out, kWalkLimit, text.length};
      closing.append("\n Cannot descend any further than the above subdirectory.");
      return;
    }
  }
}

std::uint32_t popCount(std::uint32_t bits) noexcept { return static_cast<std::uint32_t>(__builtin_popcount(bits)); }

// The analysis record: its texts as items of their own (at most 8 of them).
void logTexts(std::uint32_t id, std::uint32_t sysId, std::uint32_t err, std::uint32_t level, const OSSLogItem* it,
              std::int32_t count) noexcept {
#define OSS_ITEM(n) it[n].data, it[n].length, it[n].type
  switch (count) {
    case 1: ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 1, OSS_ITEM(0)); break;
    case 2: ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 2, OSS_ITEM(0), OSS_ITEM(1)); break;
    case 3: ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 3, OSS_ITEM(0), OSS_ITEM(1), OSS_ITEM(2)); break;
    case 4:
      ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 4, OSS_ITEM(0), OSS_ITEM(1), OSS_ITEM(2), OSS_ITEM(3));
      break;
    case 5:
      ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 5, OSS_ITEM(0), OSS_ITEM(1), OSS_ITEM(2), OSS_ITEM(3),
                  OSS_ITEM(4));
      break;
    case 6:
      ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 6, OSS_ITEM(0), OSS_ITEM(1), OSS_ITEM(2), OSS_ITEM(3),
                  OSS_ITEM(4), OSS_ITEM(5));
      break;
    case 7:
      ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 7, OSS_ITEM(0), OSS_ITEM(1), OSS_ITEM(2), OSS_ITEM(3),
                  OSS_ITEM(4), OSS_ITEM(5), OSS_ITEM(6));
      break;
    default:
      ossLogSysRC(nullptr, id, sysId, err, 0, 100, level, 8, OSS_ITEM(0), OSS_ITEM(1), OSS_ITEM(2), OSS_ITEM(3),
                  OSS_ITEM(4), OSS_ITEM(5), OSS_ITEM(6), OSS_ITEM(7));
      break;
  }
#undef OSS_ITEM
}

}  // namespace

std::uint32_t ossErrorMapSystem(std::uint32_t functionId, std::uint32_t probe, std::uint32_t systemFunctionId,
                                std::uint32_t systemError, std::uint32_t* level) noexcept {
  const std::uint32_t code = mapError(systemFunctionId, systemError);
  if (level != nullptr) *level = levelFor(code);
  // The mapping, under the caller's id and probe: the call, its error and the code.
  if (gtraceIsOn()) {
    _gtraceVar(_gtraceThreadID(), 0u, functionId, probe, GTRACE_REC_DATA, 3u, 0u, 4u,
               static_cast<const void*>(&systemFunctionId), 0u, 4u, static_cast<const void*>(&systemError), 0u, 4u,
               static_cast<const void*>(&code));
  }
  return code;
}

const char* ossErrorNameMapSystem(std::uint32_t systemFunctionId, std::uint32_t systemError) noexcept {
  if (systemFunctionId == ECF_FN_access) {
    if (systemError == kErrAccess) return "EACCES";
    if (systemError == kErrInval) return "EINVAL";
    return nullptr;
  }
  if (systemFunctionId == ECF_FN__stat) return systemError == 2 ? "ENOENT" : nullptr;
  if (systemError == 0) return systemFunctionId == ECF_FN_TlsGetValue ? "NO_ERROR" : nullptr;
  const ErrorRow* row = findWindowsError(systemError);
  return row != nullptr ? row->name : nullptr;
}

std::uint32_t ossErrorAnalysis(const OSSErrorAnalysisRequest* request) noexcept {
  if (request == nullptr) return 0;
  const std::uint32_t err = request->systemError;
  const bool memory = request->kind == OSSErrorAnalysisKind::Memory ||
                      (request->kind == OSSErrorAnalysisKind::None && err == kErrNoMem);
  std::uint32_t bits = 0;
  if (request->kind == OSSErrorAnalysisKind::InputOutput) bits = inputOutputBits(request->systemFunctionId, err);
  else if (memory) bits = memoryBits(err);
  if (bits == 0) return 0;

  const std::uint32_t analyses = popCount(bits) + ((bits & OSS_ANALYSIS_MEMORY_INFO) != 0 ? 2 : 0);
  // The heading, with room past its own limit for the target line.
  char heading[kHeadingLimit + kPathMax + 48];
  TextBuffer head{heading, kHeadingLimit};
  heading[0] = '\0';
  head.append("A total of %u analysis will be performed :\n", analyses);
  static const char* const kLines[] = {" - User info\n", " - ulimit info\n", " - Memory info\n", " - Target file info\n",
                                       " - I/O attempt\n", " - Path access permission\n", " - File system\n"};
  for (std::uint32_t bit = 0; bit < 7; ++bit)
    if ((bits & (1u << bit)) != 0) head.append("%s", kLines[bit]);

  const bool inputOutput = request->kind == OSSErrorAnalysisKind::InputOutput;
  const bool hasName = inputOutput && request->fileName != nullptr;
  const bool hasHandle = inputOutput && !hasName && request->fileHandle != 0xFFFFFFFFu &&
                         (request->validMask & OSS_ERROR_DETAIL_FILE_HANDLE) != 0;
  head.limit = sizeof heading - 1;
  if (hasName) head.append("\n Target file = %.260s\n", request->fileName);
  else if (hasHandle) head.append("\n Target file handle = %d\n", static_cast<int>(request->fileHandle));

  // The real and effective ids are known here (the original platform had no such query).
  char userInfo[128];
  std::snprintf(userInfo, sizeof userInfo,
                "Real / Effective user ID = %u / %u, Real / Effective group ID = %u / %u.",
                static_cast<unsigned>(::getuid()), static_cast<unsigned>(::geteuid()),
                static_cast<unsigned>(::getgid()), static_cast<unsigned>(::getegid()));
  // Physical memory, swap and virtual memory: empty until the system-information queries exist,
  // as for a query that fails.
  static const char kNoInfo[] = "";
  char walk[kWalkLimit + 1];
  walk[0] = '\0';

  OSSLogItem items[8];
  std::int32_t count = 0;
  auto add = [&](const char* text) {
    items[count++] = OSSLogItem{text, static_cast<std::uint32_t>(std::strlen(text) + 1), OSS_LOG_TYPE_STRING};
  };
  add(heading);
  if (memory) {
    add(kNoInfo);
    add(kNoInfo);
    add(kNoInfo);
    // The requested size is compared with the free physical memory only when that is known.
  } else {
    if ((bits & OSS_ANALYSIS_USER_INFO) != 0) add(userInfo);
    if ((bits & OSS_ANALYSIS_MEMORY_INFO) != 0) {
      add(kNoInfo);
      add(kNoInfo);
      add(kNoInfo);
    }
    // Target file information and disk information join the record when their queries succeed;
    // neither query exists in the library yet.
    if ((bits & OSS_ANALYSIS_IO_ATTEMPT) != 0) add("I/O attempt not implemented yet.\n");
    if ((bits & OSS_ANALYSIS_PATH_ACCESS) != 0 && hasName) {
      walkPath(request->fileName, walk, sizeof walk);
      add(walk);
    }
  }
  const std::uint32_t id = memory ? ECF_FN_ossErrorMemoryAnalysis : ECF_FN_ossErrorIOAnalysis;
  logTexts(id, request->systemFunctionId, err, request->level, items, count);
  return bits;
}

std::uint32_t ossSystemErrorHandler(std::uint32_t functionId, std::uint32_t systemFunctionId, std::uint32_t systemError,
                                    std::uint32_t probe, std::uint32_t level, std::uint32_t flags,
                                    const OSSErrorDetail* detail, std::int32_t itemCount, ...) noexcept {
  std::uint32_t mappedLevel = 5;
  const std::uint32_t result = ossErrorMapSystem(functionId, probe, systemFunctionId, systemError, &mappedLevel);
  if ((flags & OSS_ERROR_HANDLER_NO_LOG) != 0) return result;

  const std::uint32_t logLevel = (level < mappedLevel || level == 6) ? level : mappedLevel;

  OSSErrorAnalysisRequest request = {};
  request.fileHandle = 0xFFFFFFFFu;
  if (detail == nullptr) {
    flags |= OSS_ERROR_HANDLER_NO_ANALYSIS;
  } else {
    const std::uint64_t mask = detail->validMask;
    request.validMask = mask;
    if ((mask & OSS_ERROR_DETAIL_FILE_NAME) != 0) request.fileName = detail->fileName;
    if ((mask & OSS_ERROR_DETAIL_FILE_HANDLE) != 0) request.fileHandle = detail->fileHandle;
    if ((mask & OSS_ERROR_DETAIL_32) != 0) request.detail32 = detail->detail32;
    if ((mask & OSS_ERROR_DETAIL_64) != 0) request.detail64 = detail->detail64;
    if ((mask & OSS_ERROR_DETAIL_REQUESTED_SIZE) != 0) request.requestedSize = detail->requestedSize;
    if ((mask & 0x1F) != 0) request.kind = OSSErrorAnalysisKind::InputOutput;
    else if ((mask & OSS_ERROR_DETAIL_REQUESTED_SIZE) != 0) request.kind = OSSErrorAnalysisKind::Memory;
  }

  // The caller's items, as one nested list.
  OSSLogItem items[OSS_LOG_MAX_ITEMS];
  const std::int32_t passed = itemCount >= 0 ? (itemCount < OSS_LOG_MAX_ITEMS ? itemCount : OSS_LOG_MAX_ITEMS)
                                             : __builtin_popcount(static_cast<std::uint32_t>(itemCount) & 0x7FFFFFFFu);
  va_list arguments;
  va_start(arguments, itemCount);
  for (std::int32_t i = 0; i < passed; ++i) {
    items[i].data = va_arg(arguments, const void*);
    items[i].length = va_arg(arguments, std::uint32_t);
    items[i].type = va_arg(arguments, std::int32_t);
  }
  va_end(arguments);
  const std::uint32_t nestedLength = itemCount >= 0 ? static_cast<std::uint32_t>(passed)
                                                    : static_cast<std::uint32_t>(itemCount);

  static const char kSeeAnalysis[] =
      "Search for ossError*Analysis probe point after this log entry for further\nself-diagnosis of this problem.";
  if (itemCount == 0) {
    ossLogSysRC(nullptr, functionId, systemFunctionId, systemError, result, probe, logLevel, 0);
  } else if ((flags & OSS_ERROR_HANDLER_NO_ANALYSIS) != 0) {
    ossLogSysRC(nullptr, functionId, systemFunctionId, systemError, result, probe, logLevel, 1, items, nestedLength,
                OSS_LOG_TYPE_LIST);
  } else {
    ossLogSysRC(nullptr, functionId, systemFunctionId, systemError, result, probe, logLevel, 2, items, nestedLength,
                OSS_LOG_TYPE_LIST, kSeeAnalysis, static_cast<std::uint32_t>(sizeof kSeeAnalysis), OSS_LOG_TYPE_STRING);
  }

  if ((flags & OSS_ERROR_HANDLER_NO_ANALYSIS) == 0) {
    request.functionId = functionId;
    request.probe = probe;
    request.systemFunctionId = systemFunctionId;
    request.systemError = systemError;
    request.level = logLevel;
    ossErrorAnalysis(&request);
  }
  return result;
}
