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
import time
import unittest
import urllib.error
import urllib.request

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

    def link(self):
        """A one-time login link from `zelmftpctl console`."""
        printed = self.ctl("console")
        self.assertEqual(printed.returncode, 0, printed.stderr)
        url = printed.stdout.strip().splitlines()[-1]
        self.assertTrue(url.startswith("http://127.0.0.1:%d/login?key=" % self.console_port), url)
        return url

    def fetch(self, path):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.console_port, path),
                                        timeout=10) as answer:
                return answer.status, answer.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode()

    def journey(self, b):
        # Without a session the page is the sign-in page: no token in it, no log behind it.
        with open(os.path.join(self.server.folder.name, "console.token")) as f:
            token = f.read().strip()
        status, page = self.fetch("/")
        self.assertEqual(status, 200)
        self.assertNotIn(token, page)
        self.assertIn("zelmftpctl console", page)
        self.assertEqual(self.fetch("/api/log")[0], 401)
        b.do("open", url="http://127.0.0.1:%d/" % self.console_port)
        b.do("waitVisible", selector="#login-password")
        self.assertNotIn(token, b.do("text", selector="body"))

        # The one-time link signs this browser in, once.
        link = self.link()
        b.do("open", url=link)
        b.do("waitText", selector="#status", equals="Service Active")
        b.do("waitText", selector="#toggle", equals="Deactivate Service")
        self.assertEqual(b.do("text", selector="title"), "ZelmFTP Service")
        second = Browser()
        try:
            second.do("open", url=link)
            second.do("waitText", selector="#login-message", contains="used already")
            second.do("open", url=self.link())
            second.do("waitText", selector="#status", equals="Service Active")
            self.first_part(b, second)
        finally:
            second.close()
        self.second_part(b)

    def first_part(self, b, second):
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

        # Deactivate: new connections are refused; activate again. Both are logged.
        b.do("click", selector="#toggle")
        b.do("waitText", selector="#status", equals="Service Inactive!")
        b.do("waitText", selector="#toggle", equals="Activate Service")
        self.assertTrue(refused(self.server.port))
        b.do("click", selector="#toggle")
        b.do("waitText", selector="#status", equals="Service Active")
        self.server.client().quit()
        b.do("waitText", selector="#log", contains="Console: service deactivated by browser "
                                                   "session 1 from 127.0.0.1:")

        # The right password: the next PASS shows in clear in this browser only.
        b.do("click", selector="#file-menu")
        b.do("click", selector="#authenticate")
        b.do("fill", selector="#password", value=ADMIN_PASSWORD)
        b.do("click", selector="#password-ok")
        b.do("waitVisible", selector="#password-dialog", visible=False)
        b.do("waitText", selector="#auth-note", contains="Administrator authenticated")
        self.login()
        b.do("waitText", selector="#log", contains="PASS secret")
        second.do("waitText", selector="#log", contains="Console: administrator authenticated")
        deadline = time.monotonic() + 10
        while second.do("text", selector="#log").count("PASS ******") < 2:
            self.assertLess(time.monotonic(), deadline, "the second login in the other browser")
            time.sleep(0.1)
        self.assertNotIn("PASS secret", second.do("text", selector="#log"))
        self.assertEqual(second.do("text", selector="#auth-note"), "")
        log = self.ctl("log")
        self.assertIn("PASS ******", log.stdout)
        self.assertNotIn("PASS secret", log.stdout)

    def second_part(self, b):
        # Five wrong passwords: the dialog stays open four times, the fifth closes it and
        # ends the authentication; then even the right one waits.
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
        b.do("click", selector="#file-menu")
        b.do("click", selector="#authenticate")
        b.do("fill", selector="#password", value=ADMIN_PASSWORD)
        b.do("click", selector="#password-ok")
        b.do("waitText", selector="#password-message", contains="Too many wrong passwords")
        b.do("click", selector="#password-cancel")
        b.do("waitText", selector="#log", contains="after 5 wrong passwords")

        b.do("click", selector="#clear")
        b.do("waitText", selector="#confirm-text", contains="Clear the log?")
        b.do("click", selector="#confirm-ok")
        b.do("waitText", selector="#log", contains="Console: log cleared")

        # End FTP Session asks first; OK ends the process and the page says so.
        b.do("click", selector="#end")
        b.do("waitText", selector="#confirm-text",
             equals="This stops the FTP service for every customer. Stop it?")
        b.do("click", selector="#confirm-cancel")
        time.sleep(0.5)
        self.assertIsNone(self.server.process.poll())
        b.do("click", selector="#end")
        b.do("click", selector="#confirm-ok")
        self.assertEqual(self.server.process.wait(timeout=15), 0)
        b.do("waitVisible", selector="#stopped")
        self.assertEqual(b.do("text", selector="#detail"), "")
        self.assertFalse(os.path.exists(os.path.join(self.server.folder.name, "console.token")))
        journal = self.server.journal()
        for action in ("signed in with a login link", "login link refused",
                       "administrator authenticated", "service stopped (End FTP Session)"):
            self.assertIn("Console: " + action, journal)

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
            self.assertIn("(127.0.0.1)(bob): PASS ******\n", seen)
        finally:
            follow.kill()
            follow.wait()
        log = self.ctl("log")
        self.assertEqual(log.returncode, 0)
        self.assertIn("USER bob", log.stdout)
        self.assertNotIn("secret", log.stdout)

        # Passwords in clear: root's reader only, and only while it follows.
        if os.geteuid() == 0:
            follow = subprocess.Popen([ZELMFTPCTL, "log", "--follow", "--passwords"],
                                      env=self.server.env, stdout=subprocess.PIPE, text=True)
            try:
                seen = follow.stdout.readline()  # the first answer has set the window
                self.login()
                while "PASS secret" not in seen:
                    line = follow.stdout.readline()
                    self.assertTrue(line, "log --passwords ended early")
                    seen += line
            finally:
                follow.kill()
                follow.wait()
            self.assertNotIn("PASS secret", self.ctl("log").stdout)
        else:
            clear = self.ctl("log", "--passwords")
            self.assertEqual(clear.returncode, 1)
            self.assertIn("for root only", clear.stderr)

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


