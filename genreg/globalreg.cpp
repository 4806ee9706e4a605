// The global registry's record type: validation, matching, packing and printing of instance,
// service and variable records (see globalreg.h for the stored form).
#include "genreg/globalreg.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "osse/diag/ecf.h"

namespace {

using genregsys::fail;
using genregsys::TraceScope;

enum class Kind { String, U64, U32, Char };

// One field of a body: its bit, where it lives in the record, how it is stored, and the codes
// of validation (0: none).
struct Field {
  u64 bit;
  std::size_t offset;  // from the start of the record
  std::size_t size;    // capacity of the member
  Kind kind;
  u32 invalidCode;
  u32 missingCode;
};

constexpr std::size_t kBody = offsetof(GlobalRegRecord, u);

#define INST(m) kBody + offsetof(GlobalRegInstance, m), sizeof(GlobalRegInstance::m)
#define SERV(m) kBody + offsetof(GlobalRegService, m), sizeof(GlobalRegService::m)
#define VARI(m) kBody + offsetof(GlobalRegVariable, m), sizeof(GlobalRegVariable::m)

const Field kInstanceFields[] = {
    {0x1, INST(Service), Kind::String, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_SERVICE_FIELD,
     ECF_GENREG_GLOBALREG_I_SERVICE_FLD_NOT_IN_FLDMASK},
    {0x2, INST(VersionCode), Kind::U64, 0, ECF_GENREG_GLOBALREG_I_VERSION_FLD_NOT_IN_FLDMASK},
    {0x4, INST(InstanceName), Kind::String, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_NAME_FIELD,
     ECF_GENREG_GLOBALREG_I_NAME_FLD_NOT_IN_FLDMASK},
    {0x8, INST(InstancePath), Kind::String, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_PATH_FIELD,
     ECF_GENREG_GLOBALREG_I_PATH_FLD_NOT_IN_FLDMASK},
    {0x10, INST(Usage), Kind::String, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_USAGE_FIELD,
     ECF_GENREG_GLOBALREG_I_USAGE_FLD_NOT_IN_FLDMASK},
    {0x20, INST(StartAtBoot), Kind::U32, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_START_AT_BOOT_FIELD,
     ECF_GENREG_GLOBALREG_I_START_AT_BOOT_FLD_NOT_IN_FLDMASK},
    {0x40, INST(Maintenance), Kind::U32, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_MAINTENANCE_FIELD,
     ECF_GENREG_GLOBALREG_I_MAINTENANCE_FLD_NOT_IN_FLDMASK},
    {0x80, INST(InstallPath), Kind::String, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_INSTALL_PATH_FIELD,
     ECF_GENREG_GLOBALREG_I_INSTALL_PATH_FLD_NOT_IN_FLDMASK},
    {0x100, INST(RemoteProfile), Kind::String, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_REMOTE_PROF_FIELD,
     ECF_GENREG_GLOBALREG_I_REMOTE_PROF_FLD_NOT_IN_FLDMASK},
    {0x200, INST(Comment), Kind::String, ECF_GENREG_GLOBALREG_INVALID_INSTANCE_COMMENT_FIELD,
     ECF_GENREG_GLOBALREG_I_COMMENT_FLD_NOT_IN_FLDMASK},
};

const Field kServiceFields[] = {
    {0x1, SERV(Name), Kind::String, ECF_GENREG_GLOBALREG_INVALID_SERVICE_NAME_FIELD,
     ECF_GENREG_GLOBALREG_S_NAME_FLD_NOT_IN_FLDMASK},
    {0x2, SERV(VersionCode), Kind::U64, 0, ECF_GENREG_GLOBALREG_S_VERSION_FLD_NOT_IN_FLDMASK},
    {0x4, SERV(InstallPath), Kind::String, ECF_GENREG_GLOBALREG_INVALID_SERVICE_INSTPATH_FIELD,
     ECF_GENREG_GLOBALREG_S_INSTPATH_FLD_NOT_IN_FLDMASK},
    {0x8, SERV(GcfModule), Kind::String, ECF_GENREG_GLOBALREG_INVALID_SERVICE_GCF_MODULE_FIELD,
     ECF_GENREG_GLOBALREG_S_GCF_MODULE_FLD_NOT_IN_FLDMASK},
    {0x10, SERV(Comment), Kind::String, ECF_GENREG_GLOBALREG_INVALID_SERVICE_COMMENT_FIELD,
     ECF_GENREG_GLOBALREG_S_COMMENT_FLD_NOT_IN_FLDMASK},
    {0x20, SERV(FixpackNumber), Kind::U32, 0, 0},
    {0x40, SERV(InstallerUid), Kind::U32, 0, ECF_GENREG_GLOBALREG_S_INSTALLER_UID_FLD_NOT_IN_FLDMASK},
    {0x80, kBody + offsetof(GlobalRegService, InterimFixLetter), 1, Kind::Char, 0,
     ECF_GENREG_GLOBALREG_S_INTERIM_FIX_LETTER_FLD_NOT_IN_FLDMASK},
    {0x100, SERV(Timestamp), Kind::U32, 0, ECF_GENREG_GLOBALREG_S_TIMESTAMP_FLD_NOT_IN_FLDMASK},
    {0x200, SERV(SpecialInstallNumber), Kind::U32, 0, ECF_GENREG_GLOBALREG_S_SPECIAL_INSTALL_NUMBER_FLD_NOT_IN_FLDMASK},
};

const Field kVariableFields[] = {
    {0x1, VARI(Service), Kind::String, ECF_GENREG_GLOBALREG_INVALID_VARIABLE_SERVICE_FIELD,
     ECF_GENREG_GLOBALREG_V_SERVICE_FLD_NOT_IN_FLDMASK},
    {0x2, VARI(Variable), Kind::String, ECF_GENREG_GLOBALREG_INVALID_VARIABLE_VARIABLE_FIELD,
     ECF_GENREG_GLOBALREG_V_VARIABLE_FLD_NOT_IN_FLDMASK},
    {0x4, VARI(Value), Kind::String, ECF_GENREG_GLOBALREG_INVALID_VARIABLE_VALUE_FIELD,
     ECF_GENREG_GLOBALREG_V_VALUE_FLD_NOT_IN_FLDMASK},
    {0x8, VARI(InstallPath), Kind::String, ECF_GENREG_GLOBALREG_INVALID_VARIABLE_INSTALLPATH_FIELD, 0},
    {0x10, VARI(Comment), Kind::String, ECF_GENREG_GLOBALREG_INVALID_VARIABLE_COMMENT_FIELD,
     ECF_GENREG_GLOBALREG_V_COMMENT_FLD_NOT_IN_FLDMASK},
};

#undef INST
#undef SERV
#undef VARI

struct Body {
  const Field* fields;
  std::size_t count;
  u64 known;
};

// The body of a record type; null for types without one.
const Body* bodyOf(u32 type) {
  static const Body instance{kInstanceFields, std::size(kInstanceFields), GLOBALREG_KNOWN_INSTANCE_FIELDS};
  static const Body service{kServiceFields, std::size(kServiceFields), GLOBALREG_KNOWN_SERVICE_FIELDS};
  static const Body variable{kVariableFields, std::size(kVariableFields), GLOBALREG_KNOWN_VARIABLE_FIELDS};
  switch (type) {
    case GLOBALREG_RECORD_INSTANCE: return &instance;
    case GLOBALREG_RECORD_SERVICE: return &service;
    case GLOBALREG_RECORD_VARIABLE: return &variable;
    default: return nullptr;
  }
}

const Field* fieldOf(const Body* body, u64 bit) {
  for (std::size_t i = 0; i < body->count; ++i) {
    if (body->fields[i].bit == bit) return &body->fields[i];
  }
  return nullptr;
}

// The stored length of a present field.
u32 storedLength(const Field& f, const unsigned char* rec) {
  switch (f.kind) {
    case Kind::String: return static_cast<u32>(strnlen(reinterpret_cast<const char*>(rec + f.offset), f.size)) + 1;
    case Kind::U64: return 8;
    case Kind::U32: return 4;
    case Kind::Char: return 1;
  }
  return 0;
}

u32 getLE32(const unsigned char* p) {
  return static_cast<u32>(p[0]) | static_cast<u32>(p[1]) << 8 | static_cast<u32>(p[2]) << 16 |
         static_cast<u32>(p[3]) << 24;
}
u64 getLE64(const unsigned char* p) { return static_cast<u64>(getLE32(p)) | static_cast<u64>(getLE32(p + 4)) << 32; }
void putLE32(unsigned char* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void putLE64(unsigned char* p, u64 v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The entries of a stored record: where each present bit's bytes are. False when the entries do
// not fit the stored length exactly (a damaged record).
struct Entries {
  u32 offset[63];
  u32 length[63];
};
bool walkEntries(const unsigned char* s, u32 n, Entries& e) {
  if (n < GLOBALREG_PACKED_HEADER_SIZE + 4) return false;
  u64 mask = getLE64(s + 4) & 0x7FFFFFFFFFFFFFFFull;  // bits 0 to 62
  u64 pos = GLOBALREG_PACKED_HEADER_SIZE;
  const u64 end = n - 4;
  std::memset(&e, 0, sizeof e);
  for (; mask != 0; mask &= mask - 1) {
    const int b = __builtin_ctzll(mask);
    if (pos + 2 > end) return false;
    u32 l = static_cast<u32>(s[pos]) | static_cast<u32>(s[pos + 1]) << 8;
    pos += 2;
    if (pos + l > end) return false;
    e.offset[b] = static_cast<u32>(pos);
    e.length[b] = l;
    pos += l;
  }
  return pos == end;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

GlobalReg::GlobalReg() {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_GlobalReg, &rc);
  setUp();
}

GlobalReg::GlobalReg(bool) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_GlobalReg, &rc);
  setUp();
}

GlobalReg::~GlobalReg() {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_dtor, &rc);
}

