// The FTP service: runs the listener in the foreground until SIGTERM or SIGINT.
#include <cstdio>
#include <cstring>

#include "platform/settings_store.h"
#include "platform/signals.h"
#include "server/ftp_listener.h"
#include "server/settings.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fputs(
      "Usage: zelmftp [--help]\n"
      "\n"
      "ZelmFTP for Linux, the FTP server of an internet cafe. Accounts live on a management\n"
      "server; the FTP server asks it about every login.\n"
      "\n"
      "Runs in the foreground until SIGTERM or SIGINT. Settings are read from\n"
      "$ZELMFTP_SETTINGS, else /var/lib/zelmftp/settings.db (see zelmftpctl settings).\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    if (!help) std::fprintf(stderr, "zelmftp: unknown argument '%s'\n\n", argv[1]);
    PrintUsage(help ? stdout : stderr);
    return help ? 0 : 2;
  }
  zelm::BlockTerminationSignals();
  zelm::UseSettingsStore(zelm::DefaultSettingsPath());
  const uint32_t port = zelm::ReadSettingDword("ServicePort", 0);
  zelm::CFtpListener listener;
  if (!listener.StartListening(false)) {
    std::fprintf(stderr,
                 "zelmftp: cannot listen on port %u; is it in use, or below 1024 without the right "
                 "to bind it?\n",
                 port != 0 ? port : 21);
    return 1;
  }
  std::fprintf(stderr, "zelmftp: listening on port %u, settings %s\n",
               zelm::NetworkToHost16(listener.GetLocalPort()), zelm::SettingsStorePath().c_str());
  const int signal = zelm::WaitForTerminationSignal();
  std::fprintf(stderr, "zelmftp: signal %d, shutting down\n", signal);
  listener.Close(false);
  listener.ShutdownAll();
  return 0;
}
