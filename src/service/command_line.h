// The program's command line: install, remove, usage, version, or run the service.
//
// Exactly one of these: no argument runs the service; "/I" (or "/i", "install") installs it,
// "/R" (or "/r", "remove") removes it; "/?", "--help" and "-h" show the usage text on standard
// output; "--version" the version. Anything else, and more than one argument, is a usage error:
// the usage text on standard error and exit status 2, and nothing is installed or removed.
#pragma once

#include <string>
#include <vector>

namespace zelm {

enum class ServiceCommand { kRun, kInstall, kRemove, kUsage, kVersion, kUsageError };

// ZELM_VERSION comes from the build (CMake's project version).
// The usage text (without a final line end).
inline constexpr const char* kUsageText =
    "ZelmFTP Server " ZELM_VERSION
    "\n\nApplication arguments:\n\n/I  To install this service\n/R To remove this service\n/? To "
    "show this message.\n\n(no argument)  run the service (in the foreground outside systemd)\n"
    "install, remove  the same as /I and /R\n--help         this message\n--version      the "
    "version";

// The arguments after the program name.
std::vector<std::string> Arguments(int argc, const char* const* argv);

// What the arguments ask for.
ServiceCommand ParseServiceCommand(const std::vector<std::string>& arguments);

}  // namespace zelm
