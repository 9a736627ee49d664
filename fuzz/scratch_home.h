// The scratch home of the session fuzz targets: "<tmp>/ftp", served with every right, beside
// "<tmp>/outside", whose contents no input may change. The fuzzer's thread.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ftp/account.h"
#include "ftp/ftp_session.h"
#include "platform/files.h"

namespace zelm::fuzz {

class CScratchHome final {
 public:
  explicit CScratchHome(const char* prefix) {
    if (!MakeTempDirectory(prefix, root_)) std::abort();
    CreateOneDirectory(Home());
    CreateOneDirectory(Outside());
  }
  ~CScratchHome() { RemoveTree(root_); }
  CScratchHome(const CScratchHome&) = delete;
  CScratchHome& operator=(const CScratchHome&) = delete;

  std::string Home() const { return root_ + "/ftp"; }
  std::string Outside() const { return root_ + "/outside"; }

  // Logs `session` in to the home with every right, as the management router fills it.
  void LogIn(CFtpSession& session) const {
    AccountUpdate update;
    update.limits =
        AccountLimits{1 << 20, 0, 0, kRightsAll | kRightsRead | kRightsWrite | kRightsModify};
    update.homeFolder = Home();
    session.ApplyAccountUpdate(0, update);
  }

  // Ends the process when the root no longer holds just the home and the folder beside it,
  // or that folder no longer holds its `expected` entries.
  void CheckOutside(size_t expected) const {
    std::vector<DirectoryEntry> root;
    std::vector<DirectoryEntry> outside;
    if (!ReadDirectory(root_, LinkPolicy::kNoFollow, root) ||
        !ReadDirectory(Outside(), LinkPolicy::kNoFollow, outside) || root.size() != 2 ||
        outside.size() != expected) {
      std::fprintf(stderr, "a command reached beyond the home folder\n");
      std::abort();
    }
  }

  // Empties the home between inputs, so that each input starts alike.
  void Reset() const {
    RemoveTree(Home());
    CreateOneDirectory(Home());
  }

 private:
  std::string root_;
};

}  // namespace zelm::fuzz
