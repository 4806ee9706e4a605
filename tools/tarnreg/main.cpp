// tarnreg: the registry tool. The work is done by RunTarnreg (tarnreg_cli.h).
#include <iostream>

#include "tools/tarnreg/tarnreg_cli.h"

int main(int argc, char** argv) {
  return tarn::tools::RunTarnreg(argc, argv, std::cout, std::cerr);
}
