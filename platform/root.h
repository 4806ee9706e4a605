// The platform root: the one directory that holds this machine's stand-in Windows state.
//
// $TARN_PLATFORM_ROOT names it; without it the root is ~/.tarn-platform. The directory is created
// on first use. The registry store, the event log, the debugger output, the message-box log and
// the stand-ins' own state all live below it, so a test that points TARN_PLATFORM_ROOT at a
// temporary directory gets a machine of its own.
#pragma once

#include <string>
#include <string_view>

namespace tarn::platform {

// The root directory, without a trailing slash. Read from the environment at each call so that a
// test can move it; created (with its parents) when missing.
std::string PlatformRoot();

// `relative` below the root, with the directories leading to it created.
std::string PlatformPath(std::string_view relative);

// Appends one line (a line feed is added) to the file `relative` below the root. Several
// processes may append at once: each line is written with one write under an exclusive lock, so
// lines never interleave. Returns false when the file cannot be written.
bool AppendPlatformLine(std::string_view relative, std::string_view line);

}  // namespace tarn::platform
