// The program's command line: install, remove, usage, or run the service.
//
// The argument text is what follows the program name, starting with its separator; only its
// third character counts (the one after the separator and the switch character, which may be
// "/", "-" or anything else): "/I" installs, "/R" removes, any other argument of three or more
// characters shows the usage text, and a shorter one runs the service.
#pragma once

#include <string>

namespace zelm {

enum class ServiceCommand { kRun, kInstall, kRemove, kUsage, kUsageError };

// The usage text, shown by "/?" (exit status 0) and by any unknown argument (exit status 2).
inline constexpr const char* kUsageText =
    "ZelmFTP Server 1.00\n\nApplication arguments:\n\n/I  To install this service\n/R To remove "
    "this service\n/? To show this message.";

// The argument text of a program started with `argc` and `argv`: each argument preceded by a
// space, as a shell would have separated them.
std::string ArgumentText(int argc, const char* const* argv);

// What the argument text asks for.
ServiceCommand ParseServiceCommand(const std::string& argumentText);

}  // namespace zelm
