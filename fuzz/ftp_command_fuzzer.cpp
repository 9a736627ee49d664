// Fuzz target: one control line through the command parser and, as PORT's argument, through
// the PORT parser. A parsed command's argument must lie inside the line; a PORT address must
// be four numbers of 0..255 and a port of 1024..65535.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ftp/command_parser.h"
#include "transfer/data_socket.h"

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);

  zelm::CFtpCommand command;
  if (command.Parse(line)) {
    if (command.def.id == 0) Fail("parsed without a command");
    if (command.argument.size() > command.argLength) Fail("argument longer than it was sent");
    if (command.argLength != 0 && command.argOffset + command.argLength > line.size()) {
      Fail("argument beyond the line");
    }
  }
  zelm::LookupCommandId(line);
  std::string syntax;
  zelm::GetCommandSyntax(command.def.id, syntax);

  uint32_t address = 0;
  uint32_t port = 0;
  if (zelm::CFtpDataSocket::ParsePortArgument(line, address, port)) {
    if (port < 1024 || port > 0xFFFF) Fail("PORT accepted a port out of range");
  }
  return 0;
}
