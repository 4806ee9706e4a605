// Binary record files: reading and writing length-prefixed records, the five actions and the
// verification pass (see genregbin.h and, for the files and the commit, genregfile.h).
#include "genreg/genregbin.h"

#include <cstring>

#include "osse/diag/ecf.h"

namespace {

using genregsys::fail;
using genregsys::TraceScope;

// A record buffer of the action, freed on every way out.
struct RecordBuffer {
  unsigned char* p = nullptr;
  u32 capacity = 0;
  ~RecordBuffer() {
    if (p) GENREG_FREE(p);
  }
  bool allocate(u32 size) {
    p = static_cast<unsigned char*>(GENREG_ALLOC(size));
    capacity = p ? size : 0;
    return p != nullptr;
  }
};

}  // namespace

GenRegBin::GenRegBin() : GetPackedRecordSize(nullptr) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegBin_GenRegBin, &rc);
  format = GENREG_FORMAT_BINARY;
}

GenRegBin::~GenRegBin() {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GenRegBin_dtor, &rc);
}

u32 GenRegBin::CheckFuncPtrs() {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegFile_CheckFuncPtrs;
  TraceScope trace(fn, &rc);
  if (ValidateRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_VALIDATERECORD, 10);
  if (GetMaxRecordSize == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_GETMAXRECORDSIZE, 20);
  if (isFeatureSet(GENREG_FEATURE_PACKED)) {
    if (PackRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_PACKRECORD, 30);
    if (UnpackRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_UNPACKRECORD, 40);
  }
  return rc;
}

u32 GenRegBin::maxRecordSize(u32 fn, u32* size) {
  if (GetMaxRecordSize == nullptr) return fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_GETMAXRECORDSIZE, 900);
  *size = 0;
  GetMaxRecordSize(size);
  if (*size < GENREG_MIN_RECORD_SIZE) return fail(fn, ECF_GENREG_RECORD_SIZE_TOO_SMALL, 910);
  if (*size > GENREG_MAX_RECORD_SIZE) return fail(fn, ECF_GENREG_RECORD_SIZE_TOO_LARGE, 920);
  return 0;
}

u32 GenRegBin::ReadRecord(GenRegStream& stream, unsigned char** buffer, u32* capacity, u32* length) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_ReadRecord;
  TraceScope trace(fn, &rc);
  *length = 0;
  const u64 size = stream.data.size();
  if (stream.position >= size) return rc = ECF_GENREG_EOF;
  if (size - stream.position < 4) return rc = fail(fn, ECF_GENREG_CORRUPTED_RECORD_SIZE, 10);
  const unsigned char* b = stream.data.data() + stream.position;
  u32 n = isFeatureSet(GENREG_FEATURE_BIG_ENDIAN)
              ? (static_cast<u32>(b[0]) << 24 | static_cast<u32>(b[1]) << 16 | static_cast<u32>(b[2]) << 8 | b[3])
              : (static_cast<u32>(b[3]) << 24 | static_cast<u32>(b[2]) << 16 | static_cast<u32>(b[1]) << 8 | b[0]);
  if (static_cast<u64>(n) > size - stream.position - 4) return rc = fail(fn, ECF_GENREG_CORRUPTED_RECORD_SIZE, 20);
  if (n > *capacity) {
    // The new buffer is bounded by the file already in memory.
    auto* larger = static_cast<unsigned char*>(GENREG_ALLOC(n));
    if (larger == nullptr) return rc = fail(fn, ECF_GENREG_TEMP_BUFFER_MALLOC_FAILURE, 30);
    GENREG_FREE(*buffer);
    *buffer = larger;
    *capacity = n;
  }
  std::memcpy(*buffer, b + 4, n);
  // The rest of the buffer holds no bytes of an earlier, longer record. (Unpacking rewrites the
  // whole record structure, so packed records need not pay for it.)
  if (!isFeatureSet(GENREG_FEATURE_PACKED)) std::memset(*buffer + n, 0, *capacity - n);
  stream.position += 4 + static_cast<u64>(n);
  *length = n;
  return rc;
}