void GlobalReg::setUp() {
  ValidateRecord = ValidateRecordFn;
  MatchRecord = MatchRecordFn;
  GetMaxRecordSize = GetMaxRecordSizeFn;
  GetRecordSize = GetRecordSizeFn;
  GetPackedRecordSize = GetPackedRecordSizeFn;
  PackRecord = PackRecordFn;
  UnpackRecord = UnpackRecordFn;
  PrintRecord = PrintRecordFn;
  Log = LogFn;
  features = GENREG_FEATURE_VERIFY | GENREG_FEATURE_PACKED | GENREG_FEATURE_LOG;
  // An empty value counts as unset. A value that does not fit the path buffer is refused rather
  // than replaced by the default: writing some other registry than the one named would be worse
  // than failing.
  const char* value = std::getenv(GLOBALREG_PATH_VARIABLE);
  const char* chosen = (value != nullptr && value[0] != '\0') ? value : GLOBALREG_DEFAULT_PATH;
  if (std::strlen(chosen) >= GENREG_PATH_SIZE) {
    setupCode_ = fail(ECF_FN_GlobalReg_GlobalReg, ECF_GENREG_GLOBALREG_PATHNAME_VAR_TOO_SMALL, 10);
    return;
  }
  u32 r = SetPaths(chosen);
  if (r != 0) setupCode_ = r;
}

