// The registry file engine: one small database of records per file.
//
// A registry object names one registry file and its companions, carries the feature switches,
// and holds the record-operation table through which a record type (GlobalReg, ...) tells the
// engine what a record is; the formats (GenRegBin) run the actions over it. Every operation
// returns a u32 code: 0, or a code of the catalogue (osse/diag/ecf.h).
//
// Files. For a registry P in directory D with base name B:
//     P          the registry file
//     P.tmp      the next version of the registry while an update writes it
//     P.cor      a temporary file left by an interrupted update, kept for inspection
//     D/.B.lock  the lock file: held exclusively by the one update in progress
//     D/.B.bkp   a second name of the previous registry while a commit is under way
// (".B.lock" and ".B.bkp" without a directory when D is "."). Every name fits 259 characters;
// a path whose companions would not is refused when the names are set.
//
// An update (Add, Change, Delete):
//     Lock        open D/.B.lock, lock it exclusively (waiting), and make sure the locked file
//                 is still the one at the lock path (see below); restore P from D/.B.bkp if an
//                 earlier commit was cut off with P missing
//     OpenReg     read P under a shared lock on P itself; rename a stale P.tmp to P.cor;
//                 create P.tmp with P's permissions
//     copy pass   the format writes every kept, changed or new record into the temporary file
//     CloseReg    write P.tmp, fsync it, then commit:
//                     link P as D/.B.bkp   (the previous version keeps a name)
//                     rename P.tmp over P  (atomic: P names the old file or the new one)
//                     fsync D              (the new name reaches the disk)
//                     unlink D/.B.bkp
//                 so P exists at every instant, and a power failure leaves the old or the new
//                 registry, never a torn one
//     Verify      (GENREG_FEATURE_VERIFY) reread P and P.tmp side by side, accept only the
//                 difference the action should have made, and only then commit
//     UnLock      unlink the lock file while still holding it, then unlock and close it
//
// Readers (Get, scans) take no lock file: they open P, lock it shared and read it whole. Since
// a commit renames a new file over P instead of writing P, a reader always reads one complete
// version, the one it opened. The one writer that changes P in place is an Add with
// GENREG_FEATURE_DUPLICATES and without GENREG_FEATURE_VERIFY (and without the checksum
// header): it appends under an exclusive lock on P, which waits for the readers' shared locks.
//
// Why the lock file is checked after locking. On Linux a file can be unlinked while others hold
// it open and wait for its lock. Process A unlinks the lock file and then unlocks it; process B,
// which had opened the old file, gets the lock on a file that no longer has a name, while C
// creates a fresh lock file and locks that one: both would think they hold the lock. So Lock
// compares the locked file with the file now at the lock path (device and inode) and starts
// again when they differ; and UnLock unlinks before it unlocks, so whoever gets the lock of an
// unlinked file always sees the difference.
//
// Locks are open-file-description locks (byte 0, as OSSHFile locks): they belong to the open
// file, so two objects of one process exclude each other and closing an unrelated descriptor of
// the same file drops nothing.
//
// Objects have no internal locking: one thread at a time per object. Objects of different
// threads or processes naming the same file coordinate through the lock file.
#pragma once

#include <cstdint>
#include <vector>

#include "genreg/genregsys.h"

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i64 = std::int64_t;

// State bits.
inline constexpr u32 GENREG_STATE_CONSTRUCTED = 0x1;
inline constexpr u32 GENREG_STATE_LOCKED = 0x10;
inline constexpr u32 GENREG_STATE_SCAN_OPEN = 0x40;
inline constexpr u32 GENREG_STATE_SCAN_EOF = 0x80;
inline constexpr u32 GENREG_STATE_PATHS_SET = 0x100;

// Features.
inline constexpr u32 GENREG_FEATURE_VERIFY = 1;
inline constexpr u32 GENREG_FEATURE_DUPLICATES = 2;
inline constexpr u32 GENREG_FEATURE_PACKED = 4;
inline constexpr u32 GENREG_FEATURE_BIG_ENDIAN = 8;
inline constexpr u32 GENREG_FEATURE_KEEP_SCAN_POSITION = 16;
inline constexpr u32 GENREG_FEATURE_LOG = 32;
inline constexpr u32 GENREG_FEATURE_NOTIFY = 64;
inline constexpr u32 GENREG_FEATURE_CONTINUATION = 128;
inline constexpr u32 GENREG_FEATURE_CHECKSUM = 256;

// Actions.
inline constexpr u32 GENREG_ACTION_READ = 1;
inline constexpr u32 GENREG_ACTION_CHANGE = 2;
inline constexpr u32 GENREG_ACTION_ADD = 4;
inline constexpr u32 GENREG_ACTION_DELETE = 8;
inline constexpr u32 GENREG_ACTION_VERIFIED = 16;

// Lock options.
inline constexpr u32 GENREG_LOCK_EXCLUSIVE = 0x1;
inline constexpr u32 GENREG_LOCK_SHARED = 0x2;
inline constexpr u32 GENREG_LOCK_WAIT = 0x4;
inline constexpr u32 GENREG_LOCK_NOWAIT = 0x8;
inline constexpr u32 GENREG_LOCK_CREATE_DIR = 0x10;

// Formats.
inline constexpr u32 GENREG_FORMAT_BINARY = 1;
inline constexpr u32 GENREG_FORMAT_TEXT = 2;

