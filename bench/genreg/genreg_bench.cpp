// The global registry against SQLite doing the same work: Add, Change, Delete and Get of variable
// records in registries of 10, 100 and 1000 records. SQLite keeps the records in one table with
// a primary key (service, variable) and commits one transaction per action with synchronous
// FULL, so both sides make every update durable before they return.
//
// The program prints Google Benchmark's table and then one ratio line per action and size:
// global registry time divided by SQLite time (below 1 means the global registry is faster).
// Goal at 100 records: at most 2 for each update and at most 3 for Get.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "genreg/globalreg.h"

namespace {

constexpr u64 kKey = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE;

std::string scratchDir() {
  static std::string dir = [] {
    char tmpl[] = "/var/tmp/genreg-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    return std::string(tmpl);
  }();
  return dir;
}

GlobalRegRecord var(long n, const char* value = "/opt/tarn/value") {
  GlobalRegRecord r;
  std::memset(&r, 0, sizeof r);
  r.RecordType = GLOBALREG_RECORD_VARIABLE;
  r.FieldMask = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE | GLOBALREG_V_VALUE;
  std::strcpy(r.u.variable.Service, "TARN01");
  std::snprintf(r.u.variable.Variable, sizeof r.u.variable.Variable, "VARIABLE_%ld", n);
  std::snprintf(r.u.variable.Value, sizeof r.u.variable.Value, "%s", value);
  return r;
}

// A fresh global registry of n records.
void makeRegistry(GlobalReg& reg, const std::string& path, long n) {
  std::filesystem::remove(path);
  reg.SetPaths(path.c_str());
  for (long i = 0; i < n; ++i) {
    GlobalRegRecord r = var(i);
    if (reg.Add(kKey, &r) != 0) std::abort();
  }
}

void BM_GlobalRegAdd(benchmark::State& state) {
  GlobalReg reg;
  makeRegistry(reg, scratchDir() + "/add.reg", state.range(0));
  GlobalRegRecord r = var(-1);
  for (auto _ : state) {
    if (reg.Add(kKey, &r) != 0) state.SkipWithError("Add");
    state.PauseTiming();
    if (reg.Delete(kKey, &r) != 0) state.SkipWithError("Delete");
    state.ResumeTiming();
  }
}

void BM_GlobalRegChange(benchmark::State& state) {
  GlobalReg reg;
  long n = state.range(0);
  makeRegistry(reg, scratchDir() + "/change.reg", n);
  GlobalRegRecord a = var(n / 2), b = var(n / 2, "/opt/tarn/other");
  bool flip = false;
  for (auto _ : state) {
    if (reg.Change(kKey, flip ? &b : &a, flip ? &a : &b) != 0) state.SkipWithError("Change");
    flip = !flip;
  }
}

void BM_GlobalRegDelete(benchmark::State& state) {
  GlobalReg reg;
  makeRegistry(reg, scratchDir() + "/delete.reg", state.range(0));
  GlobalRegRecord r = var(-1);
  for (auto _ : state) {
    state.PauseTiming();
    if (reg.Add(kKey, &r) != 0) state.SkipWithError("Add");
    state.ResumeTiming();
    if (reg.Delete(kKey, &r) != 0) state.SkipWithError("Delete");
  }
}

void BM_GlobalRegGet(benchmark::State& state) {
  GlobalReg reg;
  long n = state.range(0);
  makeRegistry(reg, scratchDir() + "/get.reg", n);
  GlobalRegRecord p = var(n / 2), out;
  p.FieldMask = kKey;
  for (auto _ : state) {
    if (reg.Get(kKey, &p, &out) != 0) state.SkipWithError("Get");
    benchmark::DoNotOptimize(out);
  }
}

// SQLite: one table, primary key (service, variable); every statement its own transaction.
struct Sql {
  sqlite3* db = nullptr;
  sqlite3_stmt *add = nullptr, *change = nullptr, *del = nullptr, *get = nullptr;
  Sql(const std::string& path, long n) {
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-journal");
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
    exec("PRAGMA synchronous=FULL");
    exec("CREATE TABLE vars(service TEXT, variable TEXT, value TEXT, PRIMARY KEY(service, variable))");
    prepare("INSERT INTO vars VALUES('TARN01', ?1, ?2)", &add);
    prepare("UPDATE vars SET value = ?2 WHERE service = 'TARN01' AND variable = ?1", &change);
    prepare("DELETE FROM vars WHERE service = 'TARN01' AND variable = ?1", &del);
    prepare("SELECT value FROM vars WHERE service = 'TARN01' AND variable = ?1", &get);
    for (long i = 0; i < n; ++i) run(add, name(i), "/opt/tarn/value");
  }
  ~Sql() {
    for (sqlite3_stmt* s : {add, change, del, get}) sqlite3_finalize(s);
    sqlite3_close(db);
  }
  static std::string name(long n) { return "VARIABLE_" + std::to_string(n); }
  void exec(const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  }
  void prepare(const char* sql, sqlite3_stmt** s) {
    if (sqlite3_prepare_v2(db, sql, -1, s, nullptr) != SQLITE_OK) std::abort();
  }
  int run(sqlite3_stmt* s, const std::string& variable, const char* value = nullptr) {
    sqlite3_bind_text(s, 1, variable.c_str(), -1, SQLITE_TRANSIENT);
    if (value) sqlite3_bind_text(s, 2, value, -1, SQLITE_TRANSIENT);
    int rc, rows = 0;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) ++rows;
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) std::abort();
    return rows;
  }
};

