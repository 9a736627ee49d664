// Owns the process's identity: root or not, the drop to the service user, folder access.
#include "platform/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zelm {
namespace {

std::string SystemText(int error) { return std::strerror(error); }

// Keeps CAP_NET_BIND_SERVICE permitted and effective, nothing else.
bool KeepBindCapability() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2]{};
  const uint32_t bit = 1u << CAP_NET_BIND_SERVICE;  // below 32: in the first word
  data[0].permitted = bit;
  data[0].effective = bit;
  return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

bool RunningAsRoot() { return ::geteuid() == 0; }

uint32_t EffectiveUserId() { return static_cast<uint32_t>(::geteuid()); }

bool FindUser(const std::string& name, UserIdentity& identity) {
  if (name.empty()) return false;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return false;
  }
  identity.uid = found->pw_uid;
  identity.gid = found->pw_gid;
  identity.home = found->pw_dir != nullptr ? found->pw_dir : "";
  return true;
}

bool DropToUser(const std::string& name, std::string& error) {
  UserIdentity user;
  if (!FindUser(name, user)) {
    error = "the user \"" + name + "\" does not exist";
    return false;
  }
  if (user.uid == 0) {
    error = "the user \"" + name + "\" is root";
    return false;
  }
  // Capabilities survive the change of user only when asked for first.
  if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) {
    error = "cannot keep the right to bind ports: " + SystemText(errno);
    return false;
  }
  if (::initgroups(name.c_str(), user.gid) != 0) {
    error = "cannot take the groups of " + name + ": " + SystemText(errno);
    return false;
  }
  if (::setresgid(user.gid, user.gid, user.gid) != 0) {
    error = "cannot become group " + std::to_string(user.gid) + ": " + SystemText(errno);
    return false;
  }
  if (::setresuid(user.uid, user.uid, user.uid) != 0) {
    error = "cannot become user " + name + ": " + SystemText(errno);
    return false;
  }
  ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
  if (!KeepBindCapability()) {
    error = "cannot keep the right to bind ports below 1024: " + SystemText(errno);
    return false;
  }
  // SECURITY: the way back must be closed.
  if (::setuid(0) == 0 || ::geteuid() == 0) {
    error = "root could be regained after the drop";
    return false;
  }
  return true;
}

bool CanWriteFolder(const std::string& folder, std::string& why) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      why = errno == ENOTDIR ? "a part of its path is not a folder" : SystemText(errno);
      return false;
    }
    // A folder still to be made: the nearest one that exists must take it.
    const size_t slash = folder.find_last_of('/', folder.size() > 1 ? folder.size() - 2 : 0);
    if (slash == std::string::npos || folder.empty()) {
      why = "it does not exist";
      return false;
    }
    std::string parentWhy;
    if (CanWriteFolder(slash == 0 ? "/" : folder.substr(0, slash), parentWhy)) return true;
    why = "it does not exist and cannot be made (" + folder.substr(0, slash == 0 ? 1 : slash) +
          ": " + parentWhy + ")";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = "it is not a folder";
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    why = errno == EROFS
              ? "it is on a read-only file system (or outside the service's "
                "sandbox)"
              : "this process (uid " + std::to_string(::geteuid()) + ") may not write in it";
    return false;
  }
  return true;
}

}  // namespace zelm
