// A full 2 MiB upload into the emulated loader over a pseudo-terminal,
// unpaced and paced like a real 8N1 line. Prints the uploader's wall and CPU
// time and, when paced, how close the upload comes to the wire time of the
// bytes moved in both directions.
//
//   upload_bench [BAUD[xRUNS] ...]   (default: 0x3 1152000x5 115200x1; 0: unpaced)

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/emulated_loader.h"
#include "serial/serie.h"
#include "upload/packet.h"
#include "upload/upload.h"

namespace {

// CPU time of the calling thread. The scheduler's own count (schedstat) is
// exact; getrusage only samples at the timer tick on many kernels.
double ThreadCpuSeconds() {
  if (std::FILE* file = std::fopen("/proc/thread-self/schedstat", "r")) {
    unsigned long long runNanos = 0;
    const bool ok = std::fscanf(file, "%llu", &runNanos) == 1;
    std::fclose(file);
    if (ok) return static_cast<double>(runNanos) / 1e9;
  }
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool WriteImage(const std::string& path) {
  std::vector<unsigned char> image(ImageSize);
  std::uint32_t x = 12345;
  for (auto& byte : image) byte = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
  return std::fclose(file) == 0 && ok;
}

struct Result {
  bool complete = false;
  double wall = 0;
  double cpu = 0;
  double wire = 0;  // seconds the bytes moved take on the line, both directions
};

Result RunOnce(const std::string& imagePath, long baud) {
  Result result;
  LoaderConfig config;
  config.baud = baud;
  EmulatedLoader loader(config);
  if (!loader.Running()) return result;

  CSerial port;
  port.Open((loader.Path() + ":115200,N,8,1").c_str());
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ThreadCpuSeconds();
  const UploadResult outcome = UploadImage(port, imagePath, [](const std::string&) {});
  result.cpu = ThreadCpuSeconds() - cpuStart;
  result.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  port.Close();
  const LoaderReport& report = loader.Finish();
  result.complete = outcome == UploadResult::Done && report.complete;
  if (baud > 0) result.wire = static_cast<double>(report.bytesReceived + report.bytesSent) * 10.0 / baud;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // BAUD[xRUNS]: each line setting, run RUNS times; the median run is shown
  // with the range of the ratio.
  std::vector<std::pair<long, int>> settings;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    const long baud = std::strtol(argv[i], &end, 10);
    const int runs = *end == 'x' ? std::max(1, std::atoi(end + 1)) : 1;
    settings.emplace_back(baud, runs);
  }
  if (settings.empty()) settings = {{0, 3}, {1152000, 5}, {115200, 1}};

  char dir[] = "/tmp/rxflash-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string imagePath = std::string(dir) + "/rom_S.bin";
  if (!WriteImage(imagePath)) return 1;

  std::printf("| line | runs | wall s | uploader CPU s | CPU share | wire s | upload / wire (min..max) |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  int failures = 0;
  for (const auto& [baud, runs] : settings) {
    std::vector<Result> results;
    for (int run = 0; run < runs; ++run) {
      results.push_back(RunOnce(imagePath, baud));
      if (!results.back().complete) ++failures;
    }
    std::sort(results.begin(), results.end(),
              [](const Result& a, const Result& b) { return a.wall < b.wall; });
    const Result& r = results[results.size() / 2];
    const std::string name = baud > 0 ? std::to_string(baud) + " baud" : "unpaced";
    std::printf("| %s | %d | %.2f | %.3f | %.2f%% |", name.c_str(), runs, r.wall, r.cpu,
                100 * r.cpu / r.wall);
    if (baud > 0) {
      std::printf(" %.2f | %.4f (%.4f..%.4f) |", r.wire, r.wall / r.wire,
                  results.front().wall / r.wire, results.back().wall / r.wire);
    } else {
      std::printf(" | |");
    }
    std::printf("%s\n", failures ? " INCOMPLETE" : "");
    std::fflush(stdout);
  }
  std::remove(imagePath.c_str());
  rmdir(dir);
  return failures == 0 ? 0 : 1;
}
