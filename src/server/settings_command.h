// The operator's settings commands of zelmftpctl:
//   settings list | get NAME | set-dword NAME N | set-string NAME TEXT | unset NAME
// Exit status: 0 done, 1 the store could not be read or written (or get found nothing),
// 2 bad input (unknown command, a number that does not parse, an empty name).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zelm {

// Runs one settings command on the store at `storePath`; `args` are the words after
// "settings". Results go to `out`, messages to `err`.
int RunSettingsCommand(const std::string& storePath, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err);

// Reads a dword as an operator writes it: decimal, 0x-hexadecimal, or a dotted IPv4 address
// (stored with the address's bytes in network order, as "MServer IP" expects).
bool ParseDwordArgument(const std::string& text, uint32_t& value);

}  // namespace zelm
