// CTempFolder: a fresh, private folder under the system's temporary directory, removed with
// everything in it when the object goes away. For tests and benchmarks.
#pragma once

#include <string>

namespace zelm {

class CTempFolder final {
 public:
  // Creates "<tmp>/zelm-<tag>-XXXXXX" (mode 0700); Path() is empty when that failed.
  explicit CTempFolder(const std::string& tag = "test");
  ~CTempFolder();
  CTempFolder(const CTempFolder&) = delete;
  CTempFolder& operator=(const CTempFolder&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace zelm