void GenRegBin::putStored(std::vector<unsigned char>& out, const void* bytes, u32 n) {
  unsigned char prefix[4];
  if (isFeatureSet(GENREG_FEATURE_BIG_ENDIAN)) {
    prefix[0] = static_cast<unsigned char>(n >> 24);
    prefix[1] = static_cast<unsigned char>(n >> 16);
    prefix[2] = static_cast<unsigned char>(n >> 8);
    prefix[3] = static_cast<unsigned char>(n);
  } else {
    prefix[0] = static_cast<unsigned char>(n);
    prefix[1] = static_cast<unsigned char>(n >> 8);
    prefix[2] = static_cast<unsigned char>(n >> 16);
    prefix[3] = static_cast<unsigned char>(n >> 24);
  }
  out.insert(out.end(), prefix, prefix + 4);
  const auto* p = static_cast<const unsigned char*>(bytes);
  out.insert(out.end(), p, p + n);
}

u32 GenRegBin::WriteRecord(std::vector<unsigned char>& out, const void* record, const void* stored, u32 storedLength,
                           u32 callerFn) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_WriteRecord;
  TraceScope trace(fn, &rc);
  (void)callerFn;
  u32 n = 0;
  if (isFeatureSet(GENREG_FEATURE_PACKED)) {
    if (PackRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_PACKRECORD, 10);
    if (GetPackedRecordSize == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_GETPACKEDRECORDSIZE, 20);
    void* packed = const_cast<void*>(record);
    if (PackRecord(&packed, stored, storedLength) != 0 || packed == record || packed == nullptr) {
      return rc = fail(fn, ECF_GENREG_PACKRECORD_FAILURE, 30);
    }
    GetPackedRecordSize(packed, &n);
    if (n < GENREG_MIN_RECORD_SIZE) rc = fail(fn, ECF_GENREG_RECORD_SIZE_TOO_SMALL, 40);
    else if (n > GENREG_MAX_RECORD_SIZE) rc = fail(fn, ECF_GENREG_RECORD_SIZE_TOO_LARGE, 50);
    else putStored(out, packed, n);
    GENREG_FREE(packed);
    return rc;
  }
  if (GetRecordSize == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_GETRECORDSIZE, 60);
  GetRecordSize(record, &n);
  if (n < GENREG_MIN_RECORD_SIZE) return rc = fail(fn, ECF_GENREG_RECORD_SIZE_TOO_SMALL, 70);
  if (n > GENREG_MAX_RECORD_SIZE) return rc = fail(fn, ECF_GENREG_RECORD_SIZE_TOO_LARGE, 80);
  putStored(out, record, n);
  return rc;
}

u32 GenRegBin::unpack(unsigned char** buffer, u32 length, u32 fn) {
  if (!isFeatureSet(GENREG_FEATURE_PACKED)) return 0;
  if (UnpackRecord == nullptr) return fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_UNPACKRECORD, 800);
  void* p = *buffer;
  if (UnpackRecord(&p, length) != 0) return fail(fn, ECF_GENREG_UNPACKRECORD_FAILURE, 810);
  *buffer = static_cast<unsigned char*>(p);
  return 0;
}

// The search loop of Get and GetNext, from the stream's position. ECF_GENREG_EOF when no
// record matches.
u32 GenRegBin::search(GenRegStream& stream, u64 mask, const void* pattern, void* out, u32 maxSize, u32 fn) {
  RecordBuffer buf;
  if (!buf.allocate(maxSize)) return fail(fn, ECF_GENREG_RECORDBUF_MALLOC_FAILURE, 300);
  for (;;) {
    u32 length = 0;
    u32 r = ReadRecord(stream, &buf.p, &buf.capacity, &length);
    if (r == ECF_GENREG_EOF) return r;
    if (r != 0) return fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE, 310);
    r = unpack(&buf.p, length, fn);
    if (r != 0) {
      std::memset(out, 0, maxSize);
      return r;
    }
    if (MatchRecord == nullptr) return fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_MATCHRECORD, 320);
    if (MatchRecord(mask, buf.p, pattern) == 1) {
      std::memcpy(out, buf.p, maxSize);
      return 0;
    }
  }
}