u32 GlobalReg::Add(u64 mask, void* record) { return setupCode_ ? setupCode_ : GenRegBin::Add(mask, record); }
u32 GlobalReg::Change(u64 mask, void* pattern, void* newRecord) {
  return setupCode_ ? setupCode_ : GenRegBin::Change(mask, pattern, newRecord);
}
u32 GlobalReg::Delete(u64 mask, void* pattern) { return setupCode_ ? setupCode_ : GenRegBin::Delete(mask, pattern); }
u32 GlobalReg::Get(u64 mask, void* pattern, void* out) {
  return setupCode_ ? setupCode_ : GenRegBin::Get(mask, pattern, out);
}
u32 GlobalReg::GetNext(u64 mask, void* pattern, void* out) {
  return setupCode_ ? setupCode_ : GenRegBin::GetNext(mask, pattern, out);
}
u32 GlobalReg::OpenScan() { return setupCode_ ? setupCode_ : GenRegFile::OpenScan(); }

u32 GlobalReg::ValidateRecordFn(u64 mask, void* record) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GlobalReg_ValidateRecord;
  TraceScope trace(fn, &rc);
  if (mask == 0) return rc;
  if (record == nullptr) return rc = fail(fn, ECF_GENREG_NULL_ARGUMENT, 5);
  auto* r = static_cast<GlobalRegRecord*>(record);
  if (r->RecordType == 0 || r->RecordType > 4) return rc = fail(fn, ECF_GENREG_GLOBALREG_INVALID_RECORD_TYPE, 10);
  if (r->FieldMask == 0) return rc = fail(fn, ECF_GENREG_GLOBALREG_INVALID_FIELDMASK, 20);
  r->MissingFieldMask = 0;
  const Body* body = bodyOf(r->RecordType);
  if (body == nullptr) return rc;  // type 3: nothing to check
  // Fields of a later version cannot be written by this one: it would store the bit without
  // its bytes.
  if (r->FieldMask & ~body->known) return rc = fail(fn, ECF_GENREG_UNRECOGNIZED_FIELD, 25);
  const auto* bytes = reinterpret_cast<const unsigned char*>(r);
  for (std::size_t i = 0; i < body->count; ++i) {
    const Field& f = body->fields[i];
    if (!(r->FieldMask & f.bit) || f.invalidCode == 0) continue;
    const unsigned char* p = bytes + f.offset;
    bool bad = false;
    if (f.kind == Kind::String) {
      // Empty, or filling its array without a terminator.
      bad = p[0] == '\0' || strnlen(reinterpret_cast<const char*>(p), f.size) == f.size;
    } else if (f.kind == Kind::U32) {
      u32 v;
      std::memcpy(&v, p, 4);
      bad = v > 1;
    }
    if (bad) return rc = fail(fn, f.invalidCode, 30);
  }
  for (std::size_t i = 0; i < body->count; ++i) {
    const Field& f = body->fields[i];
    if ((mask & 0xFFFFFFFFull & f.bit) && f.missingCode != 0 && !(r->FieldMask & f.bit)) {
      return rc = fail(fn, f.missingCode, 40);
    }
  }
  return rc;
}

