// The control console as the service opens it: settings read, the application wired in.
#pragma once

#include <memory>

#include "service/ftp_app.h"

namespace zelm {

// Opens the console for `app` from the settings "Console Address" (default 127.0.0.1) and
// "Console Port" (default 8021; 0: no console). Null when it is off or cannot listen (a line
// on standard error says which); the service runs on without it.
std::unique_ptr<CServiceConsole> CreateServiceConsole(CFtpApp& app);

}  // namespace zelm
