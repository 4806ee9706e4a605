// tarntrace: the trace dump tool. The work is done by RunTarntrace (tarntrace_cli.h).
#include <iostream>

#include "tools/tarntrace/tarntrace_cli.h"

int main(int argc, char** argv) { return tarn::tools::RunTarntrace(argc, argv, std::cout, std::cerr); }