u32 GlobalReg::MatchRecordFn(u64 mask, const void* stored, const void* pattern) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_MatchRecord, &rc);
  return rc = matchRecord(mask, stored, pattern);
}

u32 GlobalReg::matchRecord(u64 mask, const void* stored, const void* pattern) {
  const auto* s = static_cast<const GlobalRegRecord*>(stored);
  const auto* p = static_cast<const GlobalRegRecord*>(pattern);
  if (p->RecordType != 0 && p->RecordType != s->RecordType) return 0;
  if (mask == 0) return 1;
  const Body* body = bodyOf(s->RecordType);
  if (body == nullptr) return 1;
  const auto* sb = reinterpret_cast<const unsigned char*>(s);
  const auto* pb = reinterpret_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < body->count; ++i) {
    const Field& f = body->fields[i];
    if (!(mask & 0xFFFFFFFFull & f.bit)) continue;
    if (f.kind == Kind::String) {
      if (std::strncmp(reinterpret_cast<const char*>(sb + f.offset), reinterpret_cast<const char*>(pb + f.offset),
                       f.size) != 0) {
        return 0;
      }
    } else if (std::memcmp(sb + f.offset, pb + f.offset, f.size) != 0) {
      return 0;
    }
  }
  return 1;
}

u32 GlobalReg::GetMaxRecordSizeFn(u32* size) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_GetMaxRecordSize, &rc);
  *size = sizeof(GlobalRegRecord);
  return rc;
}

u32 GlobalReg::GetRecordSizeFn(const void*, u32* size) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_GetRecordSize, &rc);
  *size = sizeof(GlobalRegRecord);
  return rc;
}

u32 GlobalReg::GetPackedRecordSizeFn(const void* packed, u32* size) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_GetPackedRecordSize, &rc);
  const auto* s = static_cast<const unsigned char*>(packed);
  u64 mask = getLE64(s + 4);
  u64 pos = GLOBALREG_PACKED_HEADER_SIZE;
  for (int b = 0; b < 63; ++b) {
    if (!(mask & (1ull << b))) continue;
    u32 l = static_cast<u32>(s[pos]) | static_cast<u32>(s[pos + 1]) << 8;
    pos += 2 + l;
  }
  *size = static_cast<u32>(pos + 4);
  return rc;
}

