"""End-to-end: the built zelmftp as a service. Installation and removal go to a unit folder of
the test's own through a fake systemctl first on PATH, with the package's unit folder one of
the test's own too (empty, or holding a unit as the package would); the unit written is
compared with packaging/zelmftp.service. Readiness reports go to a datagram socket of the
test's own; the stop sequence is driven by signals with 50 logged-in clients.
The certificate zelmftpctl makes for FTPS is checked with openssl and a TLS handshake of
Python's ssl over 127.0.0.1.

Usage: e2e_service_test.py BUILD_DIR
"""
import ftplib
import os
import pwd
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from mserver_peer import ManagementPeer  # noqa: E402
from zelm_fixture import BUILD, ServerFixture, free_port  # noqa: E402

ZELMFTP = os.path.join(BUILD, "zelmftp")
ZELMFTPCTL = os.path.join(BUILD, "zelmftpctl")
SHIPPED_UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging",
                            "zelmftp.service")
# What the unit's PrivateTmp= and ProtectHome= hide from the service: zelmftp /I refuses to
# write a unit that starts a program there.
HIDDEN = ("/tmp", "/var/tmp", "/home", "/root", "/run/user")
USAGE_START = ("ZelmFTP Server %s\n\nApplication arguments:\n\n/I  To install this service\n"
               "/R To remove this service\n/? To show this message.\n")
ALL = 0x100000

FAKE_SYSTEMCTL = """#!/bin/sh
echo "$*" >> "$FAKE_LOG"
case "$1" in
  is-active) echo "$FAKE_STATE"; [ "$FAKE_STATE" = active ]; exit $? ;;
  show) echo "Listening on port 2121, 2 sessions, management link connected" ;;
esac
exit 0
"""
FAKE_USERADD = """#!/bin/sh
echo "useradd $*" >> "$FAKE_LOG"
exit 0
"""


def write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


def hidden(path):
    path = os.path.realpath(path)
    return any(path == folder or path.startswith(folder + "/") for folder in HIDDEN)


INSTALLED = {}


def setUpModule():
    """A copy of zelmftp where a unit may start it: in the build folder, or (as root, when the
    build folder is below /tmp) in a folder of the test's own below /opt. None: no such place,
    and the tests that install a unit are skipped."""
    for parent in (os.path.realpath(BUILD), "/opt"):
        if hidden(parent) or not os.access(parent, os.W_OK):
            continue
        folder = tempfile.mkdtemp(prefix="zelm-e2e-service-", dir=parent)
        INSTALLED["folder"] = folder
        INSTALLED["zelmftp"] = os.path.join(folder, "zelmftp")
        shutil.copy2(ZELMFTP, INSTALLED["zelmftp"])
        return


def tearDownModule():
    if "folder" in INSTALLED:
        shutil.rmtree(INSTALLED["folder"])


