// Trace-point macros: the one set that every library of the product uses.
//
//     std::uint32_t ossFileDelete(const char* path) {
//       std::uint32_t rc = 0;
//       GTRACE_ENTRY(ECF_FN_ossFileDelete);
//       GTRACE_DATA(ECF_FN_ossFileDelete, 10, GTRACE_ITEM_STRING, std::strlen(path), path);
//       ...
//       if (failed) {
//         rc = ...; ossLogRC(...);                    // log first,
//         GTRACE_ERROR(ECF_FN_ossFileDelete, 20, &rc);  // then the error point with the same probe
//       }
//       GTRACE_EXIT(ECF_FN_ossFileDelete, &rc);
//       return rc;
//     }
//
// Each macro tests, at its call site, that a trace block is attached (g_pGTCB) and enabled, and
// only then calls the trace function: a disabled trace point costs a load, a test and a branch.
// The guard reads both words with relaxed atomic loads, which on this processor are plain loads,
// so that a trace switched off from another thread is a race-free read.
//
//   GTRACE_ENTRY(fid)                      entry record, data 0 and 1000000
//   GTRACE_EXIT(fid, rcAddress)            exit record with the return code at rcAddress
//   GTRACE_DATA(fid, probe, type, length, data)
//                                          data record (type 3) with one item: `length` bytes at
//                                          `data`, or for item types 1 and 2 the value `data`
//   GTRACE_ERROR(fid, probe, rcAddress)    error record (type 4) carrying the return code
//   GTRACE_ERROR_POINT(fid, probe)         error record (type 4) without a return code
//
// The latch, atomic, tick, wide-integer and string utilities never trace: the trace code is
// built on them.
#pragma once

#include <cstdint>

#include "osse/diag/trace.h"

// Item types that the macros' callers use for their data items (any other number is the
// caller's own; 4 marks an item that was cut).
inline constexpr std::uint32_t GTRACE_ITEM_VALUE = 1;    // the value itself, up to 4 bytes
inline constexpr std::uint32_t GTRACE_ITEM_BYTES = 3;    // bytes at an address
inline constexpr std::uint32_t GTRACE_ITEM_STRING = 5;   // characters at an address (no terminator)

inline bool gtraceIsOn() noexcept {
  GTCB* gtcb = __atomic_load_n(&g_pGTCB, __ATOMIC_RELAXED);
  return __builtin_expect(gtcb != nullptr, 0) && __atomic_load_n(&gtcb->enabled, __ATOMIC_RELAXED) != 0;
}

#define GTRACE_ENTRY(fid)                                                      \
  do {                                                                         \
    if (gtraceIsOn()) _gtraceEntry(_gtraceThreadID(), 0u, (fid), 0u, 1000000u); \
  } while (0)

#define GTRACE_EXIT(fid, rcAddress)                                                  \
  do {                                                                               \
    if (gtraceIsOn()) _gtraceExit(_gtraceThreadID(), 0u, (fid), (rcAddress), 0u, 0u); \
  } while (0)

#define GTRACE_DATA(fid, probe, type, length, data)                                                     \
  do {                                                                                                  \
    if (gtraceIsOn())                                                                                   \
      _gtraceVar(_gtraceThreadID(), 0u, (fid), (probe), GTRACE_REC_DATA, 1u, static_cast<std::uint32_t>(type), \
                 static_cast<std::uint32_t>(length), (const void*)(std::uintptr_t)(data));                       \
  } while (0)

#define GTRACE_ERROR(fid, probe, rcAddress)                                                              \
  do {                                                                                                   \
    if (gtraceIsOn())                                                                                    \
      _gtraceErrorVar(_gtraceThreadID(), 0u, (fid), (probe), GTRACE_REC_ERROR, 0u, 0u, 1u, 0u, 4u,        \
                      static_cast<const void*>(static_cast<const std::uint32_t*>(rcAddress)));            \
  } while (0)

#define GTRACE_ERROR_POINT(fid, probe)                                                                          \
  do {                                                                                                          \
    if (gtraceIsOn())                                                                                           \
      _gtraceErrorVar(_gtraceThreadID(), 0u, (fid), (probe), GTRACE_REC_ERROR, 0u, 0u, 1u, 0u, 0u,               \
                      static_cast<const void*>(nullptr));                                                       \
  } while (0)
