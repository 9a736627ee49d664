// Owns the account record of a control session and its per-path rights.
#include "ftp/account.h"

namespace zelm {
namespace {

bool SamePath(std::string_view a, std::string_view b) {
  while (a.size() > 1 && a.back() == '/') a.remove_suffix(1);
  while (b.size() > 1 && b.back() == '/') b.remove_suffix(1);
  return a == b;
}

}  // namespace

bool RightsAllow(uint32_t rights, uint32_t operation) {
  if ((rights & kRightsAll) != 0) return true;
  switch (operation) {
    case kOpList:
    case kOpDownload:
      return (rights & kRightsRead) != 0;
    case kOpStore:
    case kOpAppend:  // whoever may overwrite a file may also add to it
      return (rights & (kRightsWrite | kRightsModify)) == (kRightsWrite | kRightsModify);
    case kOpMakeDir:
    case kOpDelete:
    case kOpRemoveDir:
      return (rights & kRightsModify) != 0;
    default:
      return false;
  }
}

const CPathRightsList::Entry* CPathRightsList::Find(std::string_view path) const {
  for (const Entry& entry : entries_) {
    if (SamePath(entry.path, path)) return &entry;
  }
  return nullptr;
}

void CPathRightsList::Set(std::string_view path, uint32_t rights) {
  for (Entry& entry : entries_) {
    if (SamePath(entry.path, path)) {
      entry.path.assign(path);
      entry.rights = rights;
      return;
    }
  }
  entries_.push_back({std::string(path), rights});
}

void CFtpAccount::Reset() {
  userName.clear();
  password.clear();
  createdHome.clear();
  managementText.clear();
  homeName.clear();
  quota = 0;
  carried1 = carried2 = carried3 = carried4 = carried5 = 0;
  bandwidth = 0;
  sessionLimit = 0;
  loggedIn = 0;
  rights = 0;
  idleTimeout = 600;
  pathRights.RemoveAll();
  fileSystem.Reset();
}

void CFtpAccount::CopyFrom(const CFtpAccount& other) {
  userName = other.userName;
  password = other.password;
  createdHome = other.createdHome;
  quota = other.quota;
  bandwidth = other.bandwidth;
  sessionLimit = other.sessionLimit;
  idleTimeout = other.idleTimeout;
  loggedIn = other.loggedIn;
  fileSystem.SetHomePath(other.fileSystem.GetHomePath());
  managementText = other.managementText;
  homeName = other.homeName;
  rights = other.rights;
  pathRights.RemoveAll();
  for (size_t i = 0; i < other.pathRights.GetCount(); ++i) {
    pathRights.Set(other.pathRights.GetAt(i).path, other.pathRights.GetAt(i).rights);
  }
}

}  // namespace zelm
