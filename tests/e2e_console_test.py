"""End-to-end: the control console of the built zelmftp in headless Chromium (Debian's
chromium, steered by tests/browser/driver.mjs with playwright-core), FTP clients from Python's
ftplib, and zelmftpctl's console commands.

Usage: e2e_console_test.py BUILD_DIR
The screenshot of the page goes to BUILD_DIR/console.png, or to $ZELM_CONSOLE_SCREENSHOT
(doc/console.png is made that way).
"""
import json
import os
import socket
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from zelm_fixture import BUILD, ServerFixture, free_port  # noqa: E402

BROWSER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser")
ZELMFTPCTL = os.path.join(BUILD, "zelmftpctl")
ADMIN_PASSWORD = "c0nsole-admin"


class Browser:
    """One page in headless Chromium, steered command by command."""

    def __init__(self):
        if not os.path.isdir(os.path.join(BROWSER, "node_modules", "playwright-core")):
            raise RuntimeError("tests/browser/node_modules is missing: run scripts/bootstrap")
        self.process = subprocess.Popen(["node", os.path.join(BROWSER, "driver.mjs")],
                                        cwd=BROWSER, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def do(self, op, **args):
        self.process.stdin.write(json.dumps(dict(op=op, **args)) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the browser driver ended")
        answer = json.loads(line)
        if not answer["ok"]:
            raise AssertionError("%s %s: %s" % (op, args, answer["error"]))
        return answer["value"]

    def close(self):
        try:
            self.process.stdin.write('{"op": "quit"}\n')
            self.process.stdin.close()
            self.process.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.console_port = free_port()
        self.server = ServerFixture(console_port=self.console_port)
        stored = subprocess.run([ZELMFTPCTL, "admin-password", "1"], env=self.server.env,
                                input=ADMIN_PASSWORD + "\n", capture_output=True, text=True)
        self.assertEqual(stored.returncode, 0, stored.stderr)
        self.clients = []

    def tearDown(self):
        for ftp in self.clients:
            ftp.close()
        self.server.close()

    def login(self):
        ftp = self.server.client()
        self.clients.append(ftp)
        ftp.login("bob", "secret")
        return ftp

    def ctl(self, *args):
        return subprocess.run([ZELMFTPCTL] + list(args), env=self.server.env,
                              capture_output=True, text=True, timeout=30)

    def test_operator_journey_in_the_browser(self):
        browser = Browser()
        try:
            self.journey(browser)
        finally:
            browser.close()

    def journey(self, b):
        b.do("open", url="http://127.0.0.1:%d/" % self.console_port)
        b.do("waitText", selector="#status", equals="Service Active")
        b.do("waitText", selector="#toggle", equals="Deactivate Service")
        self.assertEqual(b.do("text", selector="title"), "ZelmFTP Service")

        # Commands appear in the log without a reload, the password masked.
        ftp = self.login()
        for line in ("USER bob", "PASS ******"):
            b.do("waitText", selector="#log", contains=line)
        self.assertNotIn("secret", b.do("text", selector="#log"))
        ftp.pwd()
        ftp.sendcmd("SYST")
        b.do("waitText", selector="#log", contains="215 ")
        b.do("screenshot", path=os.environ.get("ZELM_CONSOLE_SCREENSHOT")
             or os.path.join(BUILD, "console.png"))

        # Deactivate: new connections are refused; activate again.
        b.do("click", selector="#toggle")
        b.do("waitText", selector="#status", equals="Service Inactive!")
        b.do("waitText", selector="#toggle", equals="Activate Service")
        self.assertTrue(refused(self.server.port))
        b.do("click", selector="#toggle")
        b.do("waitText", selector="#status", equals="Service Active")
        self.server.client().quit()

        # Five wrong passwords: the dialog stays open four times, the fifth closes it.
        b.do("click", selector="#file-menu")
        b.do("click", selector="#authenticate")
        b.do("waitVisible", selector="#password-dialog")
        for attempt in range(1, 6):
            b.do("fill", selector="#password", value="wrong-%d" % attempt)
            b.do("click", selector="#password-ok")
            b.do("waitText", selector="#password", equals="")
            if attempt < 5:
                b.do("waitText", selector="#password-message", equals="Invalid password!")
                self.assertTrue(b.do("visible", selector="#password-dialog"), attempt)
        b.do("waitVisible", selector="#password-dialog", visible=False)
        b.do("waitText", selector="#auth-note", contains="Invalid password!")

        # The right one: the next PASS shows in clear.
        b.do("click", selector="#file-menu")
        b.do("click", selector="#authenticate")
        b.do("fill", selector="#password", value=ADMIN_PASSWORD)
        b.do("click", selector="#password-ok")
        b.do("waitVisible", selector="#password-dialog", visible=False)
        b.do("waitText", selector="#auth-note", contains="Administrator authenticated")
        self.login()
        b.do("waitText", selector="#log", contains="PASS secret")

        b.do("click", selector="#clear")
        b.do("waitText", selector="#log", equals="")

        # End FTP Session ends the process.
        b.do("click", selector="#end")
        self.assertEqual(self.server.process.wait(timeout=15), 0)
        self.assertFalse(os.path.exists(os.path.join(self.server.folder.name, "console.token")))

    def test_zelmftpctl_talks_to_the_console(self):
        token = os.path.join(self.server.folder.name, "console.token")
        self.assertEqual(stat.S_IMODE(os.stat(token).st_mode), 0o600)

        status = self.ctl("status")
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertTrue(status.stdout.startswith("ZelmFtpHost: running; Service Active; Listening "
                                                 "on port %d" % self.server.port), status.stdout)

        off = self.ctl("deactivate")
        self.assertEqual((off.returncode, off.stdout.split(";")[1].strip()), (0, "Service Inactive!"))
        self.assertTrue(refused(self.server.port))
        on = self.ctl("activate")
        self.assertEqual((on.returncode, on.stdout.split(";")[1].strip()), (0, "Service Active"))

        follow = subprocess.Popen([ZELMFTPCTL, "log", "--follow"], env=self.server.env,
                                  stdout=subprocess.PIPE, text=True)
        try:
            ftp = self.login()
            ftp.voidcmd("NOOP")
            seen = ""
            while "200 " not in seen.split("NOOP", 1)[-1]:
                line = follow.stdout.readline()
                self.assertTrue(line, "log --follow ended early")
                seen += line
            self.assertIn("(127.0.0.1)(bob):\nPASS ******\n", seen)
        finally:
            follow.kill()
            follow.wait()
        log = self.ctl("log")
        self.assertEqual(log.returncode, 0)
        self.assertIn("USER bob", log.stdout)
        self.assertNotIn("secret", log.stdout)

        # A stale token (another run's) is refused; status still answers through systemd.
        with open(token) as f:
            real = f.read()
        with open(token, "w") as f:
            f.write("0" * 64 + "\n")
        refusedCall = self.ctl("deactivate")
        self.assertEqual(refusedCall.returncode, 1)
        self.assertIn("refused the token", refusedCall.stderr)
        self.assertFalse(refused(self.server.port))
        with open(token, "w") as f:
            f.write(real)

        stop = self.ctl("stop")
        self.assertEqual((stop.returncode, stop.stdout), (0, "ZelmFtpHost: stopping\n"))
        self.assertEqual(self.server.process.wait(timeout=15), 0)
        gone = self.ctl("activate")
        self.assertEqual(gone.returncode, 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