u32 GenRegBin::GetNext(u64 mask, void* pattern, void* out) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_GetNext;
  TraceScope trace(fn, &rc);
  if (!(state & GENREG_STATE_SCAN_OPEN)) return rc = fail(fn, ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE, 10);
  if (pattern == nullptr || out == nullptr) return rc = fail(fn, ECF_GENREG_NULL_ARGUMENT, 15);
  if (ValidateRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_VALIDATERECORD, 20);
  if (ValidateRecord(mask, pattern) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_VALIDATE_RECORD, 30);
  if (state & GENREG_STATE_SCAN_EOF) return rc = ECF_GENREG_EOF;
  u32 maxSize = 0;
  if ((rc = maxRecordSize(fn, &maxSize)) != 0) return rc;
  rc = search(dataFile, mask, pattern, out, maxSize, fn);
  if (rc == ECF_GENREG_EOF) {
    state |= GENREG_STATE_SCAN_EOF;
    std::memset(out, 0, maxSize);
  }
  return rc;
}

u32 GenRegBin::Get(u64 mask, void* pattern, void* out) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_Get;
  TraceScope trace(fn, &rc);
  if (pattern == nullptr || out == nullptr) return rc = fail(fn, ECF_GENREG_NULL_ARGUMENT, 5);
  if (ValidateRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_VALIDATERECORD, 10);
  if (ValidateRecord(mask, pattern) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_VALIDATE_RECORD, 20);
  u32 maxSize = 0;
  if ((rc = maxRecordSize(fn, &maxSize)) != 0) return rc;

  if ((state & GENREG_STATE_SCAN_OPEN) && isFeatureSet(GENREG_FEATURE_KEEP_SCAN_POSITION)) {
    i64 saved = 0;
    bool wasEof = (state & GENREG_STATE_SCAN_EOF) != 0;
    getRegFilePosition(&saved);
    Rewind();
    rc = search(dataFile, mask, pattern, out, maxSize, fn);
    setRegFilePosition(&saved);
    if (wasEof) state |= GENREG_STATE_SCAN_EOF;
  } else {
    u32 r = OpenReg(GENREG_ACTION_READ);
    if (r == ECF_GENREG_REGISTRY_DOESNT_EXIST && genregsys::pathExists(backupPath)) {
      // Only a commit cut off by something else leaves the registry under its backup name;
      // taking the lock puts it back.
      if (Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT) == 0) UnLock();
      r = OpenReg(GENREG_ACTION_READ);
    }
    if (r == ECF_GENREG_REGISTRY_DOESNT_EXIST) return rc = r;
    if (r != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_OPEN_REGISTRY, 30);
    rc = search(dataFile, mask, pattern, out, maxSize, fn);
    u32 c = CloseReg(GENREG_ACTION_READ);
    if ((rc == 0 || rc == ECF_GENREG_EOF) && c != 0) rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_REGISTRY, 40);
  }
  if (rc == ECF_GENREG_EOF) {
    std::memset(out, 0, maxSize);
    rc = fail(fn, ECF_GENREG_NO_MATCHING_RECORD_FOUND, 50);
  }
  return rc;
}

// Steps 9 and 10 of an update: unlock, then the record type's Log and Notify.
u32 GenRegBin::finishUpdate(u32 rc, u32 action, const void* first, const void* second, u32 fn) {
  u32 u = UnLock();
  if (rc == 0 && u != 0) rc = fail(fn, ECF_GENREG_FAILED_TO_UNLOCK_REGISTRY, 700);
  if (rc != 0) return rc;
  bool skipNotify = false;
  if (isFeatureSet(GENREG_FEATURE_LOG) && Log != nullptr) {
    u32 l = Log(this, action, first, second);
    if (action != GENREG_ACTION_ADD && l != 0) skipNotify = true;
  }
  if (!skipNotify && isFeatureSet(GENREG_FEATURE_NOTIFY)) {
    if (Notify == nullptr) return fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_NOTIFY, 710);
    rc = Notify();
  }
  return rc;
}

