// Owns the process's dealings with systemd, its command-line tool and the service's signals.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace zelm {
namespace {

constexpr size_t kMaxCommandOutput = 64 * 1024;

sigset_t ServiceSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv) {
  CommandResult result;
  if (argv.empty()) return result;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<char*> words;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, words[0], &actions, nullptr, words.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return result;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t room = kMaxCommandOutput - result.output.size();
    result.output.append(buffer, std::min(room, static_cast<size_t>(n)));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  result.ran = true;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool StartedByServiceManager() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

bool ServiceManagerBooted() { return sd_booted() > 0; }

bool NotifyServiceManager(std::string_view state) {
  const std::string text(state);
  return sd_notify(0, text.c_str()) > 0;
}

std::string RunningExecutablePath() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

bool LookUpUser(const std::string& name, uint32_t& uid, uint32_t& gid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return false;
  }
  uid = found->pw_uid;
  gid = found->pw_gid;
  return true;
}

std::string CurrentUserName() {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return {};
  }
  return found->pw_name;
}

bool ChangeOwner(const std::string& path, uint32_t uid, uint32_t gid) {
  return lchown(path.c_str(), uid, gid) == 0;
}

bool MakeFolders(const std::string& path, uint32_t mode) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool ReplaceFileContents(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = WriteAll(fd, text) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (written && rename(temporary.c_str(), path.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

CServiceSignals::CServiceSignals() {
  const sigset_t set = ServiceSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_CLOEXEC);
}

CServiceSignals::~CServiceSignals() {
  if (signalFd_ >= 0) close(signalFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

CServiceSignals::Event CServiceSignals::Wait(int timeoutMs, int& signalNumber) {
  signalNumber = 0;
  if (signalFd_ < 0 || wakeFd_ < 0) return Event::kError;
  for (;;) {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Event::kError;
    if (ready == 0) return Event::kTimeout;
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      const ssize_t n = read(signalFd_, &info, sizeof info);
      if (n != static_cast<ssize_t>(sizeof info)) continue;
      signalNumber = static_cast<int>(info.ssi_signo);
      return signalNumber == SIGHUP ? Event::kHangUp : Event::kTerminate;
    }
    uint64_t count = 0;
    if (read(wakeFd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
      return Event::kWake;
    }
  }
}

void CServiceSignals::Wake() {
  const uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
}

}  // namespace zelm
