// The commands of the dolm tool, each taking the arguments after its name.
#pragma once

#include <string>
#include <vector>

namespace tool {

int PackCommand(const std::vector<std::string>& args);
int ListCommand(const std::vector<std::string>& args);
int TestCommand(const std::vector<std::string>& args);
int ExtractCommand(const std::vector<std::string>& args);
int RestubCommand(const std::vector<std::string>& args);

}  // namespace tool
