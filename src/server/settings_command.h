// The operator's settings commands of zelmftpctl:
//   settings list [--all] | get NAME | set-dword [--force] NAME N |
//            set-string [--force] NAME TEXT | unset NAME
// and "--help" after any of them.
//
// The writes know the server's settings (server/settings.h, KnownSettings): a name the server
// does not read is refused with the nearest known name suggested, a value of the wrong kind
// or out of the setting's range is refused with what it takes; `--force` stores either
// anyway. A known name is stored in the table's spelling. Addresses ("MServer IP",
// "ServiceIP") are shown dotted.
//
// Exit status: 0 done (and help); 1 the store could not be read or written, or `get` found
// nothing (an unknown name too); 2 bad input (unknown command, wrong number of words, an
// empty name, a number that does not parse, a name or value refused).
// Thread safety: none needed; the operator's tool calls it once from its main thread. It
// points the settings accessors at `storePath` (UseSettingsStore).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace zelm {

// The usage of every settings command, for `zelmftpctl settings --help`.
extern const char* const kSettingsUsage;

// Runs one settings command on the store at `storePath`; `args` are the words after
// "settings". Results (and help) go to `out`, messages to `err`.
int RunSettingsCommand(const std::string& storePath, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err);

// Reads a dword as an operator writes it: decimal, 0x-hexadecimal, or a dotted IPv4 address
// (stored with the address's bytes in network order, as "MServer IP" expects).
bool ParseDwordArgument(const std::string& text, uint32_t& value);

}  // namespace zelm
