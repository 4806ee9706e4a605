#include <cstdio>

#include "tools/tarngenreg/tarngenreg_cli.h"

int main(int argc, char** argv) { return tarngenregMain(argc, argv, stdout, stderr); }
