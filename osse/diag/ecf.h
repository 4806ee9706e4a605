// Return codes and function names of the Tarn libraries.
//
// Return codes. Every function of the libraries returns a u32 code of one catalogue (the ECF code
// space): 0 is success; an error is 0x90000000 plus its index (1 to 1486) in set 1, for example
// ECF_INVALID_PARAMETER 0x9000000C; ECF_PARTIAL_INFO 0x10000006 is the one warning. Bits 28-30
// hold the set (only set 1, "setecf", exists), bits 23-27 are 0, bits 0-22 the index. Callers
// compare codes for equality. Each named code is a constant of this header (from the generated
// osse/diag/ecfcodes.h); the catalogue gives its name, a one-line description and the product
// and component that own it.
//
// Function ids. Trace points and log records name their function by a u32 id: bits 27-31
// product (1 to 3), bits 19-26 component, bits 16-18 a sub-field that the name lookups ignore,
// bits 0-15 function number; ids run from 0x08000000 to 0x1FFFFFFF. Each named function has a
// constant ECF_FN_<name> (from the generated osse/diag/funcids.h; "Class::member" becomes
// ECF_FN_Class_member, a destructor ECF_FN_Class_dtor): the services library's functions are
// product 1 component 3 (ECF_FN_ossLog), the operating-system calls it makes product 1
// component 2 (ECF_FN_access 0x08140001), the registry library product 1 component 5
// (ECF_FN_GenRegBin_GetNext 0x082A0020), the level information library product 3 component 15.
//
// Where the data comes from. osse/diag/data/ecfcodes.txt and osse/diag/data/ecffuncs.txt are
// the one source of both; the build generates the constants and the tables from them. To give a
// new function an id, add a line to ecffuncs.txt (the file says how) and use its ECF_FN_
// constant; to name a new code, add its line to ecfcodes.txt.
//
// Lookup rules, shared by every function below:
// - A product index is valid from 1 to 3, a component index from 1 to the product's component
//   count - 1 (index 0 names nothing), a function number from 1 to the component's function
//   count - 1 (entry 0 is the empty name). Anything else gives null, or 0 for the counts and the
//   Find functions; never an error.
// - A code lookup answers only for a code of the catalogue, matched exactly: 0 ("OK") or a code
//   whose set is 1, whose index is 1 to 1486 and whose warning/error bit and bits 23-27 equal
//   the catalogue's own (0x90000006 is not a code; 0x10000006 is).
// - Lookups by id or code index the constant tables directly and never search; only the Find
//   functions walk a name list, comparing byte for byte (case-sensitive) and returning the
//   first match.
// - The returned texts are constant data of the library: never free or modify them.
//
// Everything here is reentrant, allocates nothing and never traces or logs, so the diagnostics
// can call it from anywhere. The functions are plain C++ functions of libtarnosse.so, in the
// global namespace like every exported "oss" and "ecf" function of the services library.
#pragma once

#include <cstdint>

#include "osse/diag/ecfcodes.h"
#include "osse/diag/funcids.h"

// Name tables.
std::uint32_t ecfGetNumProducts();                                    // 3
const char* ecfGetProductName(std::uint32_t id);                      // product of bits 27-31
std::uint32_t ecfFindProductIndex(const char* name);                  // 1-3, else 0
std::uint32_t ecfGetNumComponents(std::uint32_t product);             // index 0 included; 0 if invalid
const char* ecfGetComponentShortName(std::uint32_t id);
const char* ecfGetComponentName(std::uint32_t id);                    // long name
std::uint32_t ecfFindComponentIndex(std::uint32_t product, const char* shortName);
std::uint32_t ecfGetNumFunctions(std::uint32_t product, std::uint32_t component);  // entry 0 included
const char* ecfGetFunctionName(std::uint32_t id);
std::uint32_t ecfFindFunctionIndex(std::uint32_t product, std::uint32_t component, const char* name);

// Return-code catalogue.
std::uint32_t ecfErrorGetNumCodes(std::uint32_t set);                 // 1486 for set 1, else 0
const char* ecfErrorGetCodeName(std::uint32_t code);                  // "OK" for 0
const char* ecfErrorGetDescription(std::uint32_t code);               // "OK" for 0
const char* ecfErrorGetComponentName(std::uint32_t code);             // long name of its component
const char* ecfErrorGetProductName(std::uint32_t code);
const char* ecfErrorGetSetName(std::uint32_t code);                   // "setecf" when bits 28-30 are 1,
                                                                      // whatever the index; else null
