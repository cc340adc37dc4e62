// The commands of the dolm tool, each taking the arguments after its name.
#pragma once

#include <string>
#include <vector>

#include "tool/util.h"

namespace tool {

int PackCommand(const std::vector<std::string>& args);
int ListCommand(const std::vector<std::string>& args);
int TestCommand(const std::vector<std::string>& args);
int ExtractCommand(const std::vector<std::string>& args);
int RestubCommand(const std::vector<std::string>& args);

// The options each command parses; the shell completion is made from them.
std::vector<OptionDef> PackOptions();
std::vector<OptionDef> RestubOptions();
std::vector<OptionDef> ListOptions();
std::vector<OptionDef> TestOptions();
std::vector<OptionDef> ExtractOptions();
// The bash completion script of every command and option (`dolm --bash-completion`).
std::string BashCompletion();

}  // namespace tool
