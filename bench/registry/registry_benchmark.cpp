// The registry store against SQLite itself, in one run on one database:
//   read       four key opens (one level each, as the settings code walks a
//              path) and one value read, four levels deep, then the closes;
//   unchanged  setting a value to what it already holds;
//   write      setting a value to a new content;
// against a bare prepared point query in autocommit mode and a bare
// INSERT OR REPLACE in its own transaction, both on a connection of their own
// to the same file. Prints the ratios beside their targets: the read at most
// half a bare query, the unchanged assignment at most twice the read, a
// write at most 1.5 times a bare write.
//
// The store lives in a scratch directory (TQRTL_REGISTRY_DIR) made for the
// run and removed after it.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "best_time_reporter.h"
#include "tqrtl/platform/posix/registry.h"
#include "tqrtl/platform/win32.h"

namespace {

constexpr const char* kLevels[] = {"Software", "Vantor", "Tools", "Settings"};

HKEY OpenLevel(HKEY parent, const char* name) {
  HKEY key = nullptr;
  RegCreateKeyExA(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return key;
}

void StoreRead(benchmark::State& state) {
  for (auto _ : state) {
    HKEY keys[4];
    HKEY parent = HKEY_CURRENT_USER;
    for (int i = 0; i < 4; ++i) parent = keys[i] = OpenLevel(parent, kLevels[i]);
    DWORD value = 0, size = sizeof value;
    if (RegQueryValueExA(keys[3], "Width", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(value);
    for (HKEY key : keys) RegCloseKey(key);
  }
}

void StoreUnchangedAssignment(benchmark::State& state) {
  HKEY key = OpenLevel(HKEY_CURRENT_USER, "Software\\Vantor\\Tools\\Settings");
  const DWORD value = 640;
  for (auto _ : state) {
    RegSetValueExA(key, "Width", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  RegCloseKey(key);
}

void StoreWrite(benchmark::State& state) {
  HKEY key = OpenLevel(HKEY_CURRENT_USER, "Software\\Vantor\\Tools\\Settings");
  DWORD value = 0;
  for (auto _ : state) {
    ++value;
    RegSetValueExA(key, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
  }
  RegCloseKey(key);
}

// A connection of the benchmark's own on the same hive file.
struct Raw {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  Raw(const char* sql) {
    const std::string path = tqrtl::posix::RegistryHivePath(HKEY_CURRENT_USER);
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  }
  ~Raw() {
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
};

void SqlitePointQuery(benchmark::State& state) {
  Raw raw("SELECT data FROM vals WHERE key=(SELECT max(id) FROM keys) AND folded='WIDTH'");
  for (auto _ : state) {
    if (sqlite3_step(raw.stmt) != SQLITE_ROW) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(sqlite3_column_blob(raw.stmt, 0));
    sqlite3_reset(raw.stmt);
  }
}

void SqliteWrite(benchmark::State& state) {
  Raw raw(
      "INSERT OR REPLACE INTO vals(key, folded, name, ord, type, data) "
      "VALUES(1, 'RAW', 'raw', 1, 4, ?1)");
  sqlite3_int64 value = 0;
  for (auto _ : state) {
    sqlite3_exec(raw.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_bind_int64(raw.stmt, 1, ++value);
    sqlite3_step(raw.stmt);
    sqlite3_reset(raw.stmt);
    sqlite3_exec(raw.db, "COMMIT", nullptr, nullptr, nullptr);
  }
}

BENCHMARK(StoreRead);
BENCHMARK(SqlitePointQuery);
BENCHMARK(StoreUnchangedAssignment);
BENCHMARK(StoreWrite);
BENCHMARK(SqliteWrite);

}  // namespace

int main(int argc, char** argv) {
  char scratch[] = "/tmp/tqrtl-registry-bench-XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  setenv("TQRTL_REGISTRY_DIR", scratch, 1);
  HKEY key = OpenLevel(HKEY_CURRENT_USER, "Software\\Vantor\\Tools\\Settings");
  const DWORD width = 640;
  RegSetValueExA(key, "Width", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&width), sizeof width);
  RegCloseKey(key);

  benchmark::Initialize(&argc, argv);
  BestTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nStore time / reference time (same database, same run):\n");
  bool missed = false;
  auto line = [&](const char* what, const char* ours, const char* reference, double target) {
    const double ratio = reporter.Ratio(ours, reference);
    if (ratio < 0) return;
    const bool miss = ratio > target;
    missed |= miss;
    std::printf("  %-44s %6.2fx (target <= %.2fx)%s\n", what, ratio, target,
                miss ? "  MISSED" : "");
  };
  line("read (4 opens + value) vs bare point query", "StoreRead", "SqlitePointQuery", 0.5);
  line("unchanged assignment vs read", "StoreUnchangedAssignment", "StoreRead", 2.0);
  line("write vs bare INSERT OR REPLACE", "StoreWrite", "SqliteWrite", 1.5);
  if (missed) std::printf("Some targets were missed.\n");

  tqrtl::posix::RegistryCloseAll();
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return 0;
}
