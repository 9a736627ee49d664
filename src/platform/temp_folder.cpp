// Owns the creation and removal of temporary folders.
#include "platform/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace zelm {

CTempFolder::CTempFolder(const std::string& tag) {
  std::error_code error;
  std::string pattern =
      (std::filesystem::temp_directory_path(error) / ("zelm-" + tag + "-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

CTempFolder::~CTempFolder() {
  if (path_.empty()) return;
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

}  // namespace zelm
