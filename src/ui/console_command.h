// The operator tool's console commands: `zelmftpctl status | activate | deactivate | stop |
// log [--follow]` talk to the running zelmftp's console over HTTP (address and port from the
// settings, token from the token file); `admin-password [1|2]` stores an administrator
// password's hash.
//
// Exit status: 0 done; 1 the console did not answer or refused, or the store could not be
// written; 2 bad usage; `status` keeps its own (0 running and listening, 1 running but not
// listening, 3 not running, 4 unknown) and asks systemd when the console does not answer.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zelm {

bool IsConsoleCommand(const std::string& name);
// `args` starts with the command's name; `settingsPath` is the settings store in use.
int RunConsoleCommand(const std::string& settingsPath, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err);

}  // namespace zelm