u32 GenRegBin::Add(u64 mask, void* record) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_Add;
  TraceScope trace(fn, &rc);
  // The scan holds the registry open on this object: no update may start under it.
  if (state & GENREG_STATE_SCAN_OPEN) return rc = fail(fn, ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE, 3);
  if (record == nullptr) return rc = fail(fn, ECF_GENREG_NULL_ARGUMENT, 5);
  if (CheckFuncPtrs() != 0) return rc = fail(fn, ECF_GENREG_FUNCTION_PTRS_INVALID, 10);
  if (ValidateRecord(mask, record) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_VALIDATE_RECORD, 20);
  u32 maxSize = 0;
  if ((rc = maxRecordSize(fn, &maxSize)) != 0) return rc;
  RecordBuffer buf;
  if (!buf.allocate(maxSize)) return rc = fail(fn, ECF_GENREG_RECORDBUF_MALLOC_FAILURE, 30);
  if (Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT | GENREG_LOCK_CREATE_DIR) != 0) {
    return rc = fail(fn, ECF_GENREG_FAILED_TO_LOCK_REGISTRY, 40);
  }
  if (OpenReg(GENREG_ACTION_ADD) != 0) {
    rc = fail(fn, ECF_GENREG_FAILED_TO_OPEN_REGISTRY, 50);
    return rc = finishUpdate(rc, GENREG_ACTION_ADD, record, nullptr, fn);
  }
  const bool inPlace = appendInPlace_;
  std::vector<unsigned char> stored;
  if (!inPlace) {
    for (;;) {
      u32 length = 0;
      u32 r = ReadRecord(dataFile, &buf.p, &buf.capacity, &length);
      if (r == ECF_GENREG_EOF) break;
      if (r != 0) {
        rc = fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE, 60);
        break;
      }
      stored.assign(buf.p, buf.p + length);
      if ((rc = unpack(&buf.p, length, fn)) != 0) break;
      if (!isFeatureSet(GENREG_FEATURE_DUPLICATES) && MatchRecord(mask, buf.p, record) == 1) {
        rc = fail(fn, ECF_GENREG_DUPLICATE_RECORD, 70, "Match found; duplicate record");
        break;
      }
      // Records the action does not touch keep their stored bytes exactly.
      putStored(tmpFile.data, stored.data(), length);
    }
  }
  if (rc == 0) {
    std::vector<unsigned char> bytes;
    u32 r = WriteRecord(inPlace ? bytes : tmpFile.data, record, nullptr, 0, fn);
    if (r == ECF_GENREG_PACKRECORD_FAILURE) {
      rc = r;
    } else if (r != 0) {
      rc = fail(fn, ECF_GENREG_FAILED_TO_APPEND_TO_TMP_FILE, 80);
    } else if (inPlace) {
      // One write of the whole record, then to the disk before the action reports success.
      if (genregsys::fileWriteAll(dataFile.file, bytes.data(), bytes.size()) != 0 ||
          genregsys::fileSync(dataFile.file) != 0) {
        rc = fail(fn, ECF_GENREG_FAILED_TO_APPEND_TO_TMP_FILE, 90);
      }
    }
  }
  u32 c = CloseReg(rc == 0 ? GENREG_ACTION_ADD : GENREG_ACTION_READ);
  if (rc == 0 && c != 0) rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_REGISTRY, 100);
  if (rc == 0 && isFeatureSet(GENREG_FEATURE_VERIFY)) {
    if (Verify(GENREG_ACTION_ADD, mask, record, nullptr) != 0) rc = fail(fn, ECF_GENREG_VERIFICATION_FAILURE, 110);
  }
  return rc = finishUpdate(rc, GENREG_ACTION_ADD, record, nullptr, fn);
}

