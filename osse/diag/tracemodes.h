// Internal interface of the trace facility to the parts that come with the trace-mask and the
// profile-and-coverage units: the mask filter, the profile mode and the coverage mode. The trace
// facility calls only these functions, so those units plug in here without touching trace.cpp.
//
// Until they are in the library (tracemodes.cpp):
// - the mask filter lets nothing through (a trace with option flag 0x2000 records nothing that
//   the bitmap filter does not decide first);
// - profile and coverage initialisation refuse with ECF_NOT_SUPPORTED, so no block is ever in
//   those modes and their point, clear, dump and parser functions are never reached; they answer
//   ECF_NOT_SUPPORTED (or do nothing) all the same.
// Not exported for other libraries: these are the trace facility's own calls.
#pragma once

#include <cstdint>

#include "osse/diag/trace.h"

// gtmIsElemInMask of the options' mask, for the filter's mask test.
bool gtraceMaskFilter(const GTraceOptions* options, std::uint32_t functionId, std::uint32_t type,
                      std::uint32_t probe) noexcept;

// Profile mode (traceType & 0x88 == 0x08).
std::uint32_t gtraceProfileInitialize(GTCB* gtcb, const GTraceOptions* options) noexcept;
void gtraceProfileAttach(GTCB* gtcb) noexcept;
// An entry (type 1) or exit (type 2) point; other kinds are dropped by the caller.
void gtraceProfilePoint(GTCB* gtcb, std::uint32_t type, std::uint64_t threadId, std::uint32_t functionId,
                        const std::uint32_t* rc) noexcept;
std::uint32_t gtraceProfileClear(GTCB* gtcb) noexcept;
std::uint32_t gtraceProfileOpenParser(RamboDumpFile* file, GTraceDumpParser* parser) noexcept;
std::uint32_t gtraceProfileParse(RamboDumpFile* file, GTraceDumpParser* parser, std::uint64_t* offset,
                                 void* destination, std::uint32_t destinationSize) noexcept;

// Coverage mode (traceType & 0x88 == 0x80). Exits pass their data words as the 64-bit value.
std::uint32_t gtraceCoverageInitialize(GTCB* gtcb, const GTraceOptions* options) noexcept;
void gtraceCoveragePoint(GTCB* gtcb, std::uint32_t functionId, std::uint32_t probe, std::uint32_t type,
                         std::uint32_t data1, std::uint32_t data2) noexcept;
std::uint32_t gtraceCoverageClear(GTCB* gtcb) noexcept;
