// Owns the questions asked of the host itself (its name).
#include "platform/host.h"

#include <unistd.h>

#include <climits>

namespace zelm {

std::string GetHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string GetComputerName() {
  std::string text = GetHostName();
  const std::string::size_type dot = text.find('.');
  if (dot != std::string::npos) text.resize(dot);
  return text;
}

}  // namespace zelm
