// tarngenreg, the registry file tool:
//     tarngenreg dump FILE     prints every record of a global registry file
//     tarngenreg check FILE    checks the record framing (and the checksum header when the file
//                              has one) and that every record unpacks; names the first damaged
//                              record by its offset
// Exit status: 0 good, 1 damaged (check) or unreadable (dump), 2 wrong usage.
#pragma once

#include <cstdio>

int tarngenregMain(int argc, char** argv, std::FILE* out, std::FILE* err);
