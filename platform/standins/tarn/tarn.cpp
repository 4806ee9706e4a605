// The stand-in Tarn command processor "tarn": enough of the product's command-line processor for
// the install support to run statements through it on a machine without the product.
//
// Command line:
//   tarn -ec -v "STATEMENT"     run STATEMENT and report its SQL communication area
//   tarn -a -v "STATEMENT"      the same (both forms print the full report)
// -v echoes the statement first. Anything else is a usage error: a message on standard error and
// exit status 8.
//
// Output on standard output, the statement and then the report in the layout the command
// runner's ParseSqlcaReport reads:
//
//   SELECT * FROM NOSUCH
//
//   SQLCA Information
//
//    sqlcaid : SQLCA     sqlcabc: 136   sqlcode: -204   sqlerrml: 6
//    sqlerrmc: NOSUCH
//    sqlerrp : SQLNQ1F0
//    sqlerrd : (1) 0                (2) 0                (3) 0
//              (4) 0                (5) 0                (6) 0
//    sqlwarn : (1)      (2)      (3)      (4)        (5)       (6)
//              (7)      (8)      (9)      (10)       (11)
//    sqlstate: 42704
//
// Exit status, as the product's processor gives it: 0 for SQL code 0, 1 for 100 (no rows), 2 for
// another warning (positive code), 4 for an error (negative code); a reply may set it.
//
// Replies. Without configuration every statement succeeds (code 0, state "00000"). The variable
// TARN_STANDIN_REPLIES names a reply file of blocks, each starting with a "statement:" line;
// the first block whose statement equals the one run (ignoring letter case and the blanks at
// either end), or whose statement is "*", answers:
//
//   # a comment
//   statement: SELECT * FROM NOSUCH
//   sqlcode: -204
//   sqlerrmc: NOSUCH            (the message, at most 70 characters)
//   sqlerrp: SQLNQ1F0           (the program identifier, at most 8 characters)
//   sqlstate: 42704             (at most 5 characters)
//   stdout: a line              (printed before the report; may repeat)
//   stderr: a line              (printed on standard error; may repeat)
//   exit: 4                     (the exit status)
//
// A reply file that cannot be read or holds an unknown key gives a message on standard error and
// exit status 8, so a broken test set-up shows at once.
//
// Journal: each statement run appends one line "MODE STATEMENT" (MODE is -ec or -a) to
// tarn/statements.log below the platform root.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <strings.h>

#include "platform/root.h"

namespace {

struct Reply {
  long sqlcode = 0;
  std::string sqlerrmc;
  std::string sqlerrp = "SQLNQ1F0";
  std::string sqlstate = "00000";
  std::string out;
  std::string err;
  int exit = -1;  // -1: from the SQL code
};

std::string Trim(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  const std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

int Usage() {
  std::fputs("tarn: usage: tarn -ec|-a -v \"STATEMENT\"\n", stderr);
  return 8;
}

// Fills `reply` from the first matching block of the reply file; false (with a message) when the
// file is broken.
bool ReadReplies(const char* file, const std::string& statement, Reply* reply) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "tarn: cannot read the reply file %s\n", file);
    return false;
  }
  bool inBlock = false;  // inside the block that answers
  bool answered = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const std::size_t colon = trimmed.find(':');
    if (colon == std::string::npos) {
      std::fprintf(stderr, "tarn: %s:%d: expected KEY: VALUE\n", file, number);
      return false;
    }
    const std::string key = Trim(trimmed.substr(0, colon));
    const std::string value = Trim(trimmed.substr(colon + 1));
    if (key == "statement") {
      inBlock = !answered && (value == "*" || ::strcasecmp(value.c_str(), statement.c_str()) == 0);
      answered = answered || inBlock;
      continue;
    }
    if (key != "sqlcode" && key != "sqlerrmc" && key != "sqlerrp" && key != "sqlstate" &&
        key != "stdout" && key != "stderr" && key != "exit") {
      std::fprintf(stderr, "tarn: %s:%d: unknown key %s\n", file, number, key.c_str());
      return false;
    }
    if (!inBlock) continue;
    if (key == "sqlcode") reply->sqlcode = std::strtol(value.c_str(), nullptr, 10);
    else if (key == "sqlerrmc") reply->sqlerrmc = value.substr(0, 70);
    else if (key == "sqlerrp") reply->sqlerrp = value.substr(0, 8);
    else if (key == "sqlstate") reply->sqlstate = value.substr(0, 5);
    else if (key == "stdout") reply->out += value + "\n";
    else if (key == "stderr") reply->err += value + "\n";
    else reply->exit = std::atoi(value.c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[1], "-ec") != 0 && std::strcmp(argv[1], "-a") != 0) ||
      std::strcmp(argv[2], "-v") != 0)
    return Usage();
  const std::string mode = argv[1];
  const std::string statement = Trim(argv[3]);

  Reply reply;
  const char* file = std::getenv("TARN_STANDIN_REPLIES");
  if (file != nullptr && file[0] != '\0' && !ReadReplies(file, statement, &reply)) return 8;
  tarn::platform::AppendPlatformLine("tarn/statements.log", mode + " " + statement);

  std::printf("%s\n\n", statement.c_str());
  std::fputs(reply.out.c_str(), stdout);
  std::fputs(reply.err.c_str(), stderr);
  std::printf("SQLCA Information\n\n");
  std::printf(" sqlcaid : SQLCA     sqlcabc: 136   sqlcode: %ld   sqlerrml: %zu\n", reply.sqlcode,
              reply.sqlerrmc.size());
  std::printf(" sqlerrmc: %s\n", reply.sqlerrmc.c_str());
  std::printf(" sqlerrp : %s\n", reply.sqlerrp.c_str());
  std::printf(" sqlerrd : (1) 0                (2) 0                (3) 0\n");
  std::printf("           (4) 0                (5) 0                (6) 0\n");
  std::printf(" sqlwarn : (1)      (2)      (3)      (4)        (5)       (6)\n");
  std::printf("           (7)      (8)      (9)      (10)       (11)\n");
  std::printf(" sqlstate: %s\n", reply.sqlstate.c_str());
  std::fflush(stdout);

  if (reply.exit >= 0) return reply.exit;
  if (reply.sqlcode == 0) return 0;
  if (reply.sqlcode == 100) return 1;
  return reply.sqlcode > 0 ? 2 : 4;
}
