// tarntrace: dumps written by a traced run of several threads, formatted forwards and backwards
// with every record's function name; info; damaged dumps and wrong command lines refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "trace_support.h"
#include "osse/diag/ecf.h"
#include "osse/diag/tracepoints.h"
#include "tools/tarntrace/tarntrace_cli.h"

namespace {

using tarn::test::TraceBlock;

struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun Tarntrace(std::vector<std::string> args) {
  std::vector<const char*> argv{"tarntrace"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int status = tarn::tools::RunTarntrace(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The traced functions of the run: three library functions with their own ids.
const std::uint32_t kFunctions[] = {ECF_FN_gtraceEnable, ECF_FN_ramboSync, ECF_FN_GenRegBin_GetNext};

void Work(std::uint32_t fid, std::uint32_t k) {
  std::uint32_t rc = (k % 3 == 0) ? ECF_INVALID_PARAMETER : 0;
  GTRACE_ENTRY(fid);
  const char payload[16] = "sixteen bytes!!";
  GTRACE_DATA(fid, 10, GTRACE_ITEM_BYTES, 16, payload);
  if (rc != 0) GTRACE_ERROR(fid, 20, &rc);
  GTRACE_EXIT(fid, &rc);
}

class TarntraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarntrace-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    gtraceDetach();
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  // A traced run of three threads (or one running the three functions' calls in turn), saved as
  // a dump file.
  std::string TracedRun(std::uint32_t traceType, std::uint32_t callsPerThread, bool threads3 = true) {
    TraceBlock block(traceType);
    EXPECT_EQ(block.start(), 0u);
    if (threads3) {
      std::vector<std::thread> threads;
      for (std::uint32_t t = 0; t < 3; ++t)
        threads.emplace_back([t, callsPerThread] {
          for (std::uint32_t k = 0; k < callsPerThread; ++k) Work(kFunctions[t], k);
        });
      for (auto& th : threads) th.join();
    } else {
      for (std::uint32_t k = 0; k < callsPerThread; ++k)
        for (std::uint32_t fid : kFunctions) Work(fid, k);
    }
    const std::string path = Path("run.dump");
    EXPECT_EQ(tarn::tools::WriteTraceDump(path.c_str()), 0u);
    gtraceDetach();
    return path;
  }

  std::string dir_;
};

TEST_F(TarntraceTest, FormatsEveryRecordWithItsFunctionName) {
  const std::string dump = TracedRun(GTRACE_TYPE_WRAP, 20);
  // Per call: entry, data, exit, and an error every third call (7 of 20).
  const std::size_t records = 3 * (20 * 3 + 7);
  const ToolRun run = Tarntrace({"format", dump});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Count(run.out, "Record "), records);
  EXPECT_NE(run.out.find(std::to_string(records) + " records"), std::string::npos);
  // Every record block names its function with product, component and function.
  EXPECT_EQ(Count(run.out, "  function    : OSS OSSE gtraceEnable (0x081A000D)"), records / 3);
  EXPECT_EQ(Count(run.out, "  function    : OSS OSSE ramboSync (0x081A002A)"), records / 3);
  EXPECT_EQ(Count(run.out, "GenRegBin::GetNext (0x082A0020)"), records / 3);
  EXPECT_EQ(Count(run.out, "  function    : "), records);
  EXPECT_EQ(Count(run.out, "(entry)"), 60u);
  EXPECT_EQ(Count(run.out, "(exit)"), 60u);
  EXPECT_EQ(Count(run.out, "return code : 0x9000000C ECF_INVALID_PARAMETER"), 21u);  // the failing exits
  EXPECT_EQ(Count(run.out, "  item 1      : type 3, length 16\n"), 60u);
  EXPECT_NE(run.out.find("7369 7874 6565 6E20 6279 7465 7321 2100"), std::string::npos) << "hex dump of the item";

  // Backwards: the same blocks, newest first.
  const ToolRun reverse = Tarntrace({"format", dump, "--reverse"});
  ASSERT_EQ(reverse.status, 0);
  EXPECT_EQ(Count(reverse.out, "Record "), records);
  const auto firstSequence = [](const std::string& text) {
    const std::size_t at = text.find("sequence    : ");
    return std::stoul(text.substr(at + 14));
  };
  EXPECT_EQ(firstSequence(run.out), 0u);
  EXPECT_GT(firstSequence(reverse.out), 0u);
}

TEST_F(TarntraceTest, InfoShowsOptionsAndWrap) {
  // The wrapping run is on one thread: writers that lap a wrapping buffer overwrite each other's
  // slots by design, which is a race in the eyes of ThreadSanitizer.
  struct Case {
    std::uint32_t traceType, calls;
    bool threads3;
    const char* wrapped;
    const char* truncated;
    const char* circular;
  } cases[] = {
      {GTRACE_TYPE_WRAP, 5, true, "no", "no", "yes"},
      {GTRACE_TYPE_WRAP, 700, false, "yes", "no", "yes"},  // 3 x 700 calls of 4.7 slots > 8192
      {GTRACE_TYPE_FILL_ONCE, 700, true, "no", "yes", "no"},
  };
  for (const Case& c : cases) {
    const std::string dump = TracedRun(c.traceType, c.calls, c.threads3);
    const ToolRun run = Tarntrace({"info", dump});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Trace type      : " + std::string(c.traceType == 1 ? "0x00000001" : "0x00000002")),
              std::string::npos);
    EXPECT_NE(run.out.find("Buffer size     : 0x00080000"), std::string::npos);
    EXPECT_NE(run.out.find("Dump type       : instantaneous"), std::string::npos);
    EXPECT_NE(run.out.find(std::string("Circular        : ") + c.circular), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(std::string("Wrapped         : ") + c.wrapped), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(std::string("Truncated       : ") + c.truncated), std::string::npos) << run.out;
  }
}

TEST_F(TarntraceTest, DamagedDumpsAndWrongCommandLines) {
  const std::string dump = TracedRun(GTRACE_TYPE_WRAP, 2);
  std::ifstream in(dump, std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  std::string tail = good;
  tail[tail.size() - 32] = '#';
  std::string eye = good;
  eye[0] = 'X';
  const Case cases[] = {
      {"tail", tail,
       "ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER (0x9000008E): Invalid RAMBO dump file tail eye catcher"},
      {"eye", eye, "ECF_GTRACE_INVALID_DUMP_EYE_CATCHER (0x90000072)"},
      {"short", good.substr(0, 1000), "ECF_GTRACE_DUMP_HEADER_TRUNCATED (0x90000070)"},
      {"cut", good.substr(0, good.size() - 5), "ECF_RAMBO_INSTANT_DUMP_TRUNCATED (0x90000088)"},
  };
  for (const Case& c : cases) {
    const std::string path = Path(c.name);
    std::ofstream(path, std::ios::binary) << c.bytes;
    for (const char* verb : {"format", "info"}) {
      const ToolRun run = Tarntrace({verb, path});
      EXPECT_EQ(run.status, 1) << c.name << " " << verb;
      EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << ": " << run.err;
      EXPECT_TRUE(run.out.empty()) << c.name;
    }
  }
  const ToolRun missing = Tarntrace({"format", Path("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("ECF_FILE_DOESNT_EXIST"), std::string::npos);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"format"}, {"info"}, {"dump", dump}, {"format", dump, "--reverse", "x"}, {"format", dump, dump},
           {"format", "--reverse", "--reverse"}, {"info", dump, "--reverse"}}) {
    const ToolRun run = Tarntrace(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("usage: tarntrace"), std::string::npos);
  }
  // Without a block there is nothing to save.
  EXPECT_EQ(tarn::tools::WriteTraceDump(Path("none").c_str()), ECF_GTRACE_NOT_ATTACHED);
}

}  // namespace
