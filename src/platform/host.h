// Facts about the machine the server runs on.
#pragma once

#include <string>

namespace zelm {

// The host name as the system has it (gethostname), dots and all. Empty when the platform
// cannot tell.
std::string GetHostName();

// The computer's name as the management server knows it: the host name up to its first dot
// (a NetBIOS-style short name). Empty when the platform cannot tell.
std::string GetComputerName();

}  // namespace zelm
