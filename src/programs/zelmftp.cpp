// The FTP service: installs ("/I") or removes ("/R") its systemd unit, or runs the server,
// as systemd's service or in the foreground, until SIGTERM or SIGINT.
#include "service/ftp_app.h"

int main(int argc, char** argv) {
  zelm::CFtpApp app;
  return app.InitInstance(argc, argv);
}
