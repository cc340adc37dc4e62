// Fuzz target: the Linux stub's argument parser. The input is argv after the
// program name, its arguments separated by zero bytes. The request must hold
// only known letters, each at most once, and change the option word exactly
// as every letter given, applied in order, does; the folder must be one of
// the arguments. Parsed for an archive with the record, the arguments after
// "--" must come back from the program's command line as they were given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "format/format.h"
#include "platform/platform_posix.h"
#include "startup/startup.h"

namespace {

StubRun* gRun = new StubRun();

// Applies letters (at most 259) to the option word.
uint32_t Apply(uint32_t word, const char* letters, bool* report) {
  gRun->options.record.optionWord = word;
  RunRequest request = {};
  request.ownPath = "";
  std::snprintf(request.switches, sizeof request.switches, "%s", letters);
  if (ApplySwitches(gRun, request, report).error != kNoError) abort();
  return gRun->options.record.optionWord;
}

// The arguments after the first "--", split back out of the program's text.
void CheckProgramArguments(const std::vector<std::string>& args, const std::vector<const char*>& argv) {
  auto parsed = std::make_unique<PosixArguments>();
  ParsePosixArguments(static_cast<int>(args.size()), argv.data(), parsed.get(), true);
  if (parsed->command != PosixCommand::kRun || parsed->request.programArgs == nullptr) return;
  size_t first = 1;
  while (first < args.size() && args[first] != "--") ++first;
  const std::string line = std::string("p ") + parsed->request.programArgs;
  std::vector<char> storage(2 * line.size() + 2);
  std::vector<char*> split(line.size() / 2 + 2);
  const int n = PosixSplitCommandLine(line.c_str(), storage.data(), split.data());
  if (static_cast<size_t>(n) != args.size() - first) abort();
  for (int i = 1; i < n; ++i)
    if (args[first + static_cast<size_t>(i)] != split[static_cast<size_t>(i)]) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args = {"./setup"};
  for (size_t start = 0; start <= input.size();) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    args.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  auto parsed = std::make_unique<PosixArguments>();
  ParsePosixArguments(static_cast<int>(args.size()), argv.data(), parsed.get());

  const RunRequest& request = parsed->request;
  const size_t count = strnlen(request.switches, sizeof request.switches);
  if (count > 9 || count == sizeof request.switches) abort();
  for (size_t i = 0; i < count; ++i)
    for (size_t k = i + 1; k < count; ++k)
      if ((request.switches[i] | 0x20) == (request.switches[k] | 0x20)) abort();
  if (parsed->command == PosixCommand::kUsageError && (parsed->problem == nullptr || parsed->detail == nullptr)) abort();
  if (request.folder != nullptr) {
    bool found = false;
    for (size_t i = 1; i < args.size(); ++i) found = found || request.folder == argv[i];
    if (!found) abort();
  }
  CheckProgramArguments(args, argv);
  if (parsed->command != PosixCommand::kRun) return 0;
  // Every letter in the order given, from the arguments before any "--".
  std::string all;
  for (size_t i = 1; i < args.size() && args[i] != "--"; ++i)
    if (args[i].size() > 1 && args[i][0] == '-' && args[i][1] != '-') all += args[i].substr(1);
  bool reportAll = false, reportRequest = false;
  const uint32_t word = Apply(0, request.switches, &reportRequest);
  // The reference: every letter given, one at a time.
  uint32_t reference = 0;
  for (char letter : all) {
    const char one[2] = {letter, '\0'};
    bool report = false;
    reference = Apply(reference, one, &report);
    reportAll = reportAll || report;
  }
  if (word != reference || reportAll != reportRequest) abort();
  return 0;
}