u32 GlobalReg::UnpackRecordFn(void** record, u32 n) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GlobalReg_UnpackRecord;
  TraceScope trace(fn, &rc);
  const auto* s = static_cast<const unsigned char*>(*record);
  Entries e;
  if (!walkEntries(s, n, e)) return rc = fail(fn, ECF_GENREG_CORRUPTED_RECORD_SIZE, 10);
  // The record is built aside and copied over the stored bytes only when it is whole. It lives
  // on the stack: unpacking runs for every record of every action, and a heap block per record
  // would cost more than the unpacking itself.
  GlobalRegRecord temp;
  std::memset(&temp, 0, sizeof temp);
  GlobalRegRecord* t = &temp;
  t->RecordType = getLE32(s);
  t->FieldMask = getLE64(s + 4);
  t->MissingFieldMask = getLE64(s + 12);
  const Body* body = bodyOf(t->RecordType);
  if (body == nullptr) return rc = fail(fn, ECF_GENREG_CORRUPTED_RECORD_TYPE, 30);
  auto* tb = reinterpret_cast<unsigned char*>(t);
  // Only the known fields are copied; a later version's field stays in FieldMask, its bytes in
  // the file.
  for (std::size_t i = 0; i < body->count && rc == 0; ++i) {
    const Field* f = &body->fields[i];
    const u64 bit = f->bit;
    const int b = __builtin_ctzll(bit);
    if (!(t->FieldMask & bit)) {
      t->MissingFieldMask |= bit;
      continue;
    }
    u32 l = e.length[b];
    const unsigned char* src = s + e.offset[b];
    bool fits;
    switch (f->kind) {
      // A string must arrive whole with its terminator and fit its member.
      case Kind::String: fits = l >= 1 && l <= f->size && src[l - 1] == '\0'; break;
      case Kind::U64: fits = l == 8; break;
      case Kind::U32: fits = l == 4; break;
      case Kind::Char: fits = l == 1; break;
      default: fits = false;
    }
    if (!fits) {
      rc = fail(fn, ECF_GENREG_CORRUPTED_FIELD_DEFINE, 40);
      break;
    }
    if (f->kind == Kind::U64) {
      u64 v = getLE64(src);
      std::memcpy(tb + f->offset, &v, 8);
    } else if (f->kind == Kind::U32) {
      u32 v = getLE32(src);
      std::memcpy(tb + f->offset, &v, 4);
    } else {
      std::memcpy(tb + f->offset, src, l);
    }
  }
  if (rc == 0) {
    t->CheckSum = getLE32(s + n - 4);
    std::memcpy(*record, t, sizeof(GlobalRegRecord));
  }
  return rc;
}

u32 GlobalReg::PackRecordFn(void** record, const void* stored, u32 storedLen) {
  u32 rc = 0;
  const u32 fn = ECF_FN_GlobalReg_PackRecord;
  TraceScope trace(fn, &rc);
  const auto* r = static_cast<const GlobalRegRecord*>(*record);
  const auto* rb = static_cast<const unsigned char*>(*record);
  // A record of a type without a body could never be read back; storing it would stop every
  // later action at it.
  const Body* body = bodyOf(r->RecordType);
  if (body == nullptr) return rc = fail(fn, ECF_GENREG_CORRUPTED_RECORD_TYPE, 5);
  const auto* s = static_cast<const unsigned char*>(stored);
  Entries e;
  u64 storedMask = 0;
  if (s != nullptr) {
    if (!walkEntries(s, storedLen, e)) return rc = fail(fn, ECF_GENREG_CORRUPTED_RECORD_SIZE, 10);
    storedMask = getLE64(s + 4);
  }
  // Known fields from the record, unknown ones carried over from the stored form.
  u64 mask = (r->FieldMask & body->known) | (storedMask & ~body->known & 0x7FFFFFFFFFFFFFFFull);
  u64 size = GLOBALREG_PACKED_HEADER_SIZE + 4;
  for (int b = 0; b < 63; ++b) {
    u64 bit = 1ull << b;
    if (!(mask & bit)) continue;
    const Field* f = fieldOf(body, bit);
    if (f != nullptr) {
      if (f->kind == Kind::String && strnlen(reinterpret_cast<const char*>(rb + f->offset), f->size) == f->size) {
        return rc = fail(fn, ECF_GENREG_CORRUPTED_FIELD_DEFINE, 15);  // no terminator in its array
      }
      size += 2 + storedLength(*f, rb);
    } else {
      size += 2 + e.length[b];
    }
  }
  auto* out = static_cast<unsigned char*>(GENREG_ALLOC(size));
  if (out == nullptr) return rc = fail(fn, ECF_GENREG_GLOBALREG_TEMPPACKEDREC_MALLOC_FAILURE, 20);
  putLE32(out, r->RecordType);
  putLE64(out + 4, mask);
  putLE64(out + 12, r->MissingFieldMask);
  u64 pos = GLOBALREG_PACKED_HEADER_SIZE;
  for (int b = 0; b < 63; ++b) {
    u64 bit = 1ull << b;
    if (!(mask & bit)) continue;
    const Field* f = fieldOf(body, bit);
    const unsigned char* src;
    u32 l;
    unsigned char number[8];
    if (f == nullptr) {
      src = s + e.offset[b];
      l = e.length[b];
    } else {
      l = storedLength(*f, rb);
      src = rb + f->offset;
      if (f->kind == Kind::U64) {
        u64 v;
        std::memcpy(&v, src, 8);
        putLE64(number, v);
        src = number;
      } else if (f->kind == Kind::U32) {
        u32 v;
        std::memcpy(&v, src, 4);
        putLE32(number, v);
        src = number;
      }
    }
    out[pos] = static_cast<unsigned char>(l);
    out[pos + 1] = static_cast<unsigned char>(l >> 8);
    std::memcpy(out + pos + 2, src, l);
    pos += 2 + l;
  }
  putLE32(out + pos, r->CheckSum);
  pos += 4;
  if (pos != size) {
    GENREG_FREE(out);
    return rc = fail(fn, ECF_GENREG_GLOBALREG_PACKED_SIZE_CHECK_FAILURE, 30);
  }
  *record = out;
  return rc;
}

