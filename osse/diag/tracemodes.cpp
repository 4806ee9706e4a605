// The mask filter and the profile and coverage modes, as far as the library has them: the mask
// filter passes nothing and both modes refuse to start (see tracemodes.h). The trace-mask unit
// and the profile-and-coverage unit replace these bodies.
#include "osse/diag/tracemodes.h"

#include "osse/diag/ecf.h"

bool gtraceMaskFilter(const GTraceOptions*, std::uint32_t, std::uint32_t, std::uint32_t) noexcept { return false; }

std::uint32_t gtraceProfileInitialize(GTCB*, const GTraceOptions*) noexcept { return ECF_NOT_SUPPORTED; }
void gtraceProfileAttach(GTCB*) noexcept {}
void gtraceProfilePoint(GTCB*, std::uint32_t, std::uint64_t, std::uint32_t, const std::uint32_t*) noexcept {}
std::uint32_t gtraceProfileClear(GTCB*) noexcept { return ECF_NOT_SUPPORTED; }
std::uint32_t gtraceProfileOpenParser(RamboDumpFile*, GTraceDumpParser*) noexcept { return ECF_NOT_SUPPORTED; }
std::uint32_t gtraceProfileParse(RamboDumpFile*, GTraceDumpParser*, std::uint64_t*, void*, std::uint32_t) noexcept {
  return 0;
}

std::uint32_t gtraceCoverageInitialize(GTCB*, const GTraceOptions*) noexcept { return ECF_NOT_SUPPORTED; }
void gtraceCoveragePoint(GTCB*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) noexcept {}
std::uint32_t gtraceCoverageClear(GTCB*) noexcept { return ECF_NOT_SUPPORTED; }
