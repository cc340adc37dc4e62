// dolm: builds self-extractors and inspects, checks and extracts them.
#include <cstdio>
#include <exception>
#include <new>

#include "tool/commands.h"
#include "tool/display.h"
#include "tool/util.h"

#ifndef DOLM_VERSION
#define DOLM_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: dolm COMMAND [options] ...\n"
    "\n"
    "Builds self-extracting archives and inspects, checks and extracts them.\n"
    "\n"
    "Commands:\n"
    "  pack -o OUT [options] INPUT...   pack files and folders into a self-extractor\n"
    "  list FILE [--json] [--checksums] show the stored options and files\n"
    "  test FILE [--json]               check every byte of the archive\n"
    "  extract FILE [-C DIR] [options]  extract the stored files on this machine\n"
    "  restub IN -o OUT [options]       join the archive of IN to another stub\n"
    "\n"
    "Run 'dolm COMMAND --help' for the options of a command.\n"
    "Exit codes: 0 success, 1 failure (bad input, I/O error, damaged archive),\n"
    "2 wrong command line.\n"
    "'dolm --version' prints the version.\n";

// A message for the terminal: each line through Shown, so that no byte of a
// name or path in it acts as a terminal control.
std::string ShownLines(const std::string& message) {
  std::string out;
  for (size_t start = 0;;) {
    size_t end = message.find('\n', start);
    out += tool::Shown(message.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return out;
    out += '\n';
    start = end + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    fputs(kUsage, stderr);
    return tool::kExitUsage;
  }
  std::string command = args[0];
  args.erase(args.begin());
  try {
    if (command == "--help" || command == "-h" || command == "help") {
      fputs(kUsage, stdout);
      return tool::kExitOk;
    }
    if (command == "--version" || command == "-V") {
      printf("dolm %s\nCopyright (c) 2026 the dolm authors\n"
             "License MIT: <https://opensource.org/license/mit>.\n"
             "This is free software: you are free to change and redistribute it.\n"
             "There is NO WARRANTY, to the extent permitted by law.\n",
             DOLM_VERSION);
      return tool::kExitOk;
    }
    // Hidden: the build writes the installed completion script with it.
    if (command == "--bash-completion") {
      fputs(tool::BashCompletion().c_str(), stdout);
      return tool::kExitOk;
    }
    if (command == "restub") return tool::RestubCommand(args);
    if (command == "pack") return tool::PackCommand(args);
    if (command == "list") return tool::ListCommand(args);
    if (command == "test") return tool::TestCommand(args);
    if (command == "extract") return tool::ExtractCommand(args);
    throw tool::UsageError("unknown command '" + command + "'");
  } catch (const tool::UsageError& e) {
    fprintf(stderr, "dolm: %s\nRun 'dolm --help' or 'dolm COMMAND --help' for usage.\n",
            ShownLines(e.what()).c_str());
    return tool::kExitUsage;
  } catch (const tool::Failure& e) {
    fprintf(stderr, "dolm: %s\n", ShownLines(e.what()).c_str());
    return tool::kExitFailure;
  } catch (const std::bad_alloc&) {
    fputs("dolm: out of memory\n", stderr);
    return tool::kExitFailure;
  } catch (const std::exception& e) {
    fprintf(stderr, "dolm: %s\n", e.what());
    return tool::kExitFailure;
  }
}