u32 GlobalReg::PrintRecordFn(const void* record) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_PrintRecord, &rc);
  const auto* r = static_cast<const GlobalRegRecord*>(record);
  std::printf("   RecordType   = %d\n", static_cast<int>(r->RecordType));
  std::printf("   FieldMask    = %d\n", static_cast<int>(static_cast<std::uint32_t>(r->FieldMask)));
  std::printf("   MissingFieldMask = %d\n", static_cast<int>(static_cast<std::uint32_t>(r->MissingFieldMask)));
  switch (r->RecordType) {
    case GLOBALREG_RECORD_INSTANCE: {
      const GlobalRegInstance& i = r->u.instance;
      std::printf("   InstanceRecord:\n");
      std::printf("      Service      = |%.*s|\n", static_cast<int>(sizeof i.Service), i.Service);
      std::printf("      VersionCode  = %" PRIu64 "\n", i.VersionCode);
      std::printf("      InstanceName = |%.*s|\n", static_cast<int>(sizeof i.InstanceName), i.InstanceName);
      std::printf("      InstancePath = |%.*s|\n", static_cast<int>(sizeof i.InstancePath), i.InstancePath);
      std::printf("      Usage        = |%.*s|\n", static_cast<int>(sizeof i.Usage), i.Usage);
      std::printf("      StartAtBoot  = %i\n", static_cast<int>(i.StartAtBoot));
      std::printf("      Maintenance  = %i\n", static_cast<int>(i.Maintenance));
      std::printf("      Comment      = |%.*s|\n", static_cast<int>(sizeof i.Comment), i.Comment);
      std::printf("      CheckSum    = %i\n", static_cast<int>(r->CheckSum));
      break;
    }
    case GLOBALREG_RECORD_SERVICE:
      std::printf("Services record not yet implemented\n");
      break;
    case GLOBALREG_RECORD_VARIABLE: {
      const GlobalRegVariable& v = r->u.variable;
      std::printf("   VariableRecord:\n");
      std::printf("      Service  = |%.*s|\n", static_cast<int>(sizeof v.Service), v.Service);
      std::printf("      Variable = |%.*s|\n", static_cast<int>(sizeof v.Variable), v.Variable);
      std::printf("      Value    = |%.*s|\n", static_cast<int>(sizeof v.Value), v.Value);
      std::printf("      Comment  = |%.*s|\n", static_cast<int>(sizeof v.Comment), v.Comment);
      std::printf("      CheckSum    = %i\n", static_cast<int>(r->CheckSum));
      break;
    }
    default:
      break;
  }
  return rc;
}

u32 GlobalReg::LogFn(GenRegBase*, u32, const void*, const void*) {
  u32 rc = 0;
  TraceScope trace(ECF_FN_GlobalReg_Log, &rc);
  return rc;
}