u32 GenRegBin::Change(u64 mask, void* pattern, void* newRecord) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_Change;
  TraceScope trace(fn, &rc);
  // The scan holds the registry open on this object: no update may start under it.
  if (state & GENREG_STATE_SCAN_OPEN) return rc = fail(fn, ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE, 3);
  if (pattern == nullptr || newRecord == nullptr) return rc = fail(fn, ECF_GENREG_NULL_ARGUMENT, 5);
  if (ValidateRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_VALIDATERECORD, 10);
  if (ValidateRecord(mask, newRecord) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_VALIDATE_RECORD, 20);
  if (MatchRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_MATCHRECORD, 25);
  u32 maxSize = 0;
  if ((rc = maxRecordSize(fn, &maxSize)) != 0) return rc;
  RecordBuffer buf;
  if (!buf.allocate(maxSize)) return rc = fail(fn, ECF_GENREG_RECORDBUF_MALLOC_FAILURE, 30);
  if (Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_LOCK_REGISTRY, 40);
  if (OpenReg(GENREG_ACTION_CHANGE) != 0) {
    rc = fail(fn, ECF_GENREG_FAILED_TO_OPEN_REGISTRY, 50);
    return rc = finishUpdate(rc, GENREG_ACTION_CHANGE, pattern, newRecord, fn);
  }
  u32 changes = 0;
  bool same = false;
  std::vector<unsigned char> stored;
  for (;;) {
    u32 length = 0;
    u32 r = ReadRecord(dataFile, &buf.p, &buf.capacity, &length);
    if (r == ECF_GENREG_EOF) break;
    if (r != 0) {
      rc = fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE, 60);
      break;
    }
    stored.assign(buf.p, buf.p + length);
    if ((rc = unpack(&buf.p, length, fn)) != 0) break;
    if (MatchRecord(mask, buf.p, pattern) == 1) {
      if (MatchRecord(GENREG_ALL_FIELDS, buf.p, newRecord) == 1) {
        same = true;
      } else if (changes > 0 && !isFeatureSet(GENREG_FEATURE_DUPLICATES)) {
        rc = fail(fn, ECF_GENREG_DUPLICATE_MATCHING_RECORD, 70);
        break;
      } else {
        ++changes;
      }
      u32 w = WriteRecord(tmpFile.data, newRecord, stored.data(), length, fn);
      if (w != 0) {
        rc = w == ECF_GENREG_PACKRECORD_FAILURE ? w : fail(fn, ECF_GENREG_FAILED_TO_WRITE_TO_TMP_FILE, 80);
        break;
      }
    } else {
      putStored(tmpFile.data, stored.data(), length);
    }
  }
  if (rc == 0 && changes == 0 && !same) rc = fail(fn, ECF_GENREG_NO_MATCHING_RECORD_FOUND, 90);
  if (rc == 0 && same) rc = ECF_GENREG_NEW_REC_SAME_AS_EXISTING_REC;
  const bool passOk = rc == 0 || rc == ECF_GENREG_NEW_REC_SAME_AS_EXISTING_REC;
  u32 c = CloseReg(passOk ? GENREG_ACTION_CHANGE : GENREG_ACTION_READ);
  if (passOk && c != 0) rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_REGISTRY, 100);
  if (isFeatureSet(GENREG_FEATURE_VERIFY)) {
    if (rc == 0) {
      if (Verify(GENREG_ACTION_CHANGE, mask, newRecord, pattern) != 0) {
        rc = fail(fn, ECF_GENREG_VERIFICATION_FAILURE, 110);
      }
    } else if (c == 0 && (rc == ECF_GENREG_NEW_REC_SAME_AS_EXISTING_REC || !passOk)) {
      int err = genregsys::fileDelete(tmpPath);
      if (err != 0 && rc == ECF_GENREG_NEW_REC_SAME_AS_EXISTING_REC) {
        rc = fail(fn, ECF_GENREG_FAILED_TO_DELETE_TMP_FILE, 120);
      }
    }
  }
  return rc = finishUpdate(rc, GENREG_ACTION_CHANGE, pattern, newRecord, fn);
}

