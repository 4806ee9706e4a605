// tarntrace, the trace dump tool.
//
//   tarntrace format DUMP [--reverse]   one block per record, in file order or newest first
//   tarntrace info DUMP                 the trace options of the dump, its kind, whether the
//                                       buffer wrapped or was truncated, and its record count
//
// Every record block shows the slot sequence, thread, process, the function's product,
// component and function names from the name tables, the record type, probe, data words, return
// code, and each item with its type, length and a hex dump. A dump that fails validation is
// reported as "ERROR: <code name> (0x<code>): <description>" with exit status 1; usage errors
// also give 1; success 0.
//
// The tool writes dumps too: WriteTraceDump saves the trace block attached in this process as an
// instantaneous dump (trace header, buffer image, tail). Verbs that switch tracing in running
// processes come when the trace block can live in shared memory.
//
// The whole tool is RunTarntrace, so that tests drive it as a function; main.cpp only forwards.
#pragma once

#include <cstdint>
#include <ostream>

namespace tarn::tools {

int RunTarntrace(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// Writes the attached trace block as an instantaneous dump to path (created or replaced).
// Returns 0 or the ECF code of the failure (no block attached, file not writable: ECF_FAILED).
std::uint32_t WriteTraceDump(const char* path);

}  // namespace tarn::tools