class InstallAndRemove(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zelm-service-")
        top = self.folder.name
        self.units = os.path.join(top, "units")
        self.fake_bin = os.path.join(top, "bin")
        self.empty_bin = os.path.join(top, "empty")
        for folder in (self.units, self.fake_bin, self.empty_bin):
            os.mkdir(folder)
        write_script(os.path.join(self.fake_bin, "systemctl"), FAKE_SYSTEMCTL)
        write_script(os.path.join(self.fake_bin, "useradd"), FAKE_USERADD)
        self.packaged = os.path.join(top, "packaged")
        os.mkdir(self.packaged)
        self.log = os.path.join(top, "systemctl.log")
        self.settings = os.path.join(top, "state", "settings.db")
        self.main = os.path.join(top, "cafe main")
        self.unit = os.path.join(self.units, "zelmftp.service")
        self.zelmftp = INSTALLED.get("zelmftp")
        self.env = dict(os.environ, ZELMFTP_SETTINGS=self.settings, ZELMFTP_UNIT_DIR=self.units,
                        ZELMFTP_PACKAGED_UNIT_DIR=self.packaged,
                        ZELMFTP_SERVICE_USER=pwd.getpwuid(os.geteuid()).pw_name,
                        FAKE_LOG=self.log, FAKE_STATE="active",
                        PATH=self.fake_bin + os.pathsep + os.environ.get("PATH", ""))

    def tearDown(self):
        self.folder.cleanup()

    def run_program(self, program, *args, **env):
        return subprocess.run([program] + list(args), env=dict(self.env, **env),
                              capture_output=True, text=True, timeout=30)

    def systemctl_calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return f.read().splitlines()

    def read_unit(self):
        with open(self.unit) as f:
            return f.read()

    def need_installable_copy(self):
        if self.zelmftp is None:
            self.skipTest("no folder outside %s to put a zelmftp in that a unit may start"
                          % ", ".join(HIDDEN))

    def test_install_reinstall_and_remove(self):
        self.need_installable_copy()
        self.run_program(ZELMFTPCTL, "settings", "set-string", "Main Path", self.main)
        installed = self.run_program(self.zelmftp, "/I")
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertEqual(self.systemctl_calls(), ["daemon-reload", "enable zelmftp.service",
                                                  "start zelmftp.service"])
        # The unit the package ships, with this installation's program, settings, user and
        # writable folders, and not another byte changed.
        unit = self.read_unit()
        state = os.path.dirname(self.settings)
        with open(SHIPPED_UNIT) as f:
            expected = f.read()
        for shipped, written in (
                ("ExecStart=/usr/sbin/zelmftp\n",
                 "ExecStart=%s\nEnvironment=ZELMFTP_SETTINGS=%s\n" % (self.zelmftp, self.settings)),
                ("User=zelmftp\n", "User=%s\n" % self.env["ZELMFTP_SERVICE_USER"]),
                ("ReadWritePaths=-/srv/zelmftp\n",
                 'ReadWritePaths=-/srv/zelmftp %s "%s"\n' % (state, self.main))):
            self.assertEqual(expected.count(shipped), 1, shipped)
            expected = expected.replace(shipped, written)
        self.assertEqual(unit, expected)
        # The folders the service writes exist; the settings folder is private.
        self.assertEqual(stat.S_IMODE(os.stat(state).st_mode), 0o700)
        self.assertTrue(os.path.isdir(self.main))

        # Installing again rewrites a damaged unit and succeeds.
        with open(self.unit, "w") as f:
            f.write("[Service]\nExecStart=/bin/false\n")
        again = self.run_program(self.zelmftp, "install")
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(self.read_unit(), unit)

        open(self.log, "w").close()
        removed = self.run_program(self.zelmftp, "/R")
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertEqual(self.systemctl_calls(), ["disable --now zelmftp.service",
                                                  "daemon-reload"])
        self.assertFalse(os.path.exists(self.unit))
        self.assertIn(self.settings, removed.stdout)
        self.assertTrue(os.path.exists(self.settings))  # the settings stay

        not_installed = self.run_program(self.zelmftp, "/r")
        self.assertEqual(not_installed.returncode, 1)
        self.assertEqual(not_installed.stderr,
                         "zelmftp: the service is not installed: there is no %s nor the "
                         "package's %s/zelmftp.service\n" % (self.unit, self.packaged))

    def test_with_the_package_installed_nothing_is_written(self):
        # The package's unit is in place (its user and folders too): /I enables and starts it,
        # /R stops and disables it, and neither writes, deletes or creates anything. Any
        # zelmftp may ask for that, one below /tmp too: it writes no ExecStart=.
        packaged_unit = os.path.join(self.packaged, "zelmftp.service")
        shutil.copy(SHIPPED_UNIT, packaged_unit)
        installed = self.run_program(ZELMFTP, "/I")
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertEqual(self.systemctl_calls(), ["enable zelmftp.service",
                                                  "start zelmftp.service"])
        self.assertIn(packaged_unit, installed.stdout)
        removed = self.run_program(ZELMFTP, "/R")
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertEqual(self.systemctl_calls()[2:], ["disable --now zelmftp.service"])
        self.assertEqual(os.listdir(self.units), [])
        self.assertFalse(os.path.exists(os.path.dirname(self.settings)))
        with open(packaged_unit) as f, open(SHIPPED_UNIT) as g:
            self.assertEqual(f.read(), g.read())

    def test_a_program_the_sandbox_hides_is_not_installed(self):
        # PrivateTmp=yes would hide this program from the service it starts.
        with tempfile.TemporaryDirectory(prefix="zelm-service-", dir="/tmp") as folder:
            program = os.path.join(folder, "zelmftp")
            shutil.copy2(ZELMFTP, program)
            result = self.run_program(program, "/I")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.splitlines(), [
            "zelmftp: refusing to install a unit that starts %s: the service's sandbox hides "
            "/tmp from it. Install the programs first (sudo cmake --install BUILD-FOLDER, or "
            "the Debian package) and run the installed zelmftp /I" % os.path.realpath(program)])
        self.assertEqual(self.systemctl_calls(), [])
        self.assertEqual(os.listdir(self.units), [])

    def test_without_systemctl_one_line_says_what_to_do(self):
        self.need_installable_copy()
        result = self.run_program(self.zelmftp, "/I", PATH=self.empty_bin)
        self.assertNotEqual(result.returncode, 0)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("zelmftp: systemd is not running on this machine"),
                        lines[0])
        self.assertIn("the unit file was written to " + self.unit, lines[0])
        self.assertIn("systemctl enable --now zelmftp.service", lines[0])
        self.assertTrue(os.path.exists(self.unit))

        removed = self.run_program(self.zelmftp, "/R", PATH=self.empty_bin)
        self.assertNotEqual(removed.returncode, 0)
        self.assertEqual(len(removed.stderr.splitlines()), 1, removed.stderr)
        self.assertIn("was deleted", removed.stderr)
        self.assertFalse(os.path.exists(self.unit))

    def test_missing_service_user_is_created(self):
        self.need_installable_copy()
        result = self.run_program(self.zelmftp, "/I",
                                  ZELMFTP_SERVICE_USER="zelm-test-no-such-user")
        # The fake useradd makes no user, so the installation stops there, before any unit.
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("cannot create the system user zelm-test-no-such-user", result.stderr)
        calls = self.systemctl_calls()
        self.assertEqual(len(calls), 1)
        self.assertTrue(calls[0].startswith("useradd --system"), calls)
        self.assertTrue(calls[0].endswith(" zelm-test-no-such-user"), calls)
        self.assertFalse(os.path.exists(self.unit))

    def test_usage_text_and_exit_status(self):
        version = self.run_program(ZELMFTP, "--version")
        self.assertEqual(version.returncode, 0)
        number = version.stdout.split()[-1]
        self.assertRegex(version.stdout, r"^zelmftp \d+\.\d+\.\d+\n$")
        # Asked for: on standard output, exit status 0. Anything else (a switch that merely
        # starts with I or R included) changes nothing: the usage on standard error, status 2.
        for args, status in ((["/?"], 0), (["--help"], 0), (["-x"], 2), (["/help"], 2),
                             (["-run"], 2), (["-restart"], 2), (["/restart"], 2), (["fix"], 2),
                             (["/I", "/R"], 2)):
            result = self.run_program(ZELMFTP, *args)
            shown = result.stdout if status == 0 else result.stderr
            self.assertEqual(result.returncode, status, args)
            self.assertTrue(shown.startswith(USAGE_START % number), (args, shown))
        self.assertEqual(self.systemctl_calls(), [])

    def test_status_command(self):
        running = self.run_program(ZELMFTPCTL, "status")
        self.assertEqual(running.returncode, 0, running.stderr)
        self.assertEqual(running.stdout, "ZelmFtpHost: running; Listening on port 2121, "
                                         "2 sessions, management link connected\n")
        stopped = self.run_program(ZELMFTPCTL, "status", FAKE_STATE="inactive")
        self.assertEqual((stopped.returncode, stopped.stdout), (3, "ZelmFtpHost: not running\n"))
        unknown = self.run_program(ZELMFTPCTL, "status", PATH=self.empty_bin)
        self.assertEqual(unknown.returncode, 4)


