// tarnreg: the registry tool, with the verbs and switches of the Windows reg command.
//
//   tarnreg import FILE.reg
//   tarnreg export KEY [FILE.reg] [/y]
//   tarnreg query KEY [/v NAME | /ve] [/s]
//   tarnreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   tarnreg delete KEY [/v NAME | /ve] [/f]
//
// Switches start with '/' or '-' and are recognised only by the names the verb knows; every other
// argument, a file path that begins with '/' included, is an operand. The tool never asks
// questions (it runs in scripts and CI): where reg would ask for a confirmation, tarnreg answers
// "no" and says which switch (/f, or /y for export) gives the go-ahead.
//
// The whole tool is RunTarnreg, so that tests drive it as a function; main.cpp only forwards.
#pragma once

#include <ostream>

namespace tarn::tools {

// Runs one tarnreg command line (argv[0] is the program name). Results go to `out`, messages
// starting with "ERROR:" to `err`. Returns the exit status: 0 on success, 1 on failure.
int RunTarnreg(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tarn::tools
