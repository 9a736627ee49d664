// Reading a secret (a password) from standard input, without echo when it is a terminal.
#pragma once

#include <optional>
#include <string>

namespace zelm {

// Shows `prompt` on standard error when standard input is a terminal, reads one line with
// echo switched off, and returns it without its line end; nothing at end of input.
std::optional<std::string> ReadSecretLine(const std::string& prompt);

// Whether standard input is a terminal (a person types the secret).
bool StandardInputIsTerminal();

}  // namespace zelm
