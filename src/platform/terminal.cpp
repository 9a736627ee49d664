// Owns the terminal handling of secret input.
#include "platform/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace zelm {

bool StandardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> ReadSecretLine(const std::string& prompt) {
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
  }
  if (!got) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace zelm