def amount_bytes(text):
    """The first byte count of a transfer cell: "128.0 KiB of 5.0 MiB (2 %), 64.0 KiB/s"."""
    number, unit = text.split()[:2]
    return float(number) * {"B": 1, "KiB": 1024, "MiB": 1 << 20, "GiB": 1 << 30}[unit]


def parse_prometheus(text):
    """Samples of Prometheus' text format as {(name, labels): value}; fails on a line that
    does not follow it, or a sample whose family has no TYPE before it."""
    import re
    sample = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*"'
                        r'(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*")*)?\})? '
                        r'([-+]?(?:[0-9.]+(?:e[-+]?[0-9]+)?|Inf|NaN))$')
    typed, samples = {}, {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ", 3)
            assert kind in ("counter", "gauge", "histogram", "summary", "untyped"), line
            typed[name] = kind
            continue
        if line.startswith("#") or not line:
            continue
        m = sample.match(line)
        assert m, "not a Prometheus sample line: %r" % line
        name = m.group(1)
        family = re.sub(r"_(bucket|sum|count|total)$", "", name)
        assert name in typed or family in typed or family + "_total" in typed, line
        samples[(name, m.group(3) or "")] = float(m.group(4))
    return samples


class SessionsPanelTest(unittest.TestCase):
    """Two customers, one of them downloading at 64 KiB/s from another PC (127.0.0.2), as the
    operator sees and handles them in the browser and with zelmftpctl."""

    def setUp(self):
        self.console_port = free_port()
        self.server = ServerFixture(
            accounts={"bob": ("secret", "bob", 0x100000),
                      "eve": ("pw", "eve", 0x100000, 0, 64)},
            console_port=self.console_port)
        os.makedirs(os.path.join(self.server.main, "eve"))
        with open(os.path.join(self.server.main, "eve", "big.bin"), "wb") as f:
            f.write(os.urandom(5 << 20))
        self.clients = []

    def tearDown(self):
        for ftp in self.clients:
            try:
                ftp.close()
            except OSError:
                pass
        self.server.close()

    def ctl(self, *args):
        return subprocess.run([ZELMFTPCTL] + list(args), env=self.server.env,
                              capture_output=True, text=True, timeout=30)

    def connect(self, source):
        import ftplib
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=10, source_address=(source, 0))
        self.clients.append(ftp)
        return ftp

    def start_download(self):
        """eve from 127.0.0.2 downloads big.bin on a thread; the outcome is kept."""
        import threading
        eve = self.connect("127.0.0.2")
        eve.login("eve", "pw")
        outcome = {}

        def download():
            try:
                eve.retrbinary("RETR big.bin", lambda block: None)
                outcome["reply"] = "226"
            except Exception as error:  # noqa: BLE001 - the reply is what the test looks at
                outcome["reply"] = str(error)
        thread = threading.Thread(target=download, daemon=True)
        thread.start()
        return thread, outcome

    @staticmethod
    def picture(name):
        return os.path.join(os.environ.get("ZELM_CONSOLE_SCREENSHOT_DIR") or BUILD, name)

    def metrics(self, token=True):
        with open(os.path.join(self.server.folder.name, "console.token")) as f:
            headers = {"X-Console-Token": f.read().strip()} if token else {}
        request = urllib.request.Request("http://127.0.0.1:%d/metrics" % self.console_port,
                                         headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, answer.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, ""

    def test_sessions_panel_kick_ban_and_filter(self):
        bob = self.connect("127.0.0.1")
        bob.login("bob", "secret")
        bob.pwd()
        thread, outcome = self.start_download()

        browser = Browser()
        try:
            printed = self.ctl("console")
            browser.do("open", url=printed.stdout.strip().splitlines()[-1])
            self.panel(browser, thread, outcome)
        finally:
            browser.close()

    def panel(self, b, thread, outcome):
        eve_row = 'tr[data-user="eve"]'
        b.do("waitText", selector="#session-count", equals="(2)", timeout=10000)
        b.do("waitText", selector=eve_row + " .transfer", contains="download", timeout=10000)
        self.assertIn("127.0.0.2", b.do("text", selector=eve_row + " .address"))
        self.assertEqual(b.do("text", selector='tr[data-user="bob"] .command'), "PWD")
        first = amount_bytes(b.do("text", selector=eve_row + " .amount"))
        time.sleep(2.5)
        second = amount_bytes(b.do("text", selector=eve_row + " .amount"))
        self.assertGreater(second, first)
        self.assertIn("of 5.0 MiB", b.do("text", selector=eve_row + " .amount"))
        b.do("screenshot", path=self.picture("console-sessions.png"))

        # zelmftpctl sees the same sessions.
        listed = self.ctl("sessions", "--json")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        sessions = {s["user"]: s for s in json.loads(listed.stdout)}
        self.assertEqual(set(sessions), {"bob", "eve"})
        self.assertEqual(sessions["eve"]["address"], "127.0.0.2")
        self.assertEqual(sessions["eve"]["transfer"]["direction"], "download")
        self.assertEqual(sessions["eve"]["transfer"]["size"], 5 << 20)
        self.assertIsNone(sessions["bob"]["transfer"])
        unknown = self.ctl("kick", "999999")
        self.assertEqual(unknown.returncode, 1)
        self.assertIn("no session 999999", unknown.stderr)

        # The metrics: the token is needed, and the text is Prometheus' format.
        self.assertEqual(self.metrics(token=False)[0], 401)
        status, text = self.metrics()
        self.assertEqual(status, 200)
        samples = parse_prometheus(text)
        self.assertEqual(samples[("zelmftp_sessions", "")], 2)
        self.assertGreater(samples[("zelmftp_sent_bytes_total", "")], 0)
        self.assertEqual(samples[("zelmftp_logins_total", 'result="accepted"')], 2)

        # The filter narrows the log to one user.
        b.do("waitText", selector="#log", contains="RETR big.bin")
        b.do("fill", selector="#filter-user", value="bob")
        b.do("waitText", selector="#log-count", contains=" of ")
        shown = b.do("text", selector="#log")
        b.do("screenshot", path=self.picture("console-filter.png"))
        self.assertIn("230 bob user logged in.", shown)
        self.assertNotIn("RETR big.bin", shown)
        b.do("fill", selector="#filter-user", value="")

        # Kick asks, then ends eve's session: her client sees 421 and the download stops.
        b.do("click", selector=eve_row + " button.kick")
        b.do("waitText", selector="#confirm-text", contains="End the session of eve (127.0.0.2)?")
        b.do("screenshot", path=self.picture("console-kick.png"))
        b.do("click", selector="#confirm-ok")
        thread.join(timeout=20)
        self.assertFalse(thread.is_alive(), "the kicked download still runs")
        self.assertTrue(outcome["reply"].startswith("421"), outcome)
        b.do("waitText", selector="#session-count", equals="(1)", timeout=10000)
        self.assertIn("Session ended by the operator (browser session 1 from 127.0.0.1:",
                      self.server.journal())

        # Ban: eve comes back, the operator bans her address; the next connection is refused.
        thread, outcome = self.start_download()
        b.do("waitText", selector="#session-count", equals="(2)", timeout=10000)
        b.do("click", selector=eve_row + " button.ban")
        b.do("waitText", selector="#confirm-text", contains="Ban 127.0.0.2?")
        b.do("fill", selector="#confirm-seconds", value="600")
        b.do("click", selector="#confirm-ok")
        thread.join(timeout=20)
        self.assertTrue(outcome["reply"].startswith("421"), outcome)
        b.do("waitText", selector="#bans", contains="127.0.0.2", timeout=10000)
        import ftplib
        with self.assertRaises((ftplib.error_temp, EOFError, OSError)) as refusal:
            self.connect("127.0.0.2").login("eve", "pw")
        self.assertNotIn("230", str(refusal.exception))
        bans = json.loads(self.ctl("bans", "--json").stdout)
        self.assertEqual(bans[0]["address"], "127.0.0.2")
        self.assertGreater(bans[0]["seconds"], 590)
        b.do("click", selector='#bans li[data-address="127.0.0.2"] button.lift')
        b.do("waitText", selector="#confirm-text", contains="Lift the ban of 127.0.0.2?")
        b.do("click", selector="#confirm-ok")
        b.do("waitVisible", selector="#no-bans", timeout=10000)
        self.assertEqual(json.loads(self.ctl("bans", "--json").stdout), [])
        self.connect("127.0.0.2").login("eve", "pw")

        # The same from the shell: ban, bans, unban.
        banned = self.ctl("ban", "127.0.0.3", "60")
        self.assertEqual(banned.returncode, 0, banned.stderr)
        self.assertEqual(self.ctl("unban", "127.0.0.3").returncode, 0)
        self.assertEqual(self.ctl("unban", "127.0.0.3").returncode, 1)
        self.assertEqual(self.ctl("ban", "not-an-address").returncode, 1)
        self.assertEqual(self.ctl("ban", "127.0.0.3", "soon").returncode, 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