def tls_handshake(cert, key, host):
    """Serves one TLS connection on 127.0.0.1 with `cert` and `key` and connects to it as a
    client that trusts only `cert` and checks the name `host`; returns the byte echoed back."""
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(cert, key)
    client = ssl.create_default_context(cafile=cert)
    client.verify_flags |= ssl.VERIFY_X509_STRICT  # as newer Pythons do by default
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(30)

    def serve():
        try:
            connection, _ = listener.accept()
            connection.settimeout(30)
            with server.wrap_socket(connection, server_side=True) as tls:
                tls.sendall(tls.recv(1))
        except OSError:
            pass  # the client's side tells the outcome

    thread = threading.Thread(target=serve)
    thread.start()
    try:
        with socket.create_connection(listener.getsockname(), timeout=30) as raw:
            with client.wrap_socket(raw, server_hostname=host) as tls:
                tls.sendall(b"!")
                return tls.recv(1)
    finally:
        thread.join()
        listener.close()


class TlsCertificateCommand(unittest.TestCase):
    """zelmftpctl tls generate and tls fingerprint, with the store in a folder of the test's
    own."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zelm-tls-")
        self.state = os.path.join(os.path.realpath(self.folder.name), "state")
        self.cert = os.path.join(self.state, "zelmftp-cert.pem")
        self.key = os.path.join(self.state, "zelmftp-key.pem")
        self.env = dict(os.environ, ZELMFTP_SETTINGS=os.path.join(self.state, "settings.db"))

    def tearDown(self):
        self.folder.cleanup()

    def ctl(self, *args, **env):
        return subprocess.run([ZELMFTPCTL] + list(args), env=dict(self.env, **env),
                              capture_output=True, text=True, timeout=30)

    def test_generate_makes_a_pair_that_clients_trust(self):
        made = self.ctl("tls", "generate", "--days", "30", "--name", "127.0.0.1")
        self.assertEqual(made.returncode, 0, made.stderr)
        openssl = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                                  self.cert], capture_output=True, text=True, check=True)
        fingerprint = openssl.stdout.strip().split("=", 1)[1]
        self.assertEqual(made.stdout.splitlines(), [
            "TLS certificate %s (CN=127.0.0.1, valid 30 days)" % self.cert,
            "TLS key %s (mode 0600)" % self.key,
            "SHA-256 fingerprint " + fingerprint])
        self.assertEqual(stat.S_IMODE(os.stat(self.key).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(self.cert).st_mode), 0o644)

        listed = self.ctl("settings", "list").stdout.splitlines()
        self.assertIn("TLS Certificate\tstring\t" + self.cert, listed)
        self.assertIn("TLS Key\tstring\t" + self.key, listed)
        shown = self.ctl("tls", "fingerprint")
        self.assertEqual((shown.returncode, shown.stdout.splitlines()[-1]),
                         (0, "SHA-256 fingerprint " + fingerprint))

        self.assertEqual(tls_handshake(self.cert, self.key, "127.0.0.1"), b"!")
        # The client really checks the name: the same pair is refused for another one.
        with self.assertRaises(ssl.SSLCertVerificationError):
            tls_handshake(self.cert, self.key, "pc-08.cafe.lan")

    def test_failures_say_why_and_store_nothing(self):
        blocker = os.path.join(self.folder.name, "a-file")
        with open(blocker, "w"):
            pass
        cases = [
            (["--days", "0"], {}, "--days takes a whole number of days"),
            (["--days", "ten"], {}, "--days takes a whole number of days"),
            (["--days", "36501"], {}, "--days takes a whole number of days"),
            (["--name", "pc 07"], {}, "a certificate's name is a host name or an address"),
            ([], {"ZELMFTP_SETTINGS": os.path.join(blocker, "settings.db")},
             "cannot create the settings folder " + blocker),
        ]
        for args, env, complaint in cases:
            with self.subTest(args=args, env=env):
                failed = self.ctl("tls", "generate", *args, **env)
                self.assertEqual(failed.returncode, 1, failed.stdout)
                self.assertIn(complaint, failed.stderr)
                self.assertEqual(failed.stdout, "")
        self.assertFalse(os.path.exists(self.cert) or os.path.exists(self.key))
        none = self.ctl("tls", "fingerprint")
        self.assertEqual(none.returncode, 1)
        self.assertIn("no TLS certificate is configured", none.stderr)

    def test_root_gives_the_pair_to_the_owner_of_the_settings_folder(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        os.mkdir(self.state, 0o700)
        os.chown(self.state, 65534, 65534)
        made = self.ctl("tls", "generate", "--name", "pc-07.cafe.lan")
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertIn("(CN=pc-07.cafe.lan, valid 825 days)", made.stdout)
        for path in (self.cert, self.key):
            self.assertEqual(os.stat(path).st_uid, 65534, path)
        self.assertEqual(stat.S_IMODE(os.stat(self.key).st_mode), 0o600)


class ServiceRun:
    """zelmftp started with `args` and extra environment, serving 127.0.0.1 with a scripted
    management server."""

    def __init__(self, args=(), **extra_env):
        self.folder = tempfile.TemporaryDirectory(prefix="zelm-run-")
        env = dict(os.environ, ZELMFTP_SETTINGS=os.path.join(self.folder.name, "settings.db"))
        for name in ("NOTIFY_SOCKET", "INVOCATION_ID"):
            env.pop(name, None)
        self.env = dict(env, **extra_env)
        self.peer = ManagementPeer({"bob": ("secret", "bob", ALL)})
        self.port = free_port()
        for words in (["set-dword", "ServicePort", str(self.port)],
                      ["set-dword", "ServiceIP", "127.0.0.1"],
                      ["set-dword", "MServer IP", "127.0.0.1"],
                      ["set-dword", "MServer Port", str(self.peer.port)],
                      ["set-string", "Main Path", os.path.join(self.folder.name, "main")],
                      ["set-string", "Transfer Log", os.path.join(self.folder.name, "xferlog")],
                      ["set-string", "Service User",
                       "root" if os.geteuid() == 0 else "zelmftp"],
                      ["set-dword", "Console Port", "0"]):  # parallel runs would share 8021
            subprocess.run([ZELMFTPCTL, "settings"] + words, env=self.env, check=True)
        self.log = open(os.path.join(self.folder.name, "journal.log"), "w+")
        self.process = subprocess.Popen([ZELMFTP] + list(args), env=self.env, stderr=self.log,
                                        stdout=subprocess.DEVNULL)

    def wait_listening(self):
        deadline = time.time() + 10
        while True:
            try:
                return socket.create_connection(("127.0.0.1", self.port), timeout=5)
            except OSError:
                if time.time() > deadline or self.process.poll() is not None:
                    raise RuntimeError("zelmftp did not start")
                time.sleep(0.05)

    def journal(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.peer.stop()
        self.log.close()
        self.folder.cleanup()


class RunningTheService(unittest.TestCase):
    def test_without_an_argument_it_runs_in_the_foreground(self):
        run = ServiceRun([])
        try:
            with run.wait_listening() as control:
                self.assertEqual(control.recv(100), b"220 Service ready for new user.\r\n")
            run.process.send_signal(signal.SIGHUP)  # ignored: nothing to reload
            with run.wait_listening() as control:
                self.assertEqual(control.recv(100), b"220 Service ready for new user.\r\n")
            run.process.send_signal(signal.SIGINT)
            self.assertEqual(run.process.wait(timeout=5), 0)
            journal = run.journal()
            self.assertIn("running in the foreground", journal)
            self.assertIn("SIGHUP ignored", journal)
        finally:
            run.close()

    def test_readiness_and_stopping_are_reported(self):
        folder = tempfile.TemporaryDirectory(prefix="zelm-notify-")
        path = os.path.join(folder.name, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(path)
        notify.settimeout(10)
        run = ServiceRun(NOTIFY_SOCKET=path)
        try:
            ready = notify.recv(4096).decode()
            self.assertTrue(ready.startswith("READY=1\n"), ready)
            self.assertIn("STATUS=Listening on port %d, 0 sessions" % run.port, ready)
            # Ready means ready: the listener accepts and greets at once.
            control = socket.create_connection(("127.0.0.1", run.port), timeout=5)
            self.assertEqual(control.recv(100), b"220 Service ready for new user.\r\n")
            control.close()
            run.process.send_signal(signal.SIGTERM)
            reports = []
            while not any("STATUS=Stopped" in r for r in reports):
                reports.append(notify.recv(4096).decode())
            stopping = [r for r in reports if r.startswith("STOPPING=1")]
            self.assertEqual(len(stopping), 1, reports)
            self.assertLess(reports.index(stopping[0]), len(reports) - 1)
            self.assertEqual(run.process.wait(timeout=5), 0)
            self.assertNotIn("running in the foreground", run.journal())
        finally:
            run.close()
            notify.close()
            folder.cleanup()


class StopWithManySessions(unittest.TestCase):
    COUNT = 50

    def setUp(self):
        accounts = {"u%02d" % i: ("secret", "u%02d" % i, ALL) for i in range(self.COUNT)}
        self.server = ServerFixture(accounts)
        for name, value in (("Max Connection", "100"), ("Max Connection Per IP", "0")):
            subprocess.run([ZELMFTPCTL, "settings", "set-dword", name, value],
                           env=self.server.env, check=True)

    def tearDown(self):
        self.server.close()

    def wait_for_size(self, path, size):
        deadline = time.time() + 10
        while not (os.path.exists(path) and os.path.getsize(path) >= size):
            self.assertLess(time.time(), deadline, "%s never reached %d bytes" % (path, size))
            time.sleep(0.01)

    def test_sigterm_says_421_to_every_session_and_keeps_written_data(self):
        clients = []
        for i in range(self.COUNT):
            ftp = self.server.client()
            ftp.login("u%02d" % i, "secret")
            clients.append(ftp)
        main = self.server.main
        # u00 uploads a new file; u01 resumes a file that already holds 4096 bytes.
        kept = os.urandom(4096)
        with open(os.path.join(main, "u01", "resume.bin"), "wb") as f:
            f.write(kept)
        uploads = []
        for ftp, name, rest in ((clients[0], "fresh.bin", None), (clients[1], "resume.bin", 4096)):
            ftp.voidcmd("TYPE I")
            data = ftp.transfercmd("STOR " + name, rest)
            data.sendall(os.urandom(64 * 1024))
            uploads.append(data)
        self.wait_for_size(os.path.join(main, "u00", "fresh.bin"), 64 * 1024)
        self.wait_for_size(os.path.join(main, "u01", "resume.bin"), 4096 + 64 * 1024)

        started = time.time()
        self.server.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.process.wait(timeout=5), 0)
        self.assertLess(time.time() - started, 5)
        for i, ftp in enumerate(clients):
            lines = []
            try:
                while True:
                    lines.append(ftp.getline())
            except (EOFError, OSError):
                pass
            self.assertIn("421 Terminating connection.", lines, "client %d: %r" % (i, lines))
            if i >= 2:
                self.assertEqual(lines, ["421 Terminating connection."])
        for connection in uploads + clients:
            connection.close()
        # The transfer engine's rules for an interrupted upload: a resumed file is cut back to
        # the bytes it held before, a fresh one is discarded.
        with open(os.path.join(main, "u01", "resume.bin"), "rb") as f:
            self.assertEqual(f.read(), kept)
        self.assertFalse(os.path.exists(os.path.join(main, "u00", "fresh.bin")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
