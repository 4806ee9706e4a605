// Return-code catalogue and function-name tables: lookups at and beyond every boundary, the
// codes and ids other libraries rely on, and whole-table properties that a wrong source list or
// a generator fault would break.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "osse/diag/ecf.h"

namespace {

// gtest prints a null const char* as "NULL"; compare through this so a null is a visible value.
std::string str(const char* s) { return s ? std::string(s) : std::string("<null>"); }

// --- return codes ----------------------------------------------------------------------------

struct CodeCase {
    std::uint32_t code;
    const char* name;         // nullptr: not a code of the catalogue
    const char* description;
};

// Code lookups at and beyond the edges of the code space.
const CodeCase kCodeBoundaries[] = {
    {0x00000000u, "OK", "OK"},
    {0x90000001u, "ECF_ACCESS_DENIED", "Access denied"},                 // first index
    {0x900005CEu, "ECF_RESERVED_900005CE", "Reserved code 0x900005CE"},  // index 1486, the last
    {0x900005CFu, nullptr, nullptr},                                     // index 1487
    {0x90000000u, nullptr, nullptr},                                     // set 1, index 0
    {0xA000000Cu, nullptr, nullptr},                                     // set 2
    {0x8000000Cu, nullptr, nullptr},                                     // set 0 with the error bit
    {0x0000000Cu, nullptr, nullptr},                                     // bare index
    {0x1000000Cu, nullptr, nullptr},                                     // error code without its error bit
    {0x90000006u, nullptr, nullptr},                                     // the warning with the error bit
    {0x10000006u, "ECF_PARTIAL_INFO", "Partial info"},                   // the one warning
    {0x9080000Cu, nullptr, nullptr},                                     // bit 23 set
    {0x9F80000Cu, nullptr, nullptr},                                     // bits 23-27 set
    {0x907FFFFFu, nullptr, nullptr},                                     // largest index field
    {0xFFFFFFFFu, nullptr, nullptr},
    {0x900005C3u, "ECF_GENREG_GLOBALREG_INVALID_VARIABLE_INSTALLPATH_FIELD",
     "Genreg globalreg invalid variable installpath field"},             // highest named code
};

void PrintTo(const CodeCase& c, std::ostream* os) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", c.code);
    *os << buf;
}

class CodeBoundary : public ::testing::TestWithParam<CodeCase> {};

