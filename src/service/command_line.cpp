// Owns the reading of the program's command line.
#include "service/command_line.h"

namespace zelm {

std::string ArgumentText(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    text += ' ';
    text += argv[i];
  }
  return text;
}

ServiceCommand ParseServiceCommand(const std::string& argumentText) {
  if (argumentText.size() < 3) return ServiceCommand::kRun;
  switch (argumentText[2]) {
    case 'I':
    case 'i':
      return ServiceCommand::kInstall;
    case 'R':
    case 'r':
      return ServiceCommand::kRemove;
    case '?':
      return ServiceCommand::kUsage;
    default:
      return ServiceCommand::kUsageError;
  }
}

}  // namespace zelm
