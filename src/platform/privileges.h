// Who the process runs as, and giving up root.
//
// `DropToUser` makes the process the given user for good (its groups, its group, its user
// identifiers, real, effective and saved) while keeping one capability: binding ports below
// 1024 (CAP_NET_BIND_SERVICE), as the service's unit grants it, so the listener can bind port
// 21 again after the operator deactivated and activated it. Nothing else of root is kept; the
// process cannot get root back.
//
// Threads: `DropToUser` before any thread starts (capabilities are per thread).
#pragma once

#include <cstdint>
#include <string>

namespace zelm {

// Whether the process's effective user is root.
bool RunningAsRoot();

struct UserIdentity {
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string home;
};
// The account of that name; false when there is none.
bool FindUser(const std::string& name, UserIdentity& identity);

// Becomes `name` (see above). False with `error` set when the user does not exist or a step
// failed; the process is then unchanged or, after a partial failure, must not go on.
bool DropToUser(const std::string& name, std::string& error);

// The effective user identifier (for messages and tests).
uint32_t EffectiveUserId();

// Whether this process may create entries in `folder` (it is a folder that grants this process
// write and search, or it does not exist yet and the nearest folder above it that exists
// does); `why` says what is missing when not.
bool CanWriteFolder(const std::string& folder, std::string& why);

}  // namespace zelm
