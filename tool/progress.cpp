// Texts of pack's progress line and summary: sizes, counts, throughput and
// the time left.
#include <chrono>
#include <cstdio>

#include "format/format.h"
#include "tool/display.h"
#include "tool/progress.h"

namespace tool {

std::string SizeText(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 2) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string CountText(uint64_t count, const std::string& thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

PackProgress::PackProgress(uint64_t total) : total_(total), start_(std::chrono::steady_clock::now()) {}

void PackProgress::StartPhase(const char* verb) {
  std::lock_guard<std::mutex> guard(lock_);
  verb_ = verb;
  done = 0;
  start_ = std::chrono::steady_clock::now();
}

std::string PackProgress::Text() {
  std::lock_guard<std::mutex> guard(lock_);
  uint64_t now = done.load();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  char text[160];
  int percent = total_ == 0 ? 100 : static_cast<int>(now * 100 / total_);
  double rate = seconds > 0 ? static_cast<double>(now) / seconds : 0;
  std::string left = "?";
  if (rate > 0 && now <= total_) {
    uint64_t remaining = static_cast<uint64_t>(static_cast<double>(total_ - now) / rate + 0.5);
    char clock[32];
    snprintf(clock, sizeof clock, "%llu:%02llu", static_cast<unsigned long long>(remaining / 60),
             static_cast<unsigned long long>(remaining % 60));
    left = clock;
  }
  snprintf(text, sizeof text, "dolm: %s %3d%% of %s, %s/s, %s left", verb_, percent,
           SizeText(total_).c_str(), SizeText(static_cast<uint64_t>(rate)).c_str(), left.c_str());
  return text;
}

std::string PackSummary(const std::string& out, uint64_t files, uint64_t input, uint64_t archive,
                        uint64_t output, int profile) {
  char ratio[32] = "-";
  if (input > 0) snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * static_cast<double>(archive) / input);
  return "wrote '" + Shown(out) + "': " + CountText(files, "file") + ", " + SizeText(input) + " in, " +
         SizeText(output) + " out (archive " + SizeText(archive) + ", " + ratio +
         " of the input), window " + std::to_string(WindowKibOf(profile)) + "K";
}

}  // namespace tool