u32 GenRegBin::Delete(u64 mask, void* pattern) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_Delete;
  TraceScope trace(fn, &rc);
  // The scan holds the registry open on this object: no update may start under it.
  if (state & GENREG_STATE_SCAN_OPEN) return rc = fail(fn, ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE, 3);
  if (pattern == nullptr) return rc = fail(fn, ECF_GENREG_NULL_ARGUMENT, 5);
  if (ValidateRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_VALIDATERECORD, 10);
  if (ValidateRecord(mask, pattern) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_VALIDATE_RECORD, 20);
  if (MatchRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_MATCHRECORD, 25);
  u32 maxSize = 0;
  if ((rc = maxRecordSize(fn, &maxSize)) != 0) return rc;
  RecordBuffer buf;
  if (!buf.allocate(maxSize)) return rc = fail(fn, ECF_GENREG_RECORDBUF_MALLOC_FAILURE, 30);
  if (Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_LOCK_REGISTRY, 40);
  if (OpenReg(GENREG_ACTION_DELETE) != 0) {
    rc = fail(fn, ECF_GENREG_FAILED_TO_OPEN_REGISTRY, 50);
    return rc = finishUpdate(rc, GENREG_ACTION_DELETE, pattern, nullptr, fn);
  }
  u32 deleted = 0;
  std::vector<unsigned char> stored;
  for (;;) {
    u32 length = 0;
    u32 r = ReadRecord(dataFile, &buf.p, &buf.capacity, &length);
    if (r == ECF_GENREG_EOF) break;
    if (r != 0) {
      rc = fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE, 60);
      break;
    }
    stored.assign(buf.p, buf.p + length);
    if ((rc = unpack(&buf.p, length, fn)) != 0) break;
    if (MatchRecord(mask, buf.p, pattern) == 1) {
      if (deleted > 0 && !isFeatureSet(GENREG_FEATURE_DUPLICATES)) {
        rc = fail(fn, ECF_GENREG_DUPLICATE_MATCHING_RECORD, 70);
        break;
      }
      ++deleted;
    } else {
      putStored(tmpFile.data, stored.data(), length);
    }
  }
  if (rc == 0 && deleted == 0) rc = fail(fn, ECF_GENREG_NO_MATCHING_RECORD_FOUND, 80);
  u32 c = CloseReg(rc == 0 ? GENREG_ACTION_DELETE : GENREG_ACTION_READ);
  if (rc == 0 && c != 0) rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_REGISTRY, 90);
  if (isFeatureSet(GENREG_FEATURE_VERIFY)) {
    if (rc == 0) {
      if (Verify(GENREG_ACTION_DELETE, mask, nullptr, pattern) != 0) rc = fail(fn, ECF_GENREG_VERIFICATION_FAILURE, 100);
    } else if (c == 0) {
      genregsys::fileDelete(tmpPath);  // a discarded pass leaves nothing behind
    }
  }
  return rc = finishUpdate(rc, GENREG_ACTION_DELETE, pattern, nullptr, fn);
}