TEST_P(CodeBoundary, NameAndDescription) {
    const CodeCase& c = GetParam();
    EXPECT_EQ(str(ecfErrorGetCodeName(c.code)), str(c.name));
    EXPECT_EQ(str(ecfErrorGetDescription(c.code)), str(c.description));
    if (c.name == nullptr) {
        EXPECT_EQ(ecfErrorGetComponentName(c.code), nullptr);
        EXPECT_EQ(ecfErrorGetProductName(c.code), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Ecf, CodeBoundary, ::testing::ValuesIn(kCodeBoundaries));

// Every description the system shows as its own text, exactly as written (spelling included).
const CodeCase kDescribedCodes[] = {
    {0x90000001u, "ECF_ACCESS_DENIED", "Access denied"},
    {0x90000002u, "ECF_FAILED", "Failed"},
    {0x90000003u, "ECF_INVALID_INVOCATION_SEQUENCE", "Functions/methods called out of sequence"},
    {0x90000004u, "ECF_INVALID_VERSION", "Invalid version"},
    {0x90000005u, "ECF_NOT_SUPPORTED", "Functionality not supported"},
    {0x90000007u, "ECF_UNKNOWN", "Unknown"},
    {0x90000008u, "ECF_BUFFER_TOO_SMALL", "Buffer too small"},
    {0x9000000Au, "ECF_INVALID_ADDRESS", "Invalid address"},
    {0x9000000Cu, "ECF_INVALID_PARAMETER", "Invalid parameter"},
    {0x9000000Du, "ECF_NO_MEMORY", "Insufficent memory"},
    {0x90000021u, "ECF_FILE_EOF", "End of file"},
    {0x90000070u, "ECF_GTRACE_DUMP_HEADER_TRUNCATED", "Trace dump file header is truncated"},
    {0x90000071u, "ECF_GTRACE_INVALID_BUFFER_SIZE", "Trace buffer size is too small"},
    {0x90000072u, "ECF_GTRACE_INVALID_DUMP_EYE_CATCHER", "Invalid trace dump file header eye catcher"},
    {0x90000073u, "ECF_GTRACE_NOT_ATTACHED", "Trace control block is not attached"},
    {0x90000074u, "ECF_GTRACE_NOT_INITIALIZED", "Trace control block is not initialized"},
    {0x90000079u, "ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC",
     "Can not turn memory debug on or off after first allocation"},
    {0x90000085u, "ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED", "Auto dump not allowed"},
    {0x90000086u, "ECF_RAMBO_DUMP_HEADER_TRUNCATED", "RAMBO dump file header is truncated"},
    {0x90000087u, "ECF_RAMBO_DUMP_TRUNCATED", "RAMBO dump file is truncated"},
    {0x90000088u, "ECF_RAMBO_INSTANT_DUMP_TRUNCATED", "RAMBO instantaneous dump file is truncated"},
    {0x90000089u, "ECF_RAMBO_INVALID_BUFFER_SIZE", "Invalid RAMBO buffer size"},
    {0x9000008Au, "ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE", "Invalid RAMBO dump file buffer size"},
    {0x9000008Bu, "ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER", "Invalid RAMBO dump file header eye catcher"},
    {0x9000008Cu, "ECF_RAMBO_INVALID_DUMP_SEQUENCE", "Invalid dump file sequence number"},
    {0x9000008Du, "ECF_RAMBO_INVALID_DUMP_SLOT_INDEX", "Invalid dump file slot index"},
    {0x9000008Eu, "ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER", "Invalid RAMBO dump file tail eye catcher"},
    {0x9000008Fu, "ECF_RAMBO_INVALID_DUMP_TYPE", "Invalid RAMBO dump file type"},
    {0x90000090u, "ECF_RAMBO_NOT_INITIALIZED", "RAMBO handle not initialized"},
    {0x900003EEu, "ECF_MEM_NULL_POINTER", "The address provided is NULL"},
    // Named codes without a text of their own are described by their name.
    {0x9000001Au, "ECF_FILE_DOESNT_EXIST", "File doesnt exist"},
    {0x900001BEu, "ECF_GENREG_EOF", "Genreg eof"},
    {0x90000501u, "ECF_EXISTS", "Exists"},
    // An index nobody names is reserved.
    {0x90000009u, "ECF_RESERVED_90000009", "Reserved code 0x90000009"},
};

class DescribedCode : public ::testing::TestWithParam<CodeCase> {};

TEST_P(DescribedCode, NameAndDescription) {
    const CodeCase& c = GetParam();
    EXPECT_EQ(str(ecfErrorGetCodeName(c.code)), str(c.name));
    EXPECT_EQ(str(ecfErrorGetDescription(c.code)), str(c.description));
}

INSTANTIATE_TEST_SUITE_P(Ecf, DescribedCode, ::testing::ValuesIn(kDescribedCodes));

// The constants other libraries compare against: their values are fixed, and each one's
// catalogue name is its own spelling.
struct ConstantCase {
    std::uint32_t value;
    std::uint32_t expected;
    const char* spelling;
};
#define ECF_CONSTANT(name, value) {name, value, #name}
const ConstantCase kConstants[] = {
    ECF_CONSTANT(ECF_INVALID_PARAMETER, 0x9000000Cu),
    ECF_CONSTANT(ECF_NO_MEMORY, 0x9000000Du),
    ECF_CONSTANT(ECF_INVALID_VERSION, 0x90000004u),
    ECF_CONSTANT(ECF_FILE_DOESNT_EXIST, 0x9000001Au),
    ECF_CONSTANT(ECF_FILE_PATH_DOESNT_EXIST, 0x90000037u),
    ECF_CONSTANT(ECF_GENREG_EOF, 0x900001BEu),
    ECF_CONSTANT(ECF_PARTIAL_INFO, 0x10000006u),
    ECF_CONSTANT(ECF_UNKNOWN, 0x90000007u),
    ECF_CONSTANT(ECF_MEM_EXISTS, 0x9000004Au),
    ECF_CONSTANT(ECF_SEM_EXISTS, 0x90000052u),
    ECF_CONSTANT(ECF_FILE_EXISTS, 0x9000001Bu),
    ECF_CONSTANT(ECF_SESSION_CANCELED, 0x900003FEu),
    ECF_CONSTANT(ECF_OSSLOCK_CORRUPT, 0x900003EFu),
    ECF_CONSTANT(ECF_GENREG_GLOBALREG_TEMPPACKEDREC_MALLOC_FAILURE, 0x9000024Fu),
    ECF_CONSTANT(ECF_GENREG_INVALID_FEATURE, 0x90000202u),
    ECF_CONSTANT(ECF_GENREG_CHECKSUM_MISMATCH, 0x900005A4u),
    ECF_CONSTANT(ECF_GENREG_GLOBALREG_INVALID_VARIABLE_INSTALLPATH_FIELD, 0x900005C3u),
    ECF_CONSTANT(ECF_OSSTICK_TIME_VALUE_TOO_SMALL, 0x900004E7u),
};
#undef ECF_CONSTANT

TEST(EcfCodes, ConstantsKeepTheirValuesAndNames) {
    for (const ConstantCase& c : kConstants) {
        EXPECT_EQ(c.value, c.expected) << c.spelling;
        EXPECT_EQ(str(ecfErrorGetCodeName(c.value)), c.spelling);
    }
}

TEST(EcfCodes, CountsPerSet) {
    EXPECT_EQ(ecfErrorGetNumCodes(1), 1486u);
    EXPECT_EQ(ecfErrorGetNumCodes(0), 0u);
    EXPECT_EQ(ecfErrorGetNumCodes(2), 0u);
    EXPECT_EQ(ecfErrorGetNumCodes(0xFFFFFFFFu), 0u);
}

TEST(EcfCodes, SetNameFollowsTheSetBits) {
    EXPECT_EQ(str(ecfErrorGetSetName(0x9000000Cu)), "setecf");
    EXPECT_EQ(str(ecfErrorGetSetName(0x10000006u)), "setecf");
    EXPECT_EQ(str(ecfErrorGetSetName(0x900005CFu)), "setecf");  // set 1, unused index
    EXPECT_EQ(ecfErrorGetSetName(0), nullptr);
    EXPECT_EQ(ecfErrorGetSetName(0xA000000Cu), nullptr);
    EXPECT_EQ(ecfErrorGetSetName(0xF000000Cu), nullptr);
}

TEST(EcfCodes, OwnersOfCodes) {
    struct {
        std::uint32_t code;
        const char* product;
        const char* component;
    } cases[] = {
        {ECF_INVALID_PARAMETER, "OSS", "General return codes"},
        {ECF_PARTIAL_INFO, "OSS", "General return codes"},
        {ECF_FILE_EOF, "OSS", "Operating system services library"},
        {ECF_RAMBO_NOT_INITIALIZED, "OSS", "Operating system services library"},
        {ECF_GENREG_EOF, "OSS", "Global registry library"},
        {0x900005CEu, "OSS", "General return codes"},  // reserved
        {0, nullptr, nullptr},                          // success belongs to nobody
    };
    for (const auto& c : cases) {
        EXPECT_EQ(str(ecfErrorGetProductName(c.code)), str(c.product)) << std::hex << c.code;
        EXPECT_EQ(str(ecfErrorGetComponentName(c.code)), str(c.component)) << std::hex << c.code;
    }
}

// Every index of set 1 holds exactly one code, under either the error or the warning bit, with a
// unique ECF_ name, a description and an owner in the name tables.
TEST(EcfCodes, WholeCatalogueIsConsistent) {
    std::set<std::string> names;
    int warnings = 0;
    for (std::uint32_t index = 1; index <= 1486; ++index) {
        const std::uint32_t error = 0x90000000u | index, warning = 0x10000000u | index;
        const char* asError = ecfErrorGetCodeName(error);
        const char* asWarning = ecfErrorGetCodeName(warning);
        ASSERT_TRUE((asError == nullptr) != (asWarning == nullptr)) << "index " << index;
        const std::uint32_t code = asError ? error : warning;
        warnings += asWarning != nullptr;
        const std::string name = asError ? asError : asWarning;
        EXPECT_EQ(name.rfind("ECF_", 0), 0u) << name;
        EXPECT_TRUE(names.insert(name).second) << "name used twice: " << name;
        const char* description = ecfErrorGetDescription(code);
        ASSERT_NE(description, nullptr) << name;
        EXPECT_GT(std::strlen(description), 0u) << name;
        EXPECT_EQ(str(ecfErrorGetProductName(code)), "OSS") << name;
        EXPECT_NE(ecfErrorGetComponentName(code), nullptr) << name;
        EXPECT_EQ(str(ecfErrorGetSetName(code)), "setecf");
    }
    EXPECT_EQ(warnings, 1);
}

// --- name tables -----------------------------------------------------------------------------

TEST(EcfNames, ProductsAndComponentCounts) {
    EXPECT_EQ(ecfGetNumProducts(), 3u);
    const std::uint32_t expected[] = {0, 18, 4, 190, 0, 0};
    for (std::uint32_t p = 0; p < 6; ++p) EXPECT_EQ(ecfGetNumComponents(p), expected[p]) << "product " << p;
    EXPECT_EQ(ecfGetNumComponents(0xFFFFFFFFu), 0u);
}

// Sum of the names (entries 1 to count - 1) over the components of each product.
TEST(EcfNames, FunctionNameTotals) {
    const std::uint64_t expected[] = {0, 1957, 372, 61564};
    for (std::uint32_t p = 1; p <= 3; ++p) {
        std::uint64_t total = 0;
        EXPECT_EQ(ecfGetNumFunctions(p, 0), 0u) << "component 0 names nothing";
        for (std::uint32_t c = 1; c < ecfGetNumComponents(p); ++c) {
            std::uint32_t count = ecfGetNumFunctions(p, c);
            ASSERT_GE(count, 1u);
            EXPECT_LE(count, 4096u) << "the trace mask holds function numbers 0-4095";
            total += count - 1;
        }
        EXPECT_EQ(total, expected[p]) << "product " << p;
    }
}

struct IdCase {
    std::uint32_t id;
    const char* name;  // expected function name; nullptr: none
};

// The ids the libraries log and trace under.
const IdCase kFixedIds[] = {
    {0x08140001u, "access"},
    {0x08140021u, "CreateDirectoryA"},
    {0x0814006Eu, "CreateFileMapping"},
    {0x08140070u, "CreateSemaphore"},
    {0x0814009Du, "_stat"},
    {0x081400A0u, "TlsGetValue"},
    {0x081A00ADu, "ossErrorIOAnalysis"},
    {0x081A00AEu, "ossErrorMemoryAnalysis"},
    {0x082A0020u, "GenRegBin::GetNext"},
    {ECF_FN_ossLog, "ossLog"},
    {ECF_FN_GenRegFile_dtor, "GenRegFile::~GenRegFile"},
    {ECF_FN_OSSHFile_open, "OSSHFile::open"},
    {ECF_FN_sqleGetLevelInfo, "sqleGetLevelInfo"},
    // The sub-field (bits 16-18) does not take part in the lookup.
    {0x08100001u, "access"},
    {0x08170001u, "access"},
    {0x082F0020u, "GenRegBin::GetNext"},
};

void PrintTo(const IdCase& c, std::ostream* os) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", c.id);
    *os << buf;
}

class FixedId : public ::testing::TestWithParam<IdCase> {};

TEST_P(FixedId, Name) {
    EXPECT_EQ(str(ecfGetFunctionName(GetParam().id)), str(GetParam().name)) << std::hex << GetParam().id;
}

INSTANTIATE_TEST_SUITE_P(Ecf, FixedId, ::testing::ValuesIn(kFixedIds));

TEST(EcfNames, FunctionConstantsKeepTheirIds) {
    EXPECT_EQ(ECF_FN_access, 0x08140001u);
    EXPECT_EQ(ECF_FN_CreateFileMapping, 0x0814006Eu);
    EXPECT_EQ(ECF_FN_CreateSemaphore, 0x08140070u);
    EXPECT_EQ(ECF_FN__stat, 0x0814009Du);
    EXPECT_EQ(ECF_FN_TlsGetValue, 0x081400A0u);
    EXPECT_EQ(ECF_FN_ossErrorIOAnalysis, 0x081A00ADu);
    EXPECT_EQ(ECF_FN_ossErrorMemoryAnalysis, 0x081A00AEu);
    EXPECT_EQ(ECF_FN_GenRegBin_GetNext, 0x082A0020u);
    // Product and component of each library's functions.
    EXPECT_EQ(ECF_FN_CreateFileA & 0xFFF80000u, 0x08100000u);
    EXPECT_EQ(ECF_FN_ossLog & 0xFFF80000u, 0x08180000u);
    EXPECT_EQ(ECF_FN_ossOpenInstanceList & 0xFFF80000u, 0x08280000u);
    EXPECT_EQ(ECF_FN_sqleGetLevelInfo & 0xFFF80000u, 0x18780000u);
}

// The calls that failures are logged under, and that the error analysis looks up by name, exist
// in product 1, component 2.
TEST(EcfNames, OperatingSystemCallsArePresent) {
    const char* calls[] = {"CreateFileA", "LockFileEx",  "UnlockFileEx",     "MapViewOfFileEx",  "UnmapViewOfFile",
                           "ReadFile",    "WriteFile",   "SetFilePointer",   "GetFileSize",      "FlushFileBuffers",
                           "CloseHandle", "DeleteFileA", "MoveFileA",        "CreateDirectoryA", "RemoveDirectoryA",
                           "LoadLibraryExA", "GetProcAddress", "OpenFileMappingA", "CreateProcessA",
                           // The calls the error analysis recognises by name.
                           "access", "chdir", "chmod", "fstat", "link", "lstat", "mkdir", "open", "readdir_r",
                           "rename", "rmdir", "stat", "statvfs", "unlink", "_stat", "statfs", "fstat64",
                           "realpath", "fork", "ftruncate", "mmap", "read", "write", "writev", "readv", "preadv",
                           "pread", "pwrite"};
    for (const char* call : calls) {
        std::uint32_t f = ecfFindFunctionIndex(1, 2, call);
        ASSERT_NE(f, 0u) << call;
        EXPECT_EQ(str(ecfGetFunctionName(0x08140000u | f)), call);
    }
}

// Id lookups at and beyond every edge of the id space and of each table.
TEST(EcfNames, IdBoundaries) {
    std::vector<IdCase> cases = {
        {0x00000000u, nullptr},
        {0x07FFFFFFu, nullptr},              // below the id space
        {0x08000000u, nullptr},              // component 0
        {0x0807FFFFu, nullptr},              // component 0, any function
        {0x08080000u, nullptr},              // function number 0
        {0x08080001u, "func_08080001"},      // first function of the first component
        {0x08100000u, nullptr},              // function number 0 of the system calls
        {0x20000000u, nullptr},              // above the id space
        {0x1FFFFFFFu, nullptr},              // product 3, component 255 (beyond 189)
        {0xFFFFFFFFu, nullptr},
        {0x08900001u, nullptr},              // product 1, component 18: the count itself
        {0x08880001u, "func_08880001"},      // product 1, component 17: the last one
        {0x10200001u, nullptr},              // product 2, component 4: the count itself
        {0x105F0000u | 0x0001u, nullptr},    // product 2, component 11
    };
    // The last function of every component, and the number just past it, for one component of
    // each product and for the last component of each product.
    const std::uint32_t components[][2] = {{1, 2}, {1, 3}, {1, 5}, {1, 17}, {2, 1}, {2, 3}, {3, 15}, {3, 189}};
    std::vector<std::string> keep;  // owns expected names
    keep.reserve(std::size(components));
    for (const auto& pc : components) {
        std::uint32_t count = ecfGetNumFunctions(pc[0], pc[1]);
        ASSERT_GE(count, 2u);
        std::uint32_t base = (pc[0] << 27) | (pc[1] << 19);
        const char* last = ecfGetFunctionName(base | (count - 1));
        ASSERT_NE(last, nullptr) << std::hex << (base | (count - 1));
        keep.emplace_back(last);
        cases.push_back({base | (count - 1), keep.back().c_str()});
        cases.push_back({base | count, nullptr});
        cases.push_back({base | 0xFFFFu, nullptr});
    }
    for (const IdCase& c : cases) {
        EXPECT_EQ(str(ecfGetFunctionName(c.id)), str(c.name)) << std::hex << c.id;
    }
}

TEST(EcfNames, ProductAndComponentNamesById) {
    struct {
        std::uint32_t id;
        const char* product;
        const char* shortName;
        const char* longName;
    } cases[] = {
        {0x07FFFFFFu, nullptr, nullptr, nullptr},
        {0x08000000u, "OSS", nullptr, nullptr},  // product valid, component 0
        {0x08100000u, "OSS", "OSCALL", "Operating system calls"},
        {0x081A00ADu, "OSS", "OSSE", "Operating system services library"},
        {0x082A0020u, "OSS", "GENREG", "Global registry library"},
        {0x08200000u, "OSS", "COMP004", "Reserved component 4"},
        {0x08880000u, "OSS", "COMP017", "Reserved component 17"},
        {0x08900000u, "OSS", nullptr, nullptr},  // component 18 = the count
        {0x10000000u, "ADM", nullptr, nullptr},
        {0x10180000u, "ADM", "COMP003", "Reserved component 3"},
        {0x10200000u, "ADM", nullptr, nullptr},
        {0x18780000u, "TARN", "LEVEL", "Level information library"},
        {0x1DE80000u, "TARN", "COMP189", "Reserved component 189"},
        {0x1DF00000u, "TARN", nullptr, nullptr},  // component 190 = the count
        {0x1FFFFFFFu, "TARN", nullptr, nullptr},
        {0x20000000u, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(str(ecfGetProductName(c.id)), str(c.product)) << std::hex << c.id;
        EXPECT_EQ(str(ecfGetComponentShortName(c.id)), str(c.shortName)) << std::hex << c.id;
        EXPECT_EQ(str(ecfGetComponentName(c.id)), str(c.longName)) << std::hex << c.id;
    }
}

TEST(EcfNames, NumFunctionsOutOfRange) {
    EXPECT_EQ(ecfGetNumFunctions(0, 1), 0u);
    EXPECT_EQ(ecfGetNumFunctions(4, 1), 0u);
    EXPECT_EQ(ecfGetNumFunctions(1, 18), 0u);
    EXPECT_EQ(ecfGetNumFunctions(3, 190), 0u);
    EXPECT_EQ(ecfGetNumFunctions(3, 0xFFFFFFFFu), 0u);
    EXPECT_GT(ecfGetNumFunctions(3, 189), 1u);
}

TEST(EcfNames, FindFunctions) {
    EXPECT_EQ(ecfFindProductIndex("OSS"), 1u);
    EXPECT_EQ(ecfFindProductIndex("ADM"), 2u);
    EXPECT_EQ(ecfFindProductIndex("TARN"), 3u);
    EXPECT_EQ(ecfFindProductIndex("tarn"), 0u);  // case-sensitive
    EXPECT_EQ(ecfFindProductIndex("TAR"), 0u);
    EXPECT_EQ(ecfFindProductIndex(""), 0u);
    EXPECT_EQ(ecfFindProductIndex(nullptr), 0u);

    EXPECT_EQ(ecfFindComponentIndex(1, "OSSE"), 3u);
    EXPECT_EQ(ecfFindComponentIndex(3, "LEVEL"), 15u);
    EXPECT_EQ(ecfFindComponentIndex(3, "COMP189"), 189u);
    EXPECT_EQ(ecfFindComponentIndex(1, "osse"), 0u);
    EXPECT_EQ(ecfFindComponentIndex(2, "OSSE"), 0u);
    EXPECT_EQ(ecfFindComponentIndex(0, "OSSE"), 0u);
    EXPECT_EQ(ecfFindComponentIndex(4, "OSSE"), 0u);
    EXPECT_EQ(ecfFindComponentIndex(1, ""), 0u);  // component 0 is never a match
    EXPECT_EQ(ecfFindComponentIndex(1, nullptr), 0u);

    EXPECT_EQ(ecfFindFunctionIndex(1, 2, "access"), 1u);
    EXPECT_EQ(ecfFindFunctionIndex(1, 2, "TlsGetValue"), 0xA0u);
    EXPECT_EQ(ecfFindFunctionIndex(1, 3, "ossErrorIOAnalysis"), 0xADu);
    EXPECT_EQ(ecfFindFunctionIndex(1, 5, "GenRegBin::GetNext"), 0x20u);
    EXPECT_EQ(ecfFindFunctionIndex(1, 2, "ACCESS"), 0u);
    EXPECT_EQ(ecfFindFunctionIndex(1, 3, "access"), 0u);  // another component's name
    EXPECT_EQ(ecfFindFunctionIndex(1, 2, ""), 0u);        // entry 0 is never a match
    EXPECT_EQ(ecfFindFunctionIndex(1, 2, nullptr), 0u);
    EXPECT_EQ(ecfFindFunctionIndex(1, 0, "access"), 0u);
    EXPECT_EQ(ecfFindFunctionIndex(1, 18, "access"), 0u);
    EXPECT_EQ(ecfFindFunctionIndex(0, 2, "access"), 0u);
}

// Every name of every table leads back to its own index, and unnamed entries follow the fill
// pattern: this walks all 63893 function names.
TEST(EcfNames, EveryNameFindsItsOwnIndex) {
    for (std::uint32_t p = 1; p <= 3; ++p) {
        for (std::uint32_t c = 1; c < ecfGetNumComponents(p); ++c) {
            const std::uint32_t base = (p << 27) | (c << 19);
            const char* shortName = ecfGetComponentShortName(base);
            ASSERT_NE(shortName, nullptr);
            ASSERT_EQ(ecfFindComponentIndex(p, shortName), c) << shortName;
            const std::uint32_t count = ecfGetNumFunctions(p, c);
            for (std::uint32_t f = 1; f < count; ++f) {
                const char* name = ecfGetFunctionName(base | f);
                ASSERT_NE(name, nullptr) << std::hex << (base | f);
                ASSERT_GT(std::strlen(name), 0u);
                ASSERT_EQ(ecfFindFunctionIndex(p, c, name), f) << name;
                if (std::strncmp(name, "func_", 5) == 0) {
                    char expected[16];
                    std::snprintf(expected, sizeof expected, "func_%08X", base | f);
                    ASSERT_STREQ(name, expected);
                }
            }
        }
    }
}

}  // namespace
