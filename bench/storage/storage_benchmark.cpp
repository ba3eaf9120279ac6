// The storage file against the same copies done by hand, in one run: a
// storage of 64 sections of 1 MiB is saved (to a new file, flushed to the
// disk and renamed over the old one) and opened again (which copies it into
// one spill file, deleted by Close), and, as the reference, 64 files of 1 MiB
// are copied with read/write into one file, which is flushed to the disk as a
// durable save must be, and back out into 64 new files (deleted afterwards). Prints the throughput of Save + Open as
// a fraction of the hand-made copies' throughput, beside its target of at
// least 0.8.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "best_time_reporter.h"
#include "tqrtl/files/TQStorage.h"

// The reference copies use the system calls themselves. (Included after the
// library, whose Win32 names some POSIX headers would otherwise clash with.)
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSections = 64;
constexpr size_t kSectionSize = 1 << 20;
constexpr double kTarget = 0.8;

// One scratch directory for the run, also the temporary directory, so that
// the storage's section files and the hand-made copies share a file system.
const std::string& Scratch() {
  static const std::string dir = [] {
    const auto d = std::filesystem::temp_directory_path() /
                   ("tqrtl-storage-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    setenv("TMPDIR", d.c_str(), 1);
    return d.string();
  }();
  return dir;
}

std::string Path(const std::string& name) { return Scratch() + "/" + name; }

std::vector<char> SectionBytes(int i) {
  std::vector<char> bytes(kSectionSize);
  for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>(k * 31 + i);
  return bytes;
}

void SaveAndOpen(benchmark::State& state) {
  TQStorage source;
  const std::string path = Path("bench.tqs");
  if (!source.Create(path.c_str(), true)) {
    state.SkipWithError("cannot create the storage");
    return;
  }
  for (int i = 0; i < kSections; ++i) {
    TQStream s;
    const std::vector<char> bytes = SectionBytes(i);
    if (!source.AddSection(("section " + std::to_string(i)).c_str(), &s) ||
        s.Data()->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr) != S_OK) {
      state.SkipWithError("cannot fill the storage");
      return;
    }
  }
  for (auto _ : state) {
    TQStorage reopened;
    if (!source.Save() || !reopened.Open(path.c_str()) ||
        reopened.SectionCount() != static_cast<unsigned>(kSections)) {
      state.SkipWithError("save or open failed");
      return;
    }
    reopened.Close();
  }
  source.Close();
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * 2 * kSections * static_cast<int64_t>(kSectionSize));
}

bool CopyFd(int from, int to, size_t size, std::vector<char>& buffer) {
  while (size > 0) {
    const size_t want = size < buffer.size() ? size : buffer.size();
    if (read(from, buffer.data(), want) != static_cast<ssize_t>(want)) return false;
    if (write(to, buffer.data(), want) != static_cast<ssize_t>(want)) return false;
    size -= want;
  }
  return true;
}

void HandMadeCopies(benchmark::State& state) {
  std::vector<std::string> sources, outputs;
  for (int i = 0; i < kSections; ++i) {
    sources.push_back(Path("source" + std::to_string(i)));
    outputs.push_back(Path("output" + std::to_string(i)));
    const std::vector<char> bytes = SectionBytes(i);
    FILE* f = std::fopen(sources.back().c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
      state.SkipWithError("cannot write the source files");
      return;
    }
    std::fclose(f);
  }
  const std::string whole = Path("whole.bin");
  std::vector<char> buffer(kSectionSize);
  for (auto _ : state) {
    bool ok = true;
    const int out = open(whole.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    for (int i = 0; ok && i < kSections; ++i) {
      const int in = open(sources[i].c_str(), O_RDONLY);
      ok = in >= 0 && CopyFd(in, out, kSectionSize, buffer);
      if (in >= 0) close(in);
    }
    ok = ok && fsync(out) == 0 && lseek(out, 0, SEEK_SET) == 0;
    for (int i = 0; ok && i < kSections; ++i) {
      const int part = open(outputs[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ok = part >= 0 && CopyFd(out, part, kSectionSize, buffer);
      if (part >= 0) close(part);
    }
    close(out);
    for (const std::string& o : outputs) unlink(o.c_str());
    if (!ok) {
      state.SkipWithError("a copy failed");
      return;
    }
  }
  for (const std::string& s : sources) unlink(s.c_str());
  unlink(whole.c_str());
  state.SetBytesProcessed(state.iterations() * 2 * kSections * static_cast<int64_t>(kSectionSize));
}

BENCHMARK(SaveAndOpen)->Name("storage/TQStorage Save+Open")->Unit(benchmark::kMillisecond);
BENCHMARK(HandMadeCopies)->Name("storage/read+write by hand")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  BestTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // Throughput ratio: the reference's time over ours.
  const double ratio = reporter.Ratio("storage/read+write by hand", "storage/TQStorage Save+Open");
  if (ratio > 0)
    std::printf(
        "\nSave + Open throughput / hand-made copies' throughput: %.2fx (target >= %.2fx)%s\n",
        ratio, kTarget, ratio >= kTarget ? "" : "  MISSED");
  std::error_code ignored;
  std::filesystem::remove_all(Scratch(), ignored);
  benchmark::Shutdown();
  return 0;
}