u32 GenRegBin::Verify(u32 action, u64 mask, void* newRecord, void* pattern) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GenRegBin_Verify;
  TraceScope trace(fn, &rc);
  if (CheckFuncPtrs() != 0) return rc = fail(fn, ECF_GENREG_FUNCTION_PTRS_INVALID, 10);
  if (MatchRecord == nullptr) return rc = fail(fn, ECF_GENREG_BAD_FUNCTION_POINTER_FOR_MATCHRECORD, 15);
  u32 maxSize = 0;
  if ((rc = maxRecordSize(fn, &maxSize)) != 0) return rc;
  RecordBuffer o, t;
  if (!o.allocate(maxSize)) return rc = fail(fn, ECF_GENREG_ORIGRECORD_MALLOC_FAILURE, 20);
  if (!t.allocate(maxSize)) return rc = fail(fn, ECF_GENREG_TEMPRECORD_MALLOC_FAILURE, 30);
  if (OpenReg(GENREG_ACTION_VERIFIED) != 0) return rc = fail(fn, ECF_GENREG_FAILED_TO_OPEN_REGISTRY, 40);

  u32 count = 0;
  u32 ol = 0, tl = 0;
  auto readO = [&]() { return ReadRecord(dataFile, &o.p, &o.capacity, &ol); };
  auto readT = [&]() { return ReadRecord(tmpRead_, &t.p, &t.capacity, &tl); };
  u32 ro = readO();
  u32 rt = readT();
  while (rc == 0 && ro == 0 && rt == 0) {
    if ((rc = unpack(&o.p, ol, fn)) != 0 || (rc = unpack(&t.p, tl, fn)) != 0) break;
    if (MatchRecord(GENREG_ALL_FIELDS, o.p, t.p) == 1) {
      ro = readO();
      rt = readT();
      continue;
    }
    if (action == GENREG_ACTION_CHANGE) {
      if (MatchRecord(mask, o.p, pattern) != 1) {
        rc = fail(fn, ECF_GENREG_CHANGE_RECORD_DOES_NOT_MATCH_ORIGRECORD, 50);
      } else if (MatchRecord(GENREG_ALL_FIELDS, t.p, newRecord) != 1) {
        rc = fail(fn, ECF_GENREG_CHANGE_NEWRECORD_DOES_NOT_MATCH_TEMPRECORD, 60);
      } else {
        ++count;
        ro = readO();
        rt = readT();
      }
    } else if (action == GENREG_ACTION_DELETE) {
      for (;;) {
        if (MatchRecord(mask, o.p, pattern) != 1) {
          rc = fail(fn, ECF_GENREG_DELETED_RECORD_DOES_NOT_MATCH_ORIGRECORD, 70);
          break;
        }
        ++count;
        ro = readO();
        if (ro == ECF_GENREG_EOF) {
          rc = fail(fn, ECF_GENREG_ORIGINAL_REG_FILE_IS_SHORT_FOR_DELETE, 80);
          break;
        }
        if (ro != 0) break;
        if ((rc = unpack(&o.p, ol, fn)) != 0) break;
        if (MatchRecord(GENREG_ALL_FIELDS, o.p, t.p) == 1) break;
      }
      if (rc == 0 && ro == 0) {
        ro = readO();
        rt = readT();
      }
    } else {
      rc = fail(fn, ECF_GENREG_DIFF_IN_MIDDLE_OF_REGISTRY_FOR_ADD, 90);
    }
  }
  if (rc == 0) {
    if (ro != 0 && ro != ECF_GENREG_EOF) {
      rc = fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE, 100);
    } else if (rt != 0 && rt != ECF_GENREG_EOF) {
      rc = fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_TEMP_FILE, 110);
    } else if (action == GENREG_ACTION_CHANGE) {
      // Either file ending first means a record appeared or vanished.
      if (ro != rt) rc = fail(fn, ECF_GENREG_DIFF_RECORD_COUNT_IN_FILES_FOR_CHANGE, 120);
    } else if (action == GENREG_ACTION_DELETE) {
      while (rc == 0 && ro == 0) {
        if ((rc = unpack(&o.p, ol, fn)) != 0) break;
        if (MatchRecord(mask, o.p, pattern) != 1) {
          rc = fail(fn, ECF_GENREG_CHANGE_NEWRECORD_DOES_NOT_MATCH_TEMPRECORD, 130);
          break;
        }
        ++count;
        ro = readO();
      }
      if (rc == 0 && ro != ECF_GENREG_EOF) rc = fail(fn, ECF_GENREG_FAILED_TO_READ_FROM_ORIG_FILE, 135);
      // The temporary file may not hold records the registry lacks.
      if (rc == 0 && rt == 0) rc = fail(fn, ECF_GENREG_ORIGINAL_REG_FILE_IS_SHORT_FOR_DELETE, 140);
    } else if (action == GENREG_ACTION_ADD) {
      if (ro != ECF_GENREG_EOF || rt != 0) {
        rc = fail(fn, ECF_GENREG_TEMP_REG_FILE_IS_SHORT_FOR_ADD, 150);
      } else if ((rc = unpack(&t.p, tl, fn)) == 0) {
        if (MatchRecord(GENREG_ALL_FIELDS, t.p, newRecord) != 1) {
          rc = fail(fn, ECF_GENREG_ADDED_RECORD_DOES_NOT_MATCH, 160);
        } else {
          ++count;
          rt = readT();
          if (rt != ECF_GENREG_EOF) rc = fail(fn, ECF_GENREG_ADDED_MORE_THAN_ONE_RECORD, 170);
        }
      }
    }
  }
  if (rc == 0 && count > 1 && !isFeatureSet(GENREG_FEATURE_DUPLICATES)) {
    rc = fail(fn, ECF_GENREG_MORE_THAN_ONE_DIFF_AND_DUP_FEATURE_NOT_ACTIVE, 180);
  }
  if (rc == 0 && count == 0) rc = fail(fn, ECF_GENREG_VERIFICATION_DETECTED_NO_CHANGE, 190);
  u32 c = CloseReg(rc == 0 ? GENREG_ACTION_VERIFIED : GENREG_ACTION_READ);
  if (rc == 0 && c != 0) rc = fail(fn, ECF_GENREG_FAILED_TO_CLOSE_REGISTRY, 200);
  return rc;
}
