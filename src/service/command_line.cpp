// Owns the reading of the program's command line.
#include "service/command_line.h"

namespace zelm {

std::vector<std::string> Arguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

ServiceCommand ParseServiceCommand(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return ServiceCommand::kRun;
  if (arguments.size() > 1) return ServiceCommand::kUsageError;
  const std::string& word = arguments[0];
  if (word == "/I" || word == "/i" || word == "install") return ServiceCommand::kInstall;
  if (word == "/R" || word == "/r" || word == "remove") return ServiceCommand::kRemove;
  if (word == "/?" || word == "--help" || word == "-h") return ServiceCommand::kUsage;
  if (word == "--version") return ServiceCommand::kVersion;
  return ServiceCommand::kUsageError;
}

}  // namespace zelm
