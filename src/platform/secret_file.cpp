// Owns owner-only files and random tokens.
#include "platform/secret_file.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace zelm {

bool WriteSecretFile(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == content.size() && ::fchmod(fd, 0600) == 0;
  ::close(fd);
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> random(bytes);
  if (bytes == 0 || RAND_bytes(random.data(), static_cast<int>(bytes)) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : random) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

}  // namespace zelm