inline constexpr u32 GENREG_PATH_SIZE = 260;            // every name, its terminator included
inline constexpr u32 GENREG_MIN_RECORD_SIZE = 3;
inline constexpr u32 GENREG_MAX_RECORD_SIZE = 0x100000;
inline constexpr u32 GENREG_CHECKSUM_HEADER_SIZE = 32;
inline constexpr u64 GENREG_ALL_FIELDS = 0xFFFFFFFFFFFFFFFFull;

// Steps of a commit, as the commit hook sees them.
inline constexpr int GENREG_COMMIT_TMP_WRITTEN = 1;     // P.tmp written and on disk
inline constexpr int GENREG_COMMIT_BACKUP_LINKED = 2;   // P also named .B.bkp
inline constexpr int GENREG_COMMIT_RENAMED = 3;         // P.tmp renamed over P
inline constexpr int GENREG_COMMIT_BEFORE_UNLINK = 4;   // directory synced, .B.bkp not yet removed

class GenRegBase;

// The record-operation table.
using GenRegMatchRecordFn = u32 (*)(u64 fieldMask, const void* stored, const void* pattern);
using GenRegValidateRecordFn = u32 (*)(u64 fieldMask, void* record);
using GenRegPrintRecordFn = u32 (*)(const void* record);
using GenRegLogFn = u32 (*)(GenRegBase* registry, u32 action, const void* first, const void* second);
using GenRegNotifyFn = u32 (*)();
using GenRegGetRecordSizeFn = u32 (*)(const void* record, u32* size);
using GenRegGetMaxRecordSizeFn = u32 (*)(u32* size);
// Packed records carry their stored length: a record read from a damaged file can claim field
// lengths that reach past its bytes, so the packing functions are told where the bytes end.
// PackRecord: *record holds the record structure, stored (storedLength bytes) the form it was read
// from or null. UnpackRecord: *record holds storedLength stored bytes (in a buffer of at least
// GetMaxRecordSize bytes).
using GenRegPackRecordFn = u32 (*)(void** record, const void* stored, u32 storedLength);
using GenRegUnpackRecordFn = u32 (*)(void** record, u32 storedLength);
using GenRegGetPackedRecordSizeFn = u32 (*)(const void* packed, u32* size);

// The feature set and the record-operation table.
class GenRegBase {
 public:
  GenRegBase();

  bool isFeatureSet(u32 feature) const;
  u32 setFeature(u32 feature);
  u32 unsetFeature(u32 feature);

  GenRegMatchRecordFn MatchRecord;
  GenRegValidateRecordFn ValidateRecord;
  GenRegPrintRecordFn PrintRecord;
  GenRegLogFn Log;
  GenRegNotifyFn Notify;
  u32 state;
  u32 features;
  u32 format;
  GenRegGetRecordSizeFn GetRecordSize;
  GenRegGetMaxRecordSizeFn GetMaxRecordSize;
};

// An open registry file read whole: the engine reads records out of memory.
struct GenRegStream {
  genregsys::File file;
  std::vector<unsigned char> data;
  u64 position = 0;  // into data
  u64 start = 0;     // first record byte (after a checksum header)
  bool open = false;
};

// The temporary file: the copy pass collects it in memory, CloseReg writes it whole.
struct GenRegOutStream {
  genregsys::File file;
  std::vector<unsigned char> data;
  bool open = false;
};

class GenRegFile : public GenRegBase {
 public:
  GenRegFile();
  ~GenRegFile();
  GenRegFile(const GenRegFile&) = delete;
  GenRegFile& operator=(const GenRegFile&) = delete;

  // Sets the registry path and its companions; refuses (ECF_GENREG_ARGUMENT_TOO_LARGE) a path
  // whose companion names would not fit GENREG_PATH_SIZE, and leaves the names unset then.
  u32 SetPaths(const char* registryPath);

  // Scans.
  u32 OpenScan();
  u32 CloseScan();
  u32 Rewind();
  u32 getRegFilePosition(i64* position);
  u32 setRegFilePosition(i64* position);

  // Used by the formats.
  u32 Lock(u32 options);
  u32 UnLock();
  u32 OpenReg(u32 action);
  u32 CloseReg(u32 action);

  // The checksum of the header (GENREG_FEATURE_CHECKSUM).
  static std::int32_t Checksum(const unsigned char* data, u64 length);

  char path[GENREG_PATH_SIZE];
  char backupPath[GENREG_PATH_SIZE];
  char tmpPath[GENREG_PATH_SIZE];
  char corruptTmpPath[GENREG_PATH_SIZE];
  char lockPath[GENREG_PATH_SIZE];
  genregsys::File lockFile;
  GenRegStream dataFile;
  GenRegOutStream tmpFile;
  u32 headerless;
  GenRegPackRecordFn PackRecord;
  GenRegUnpackRecordFn UnpackRecord;

 protected:
  // Opens P for reading into `stream` (shared lock, or exclusive when asked), checks the
  // checksum header when the feature is on.
  u32 openDataStream(GenRegStream& stream, u32 functionId, bool exclusive, bool create, bool write);
  u32 checkHeader(GenRegStream& stream, u32 functionId);
  void closeStream(GenRegStream& stream);
  u32 commit();
  u32 restoreFromBackup();
  // Set when OpenReg appended in place (Add with duplicates and without verification).
  bool appendInPlace_ = false;
  bool lockExclusive_ = false;
  GenRegStream tmpRead_;  // the temporary file reread by the verification pass
};
