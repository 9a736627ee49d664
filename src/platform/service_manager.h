// The operating system's side of running as a systemd service: running the service manager's
// command-line tool, telling the service manager how the service is doing (sd_notify), the
// termination signals of a service, and the files, folders and system user an installation
// needs.
//
// Thread safety: every function may be called from any thread. A `CServiceSignals` is created
// by the main thread before it starts any other thread and waited on by one thread; `Wake` may
// be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelm {

// The outcome of running a program.
struct CommandResult {
  bool ran = false;    // false: the program could not be started (not found, not executable)
  int status = -1;     // its exit status; -1 when it did not end normally
  std::string output;  // what it wrote to standard output and standard error, in order
};

// Runs `argv[0]`, looked up on PATH, with the other words as its arguments, standard input
// from /dev/null, and waits for it to end. Output beyond 64 KiB is dropped.
CommandResult RunCommand(const std::vector<std::string>& argv);

// True when systemd started this process (NOTIFY_SOCKET or INVOCATION_ID is set).
bool StartedByServiceManager();
// True when systemd runs this machine (/run/systemd/system exists).
bool ServiceManagerBooted();
// Sends `state` (for example "READY=1\nSTATUS=...") to the socket named by NOTIFY_SOCKET.
// True when it was sent; false when there is no such socket or the send failed.
bool NotifyServiceManager(std::string_view state);

// The absolute path of the running executable; empty when it cannot be read.
std::string RunningExecutablePath();

// The numeric identities of a system user; false when there is no user of that name.
bool LookUpUser(const std::string& name, uint32_t& uid, uint32_t& gid);
// The name of the user this process runs as; empty when it has none.
std::string CurrentUserName();
// Gives `path` (not following a final link) to the user and group. False on failure.
bool ChangeOwner(const std::string& path, uint32_t uid, uint32_t gid);
// Creates `path` and any missing parents; new folders get `mode`. True when it is a folder.
bool MakeFolders(const std::string& path, uint32_t mode);
// Writes `text` to `path` (mode 0644) through a temporary file beside it and a rename, so a
// reader sees the old file or the new one, never a part. False on failure.
bool ReplaceFileContents(const std::string& path, std::string_view text);

// The signals that end a service (SIGTERM, SIGINT) and SIGHUP, received through a descriptor
// so that no work ever runs inside a signal handler.
class CServiceSignals final {
 public:
  enum class Event { kTerminate, kHangUp, kWake, kTimeout, kError };

  // Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (threads started later inherit
  // this) and ignores SIGPIPE. Call before any other thread is started.
  CServiceSignals();
  ~CServiceSignals();
  CServiceSignals(const CServiceSignals&) = delete;
  CServiceSignals& operator=(const CServiceSignals&) = delete;

  // Waits for the next signal or `Wake`, at most `timeoutMs` (-1: without end). On kTerminate
  // `signal` is the signal's number.
  Event Wait(int timeoutMs, int& signal);
  // Makes a waiting (or the next) `Wait` return kWake.
  void Wake();

 private:
  int signalFd_ = -1;
  int wakeFd_ = -1;
};

}  // namespace zelm
