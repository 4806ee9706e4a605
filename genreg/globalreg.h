// The global registry: one binary registry file ("global.reg" in the current directory, or the
// path in TARN_GLOBAL_REG_PATHNAME) of instance, service and variable records describing the
// product's installations on this machine.
//
// Records are stored packed and self-describing: the record type, the field mask, the mask of
// known fields the stored record lacked, then for each field present (bits 0 to 62 in order) a
// u16 length and the bytes, and the check sum last; all integers little-endian. A file written
// by a later version with more fields is read and rewritten without losing the fields this
// version does not know: a Change copies them over from the stored record.
//
//     GlobalReg reg;
//     GlobalRegRecord rec = {};
//     rec.RecordType = GLOBALREG_RECORD_VARIABLE;
//     rec.FieldMask = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE | GLOBALREG_V_VALUE;
//     std::strcpy(rec.u.variable.Service, "TARN01"); ...
//     reg.Add(GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE, &rec);
//
// Defaults: every update is verified before it is committed, packed, logged; no duplicates (a
// second record matching on the masked fields is refused).
#pragma once

#include <cstddef>
#include <cstdint>

#include "genreg/genregbin.h"

inline constexpr u32 GLOBALREG_RECORD_INSTANCE = 1;
inline constexpr u32 GLOBALREG_RECORD_SERVICE = 2;
inline constexpr u32 GLOBALREG_RECORD_VARIABLE = 4;

// Instance fields.
inline constexpr u64 GLOBALREG_I_SERVICE = 0x1, GLOBALREG_I_VERSIONCODE = 0x2, GLOBALREG_I_INSTANCENAME = 0x4,
                     GLOBALREG_I_INSTANCEPATH = 0x8, GLOBALREG_I_USAGE = 0x10, GLOBALREG_I_STARTATBOOT = 0x20,
                     GLOBALREG_I_MAINTENANCE = 0x40, GLOBALREG_I_INSTALLPATH = 0x80,
                     GLOBALREG_I_REMOTEPROFILE = 0x100, GLOBALREG_I_COMMENT = 0x200;
// Service fields.
inline constexpr u64 GLOBALREG_S_NAME = 0x1, GLOBALREG_S_VERSIONCODE = 0x2, GLOBALREG_S_INSTALLPATH = 0x4,
                     GLOBALREG_S_GCFMODULE = 0x8, GLOBALREG_S_COMMENT = 0x10, GLOBALREG_S_FIXPACKNUMBER = 0x20,
                     GLOBALREG_S_INSTALLERUID = 0x40, GLOBALREG_S_INTERIMFIXLETTER = 0x80,
                     GLOBALREG_S_TIMESTAMP = 0x100, GLOBALREG_S_SPECIALINSTALLNUMBER = 0x200;
// Variable fields.
inline constexpr u64 GLOBALREG_V_SERVICE = 0x1, GLOBALREG_V_VARIABLE = 0x2, GLOBALREG_V_VALUE = 0x4,
                     GLOBALREG_V_INSTALLPATH = 0x8, GLOBALREG_V_COMMENT = 0x10;

inline constexpr u64 GLOBALREG_KNOWN_INSTANCE_FIELDS = 0x3ff;
inline constexpr u64 GLOBALREG_KNOWN_SERVICE_FIELDS = 0x3ff;
inline constexpr u64 GLOBALREG_KNOWN_VARIABLE_FIELDS = 0x1f;

struct GlobalRegInstance {
  char Service[64];
  std::uint64_t VersionCode;
  char InstanceName[64];
  char InstancePath[1024];
  char Usage[64];
  std::uint32_t StartAtBoot;
  std::uint32_t Maintenance;
  char InstallPath[1024];
  char RemoteProfile[64];
  char Comment[256];
};

struct GlobalRegService {
  char Name[64];
  std::uint64_t VersionCode;
  char InstallPath[1024];
  char GcfModule[1024];
  char Comment[256];
  std::uint32_t FixpackNumber;
  std::uint32_t InstallerUid;
  char InterimFixLetter;  // in a 32-bit slot
  char InterimFixLetterPad[3];
  std::uint32_t Timestamp;
  std::uint32_t SpecialInstallNumber;
};

struct GlobalRegVariable {
  char Service[64];
  char Variable[256];
  char Value[256];
  char InstallPath[1024];
  char Comment[256];
};

struct GlobalRegRecord {
  std::uint32_t RecordType;
  std::uint64_t FieldMask;
  std::uint64_t MissingFieldMask;
  union {
    GlobalRegInstance instance;
    GlobalRegService service;
    GlobalRegVariable variable;
  } u;
  std::uint32_t CheckSum;
};
static_assert(sizeof(GlobalRegInstance) >= sizeof(GlobalRegService) &&
                  sizeof(GlobalRegInstance) >= sizeof(GlobalRegVariable),
              "the union is as large as the instance body");
static_assert(offsetof(GlobalRegService, InterimFixLetter) + 4 == offsetof(GlobalRegService, Timestamp));

inline constexpr u32 GLOBALREG_PACKED_HEADER_SIZE = 20;  // type, field mask, missing-field mask
inline constexpr const char* GLOBALREG_PATH_VARIABLE = "TARN_GLOBAL_REG_PATHNAME";
inline constexpr const char* GLOBALREG_DEFAULT_PATH = "./global.reg";

class GlobalReg : public GenRegBin {
 public:
  GlobalReg();
  explicit GlobalReg(bool unused);
  ~GlobalReg();

  // Why the set-up failed (a TARN_GLOBAL_REG_PATHNAME of 260 characters or more); 0 when it did
  // not. While it is set, every action fails with it.
  u32 setupCode() const { return setupCode_; }

  u32 Add(u64 fieldMask, void* record);
  u32 Change(u64 fieldMask, void* pattern, void* newRecord);
  u32 Delete(u64 fieldMask, void* pattern);
  u32 Get(u64 fieldMask, void* pattern, void* out);
  u32 GetNext(u64 fieldMask, void* pattern, void* out);
  u32 OpenScan();

  // The record type's table entries.
  static u32 ValidateRecordFn(u64 fieldMask, void* record);
  static u32 MatchRecordFn(u64 fieldMask, const void* stored, const void* pattern);
  static u32 GetMaxRecordSizeFn(u32* size);
  static u32 GetRecordSizeFn(const void* record, u32* size);
  static u32 GetPackedRecordSizeFn(const void* packed, u32* size);
  static u32 PackRecordFn(void** record, const void* stored, u32 storedLength);
  static u32 UnpackRecordFn(void** record, u32 storedLength);
  static u32 PrintRecordFn(const void* record);
  static u32 LogFn(GenRegBase* registry, u32 action, const void* first, const void* second);

 private:
  static u32 matchRecord(u64 fieldMask, const void* stored, const void* pattern);
  void setUp();
  u32 setupCode_ = 0;
};