void BM_SQLiteAdd(benchmark::State& state) {
  Sql sql(scratchDir() + "/add.db", state.range(0));
  for (auto _ : state) {
    sql.run(sql.add, Sql::name(-1), "/opt/tarn/value");
    state.PauseTiming();
    sql.run(sql.del, Sql::name(-1));
    state.ResumeTiming();
  }
}

void BM_SQLiteChange(benchmark::State& state) {
  long n = state.range(0);
  Sql sql(scratchDir() + "/change.db", n);
  bool flip = false;
  for (auto _ : state) {
    sql.run(sql.change, Sql::name(n / 2), flip ? "/opt/tarn/value" : "/opt/tarn/other");
    flip = !flip;
  }
}

void BM_SQLiteDelete(benchmark::State& state) {
  Sql sql(scratchDir() + "/delete.db", state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    sql.run(sql.add, Sql::name(-1), "/opt/tarn/value");
    state.ResumeTiming();
    sql.run(sql.del, Sql::name(-1));
  }
}

void BM_SQLiteGet(benchmark::State& state) {
  long n = state.range(0);
  Sql sql(scratchDir() + "/get.db", n);
  for (auto _ : state) {
    if (sql.run(sql.get, Sql::name(n / 2)) != 1) state.SkipWithError("Get");
  }
}

#define SIZES Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime()
BENCHMARK(BM_GlobalRegAdd)->SIZES;
BENCHMARK(BM_SQLiteAdd)->SIZES;
BENCHMARK(BM_GlobalRegChange)->SIZES;
BENCHMARK(BM_SQLiteChange)->SIZES;
BENCHMARK(BM_GlobalRegDelete)->SIZES;
BENCHMARK(BM_SQLiteDelete)->SIZES;
BENCHMARK(BM_GlobalRegGet)->SIZES;
BENCHMARK(BM_SQLiteGet)->SIZES;

// Keeps the console output and remembers the time per iteration of each run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  void printRatio(const std::string& ours, const std::string& rival) const {
    auto a = times_.find(ours), b = times_.find(rival);
    if (a == times_.end() || b == times_.end() || b->second <= 0) return;
    std::printf("ratio %-30s / %-28s = %.2f\n", ours.c_str(), rival.c_str(), a->second / b->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* action : {"Add", "Change", "Delete", "Get"}) {
    for (const char* size : {"10", "100", "1000"}) {
      std::string suffix = std::string(action) + "/" + size + "/real_time";
      reporter.printRatio("BM_GlobalReg" + suffix, "BM_SQLite" + suffix);
    }
  }
  benchmark::Shutdown();
  std::filesystem::remove_all(scratchDir());
  return 0;
}
