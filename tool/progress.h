// pack's progress and summary texts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace tool {

std::string SizeText(uint64_t bytes);                          // "1.5 MiB"
std::string CountText(uint64_t count, const std::string& thing);  // "1 file", "2 files"
class PackProgress {
 public:
  explicit PackProgress(uint64_t total);
  void StartPhase(const char* verb);
  std::string Text();          // "dolm: compressing  45% of 19.0 MiB, 3.1 MiB/s, 0:04 left"
  std::atomic<uint64_t> done{0};

 private:
  std::mutex lock_;
  const char* verb_ = "reading";
  uint64_t total_;
  std::chrono::steady_clock::time_point start_;
};
std::string PackSummary(const std::string& out, uint64_t files, uint64_t input, uint64_t archive,
                        uint64_t output, int profile);

}  // namespace tool
