// The FTP service: installs ("/I") or removes ("/R") its systemd unit, or runs the server,
// as systemd's service or in the foreground, until SIGTERM or SIGINT; while it runs, its
// control console is a web page on 127.0.0.1:8021 (settings "Console Address", "Console Port").
#include "service/ftp_app.h"
#include "ui/console_service.h"

int main(int argc, char** argv) {
  zelm::CFtpApp app;
  app.SetConsoleFactory(zelm::CreateServiceConsole);
  return app.InitInstance(argc, argv);
}
