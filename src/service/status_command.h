// The operator's "zelmftpctl status": whether the FTP service runs and what it reports about
// itself (listening or not, sessions, management link), as systemd knows it.
// Exit status: 0 running, 3 not running, 4 the state cannot be read (systemd not reachable).
#pragma once

#include <ostream>

namespace zelm {

int RunStatusCommand(std::ostream& out, std::ostream& err);

}  // namespace zelm
