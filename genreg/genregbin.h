// Binary record files: a registry file is a sequence of records, each a 4-byte length
// (little-endian, or big-endian with GENREG_FEATURE_BIG_ENDIAN) followed by that many bytes;
// with GENREG_FEATURE_CHECKSUM the records follow a 32-byte checksum header. What the bytes of
// a record mean is the record type's business (its operation table, genregfile.h).
//
//     GlobalReg reg;                          // a record type derived from GenRegBin
//     reg.Add(mask, &record);                 // store a new record
//     reg.Get(mask, &pattern, &out);          // first record matching the pattern on the mask
//     reg.OpenScan();                         // walk the records
//     while (reg.GetNext(0, &pattern, &out) == 0) { ... }   // until ECF_GENREG_EOF
//     reg.CloseScan();
//
// Records passed in and out are buffers of at least GetMaxRecordSize bytes; the caller's
// records are never changed by an action (packing works on private copies).
#pragma once

#include "genreg/genregfile.h"

class GenRegBin : public GenRegFile {
 public:
  GenRegBin();
  ~GenRegBin();

  u32 Add(u64 fieldMask, void* record);
  u32 Change(u64 fieldMask, void* pattern, void* newRecord);
  u32 Delete(u64 fieldMask, void* pattern);
  u32 Get(u64 fieldMask, void* pattern, void* out);
  u32 GetNext(u64 fieldMask, void* pattern, void* out);

  // Filled by record types that store packed records (GlobalReg).
  GenRegGetPackedRecordSizeFn GetPackedRecordSize;

  // Internal, used by the actions (public for the tools that read registry files).
  // Reads one record at the stream's position into *buffer (capacity *capacity bytes; a longer
  // record gets a new buffer that replaces it), its length into *length.
  u32 ReadRecord(GenRegStream& stream, unsigned char** buffer, u32* capacity, u32* length);
  u32 CheckFuncPtrs();
  u32 Verify(u32 action, u64 fieldMask, void* newRecord, void* pattern);

 protected:
  // Appends one record structure in its stored form (packed on a copy when packed; `stored`
  // carries fields a later version added) to the temporary file's bytes.
  u32 WriteRecord(std::vector<unsigned char>& out, const void* record, const void* stored, u32 storedLength,
                  u32 functionId);
  void putStored(std::vector<unsigned char>& out, const void* bytes, u32 length);
  u32 maxRecordSize(u32 functionId, u32* size);
  u32 unpack(unsigned char** buffer, u32 length, u32 functionId);
  u32 search(GenRegStream& stream, u64 fieldMask, const void* pattern, void* out, u32 maxSize, u32 functionId);
  u32 finishUpdate(u32 rc, u32 action, const void* first, const void* second, u32 functionId);
};
