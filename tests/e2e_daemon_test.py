"""End-to-end: the built zelmftp as a daemon: a busy service port retried with systemd hearing
why (and READY=1 only once it listens), the drop from root to the service user, and a "Main
Path" the service cannot write named at once.

Usage: e2e_daemon_test.py BUILD_DIR
"""
import ftplib
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from zelm_fixture import BUILD, ServerFixture, free_port, wait_for  # noqa: E402

ZELMFTP = os.path.join(BUILD, "zelmftp")
ZELMFTPCTL = os.path.join(BUILD, "zelmftpctl")


class Notifications:
    """A stand-in for systemd's notification socket: what the service says through sd_notify."""

    def __init__(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zelm-notify-")
        self.path = os.path.join(self.folder.name, "notify")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.path)
        self.socket.settimeout(0.2)
        self.messages = []

    def read(self):
        try:
            while True:
                self.messages.append(self.socket.recv(4096).decode())
        except socket.timeout:
            pass
        return self.messages

    def saw(self, text):
        return any(text in message for message in self.read())

    def close(self):
        self.socket.close()
        self.folder.cleanup()


class DaemonTest(unittest.TestCase):
    def ctl(self, server, *args):
        return subprocess.run([ZELMFTPCTL] + list(args), env=server.env, capture_output=True,
                              text=True, timeout=30)

    def test_a_busy_port_is_retried_and_ready_comes_once_it_listens(self):
        notify = Notifications()
        self.addCleanup(notify.close)
        holder = socket.socket()
        self.addCleanup(holder.close)

        def hold_the_port(server):
            holder.bind(("127.0.0.1", server.port))
            holder.listen()
        server = ServerFixture(console_port=free_port(), prepare=hold_the_port,
                               extra_env={"NOTIFY_SOCKET": notify.path}, wait_for_port=False)
        self.addCleanup(server.close)
        wait_for(lambda: notify.saw("cannot listen on port %d" % server.port),
                 "the status line saying why")
        self.assertFalse(notify.saw("READY=1"))
        self.assertIn("trying again every 5 s", server.journal())
        status = self.ctl(server, "status")
        self.assertEqual(status.returncode, 1, status.stdout + status.stderr)
        self.assertIn("Not listening: cannot listen on port %d" % server.port, status.stdout)

        holder.close()  # the other program goes away: the next try listens
        wait_for(lambda: notify.saw("READY=1"), "READY=1 once the port is free")
        ftp = server.client()
        self.assertTrue(ftp.getwelcome().startswith("220"))
        ftp.login("bob", "secret")
        ftp.quit()
        self.assertEqual(self.ctl(server, "status").returncode, 0)
        # Deactivated by the operator, it is running but not serving: not "all is well".
        self.assertEqual(self.ctl(server, "deactivate").returncode, 0)
        self.assertEqual(self.ctl(server, "status").returncode, 1)

    def test_a_console_port_taken_by_another_program_leaves_ftp_served_and_says_why(self):
        notify = Notifications()
        self.addCleanup(notify.close)
        other = socket.socket()  # another program, say another zelmftp's console
        self.addCleanup(other.close)
        other.bind(("127.0.0.1", 0))
        other.listen()
        port = other.getsockname()[1]
        server = ServerFixture(console_port=port, extra_env={"NOTIFY_SOCKET": notify.path})
        self.addCleanup(server.close)
        why = "port %d of 127.0.0.1 is in use by another program" % port
        self.assertIn("console: %s; the service runs without it" % why, server.journal())
        wait_for(lambda: notify.saw("console off: " + why), "the status line naming it")
        self.assertTrue(notify.saw("READY=1"))
        ftp = server.client()
        ftp.login("bob", "secret")
        ftp.quit()
        self.assertFalse(os.path.exists(os.path.join(server.folder.name, "console.token")))

    def test_a_main_path_that_cannot_be_written_is_named_at_the_start(self):
        def main_path_is_a_file(server):
            with open(server.main, "w") as f:
                f.write("not a folder")
        server = ServerFixture(console_port=free_port(), prepare=main_path_is_a_file)
        self.addCleanup(server.close)
        wait_for(lambda: "cannot be written" in server.journal(), "the error line")
        self.assertIn('"Main Path" %s cannot be written: it is not a folder' % server.main,
                      server.journal())
        self.assertIn("cannot be written: it is not a folder", self.ctl(server, "status").stdout)

    @unittest.skipUnless(os.geteuid() == 0, "needs root")
    def test_started_as_root_it_serves_as_the_service_user(self):
        def open_to_nobody(server):
            os.chmod(server.folder.name, 0o777)
            os.chmod(server.env["ZELMFTP_SETTINGS"], 0o644)
        server = ServerFixture(strings={"Service User": "nobody"}, prepare=open_to_nobody)
        self.addCleanup(server.close)
        with open("/proc/%d/status" % server.process.pid) as f:
            status = dict(line.split(":", 1) for line in f.read().splitlines() if ":" in line)
        nobody = int(subprocess.run(["id", "-u", "nobody"], capture_output=True,
                                    text=True).stdout)
        self.assertEqual(status["Uid"].split(), [str(nobody)] * 4)
        # What it keeps of root: binding ports below 1024, nothing else.
        self.assertEqual(int(status["CapEff"], 16), 1 << 10)
        self.assertEqual(int(status["CapPrm"], 16), 1 << 10)
        ftp = server.client()
        ftp.login("bob", "secret")
        ftp.storlines("STOR note.txt", __import__("io").BytesIO(b"hello\r\n"))
        ftp.quit()
        stored = os.stat(os.path.join(server.main, "bob", "note.txt"))
        self.assertEqual(stored.st_uid, nobody)
        self.assertIn("started as root; serving as nobody", server.journal())

    @unittest.skipUnless(os.geteuid() == 0, "needs root")
    def test_started_as_root_without_its_user_it_refuses(self):
        folder = tempfile.TemporaryDirectory(prefix="zelm-e2e-")
        self.addCleanup(folder.cleanup)
        env = dict(os.environ, ZELMFTP_SETTINGS=os.path.join(folder.name, "settings.db"))
        subprocess.run([ZELMFTPCTL, "settings", "set-string", "Service User",
                        "zelm-no-such-user"], env=env, check=True, capture_output=True)
        started = subprocess.run([ZELMFTP], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual(started.returncode, 1)
        self.assertIn('serves as the user "zelm-no-such-user" (setting "Service User"), but the '
                      'user "zelm-no-such-user" does not exist', started.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
