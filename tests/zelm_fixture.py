"""The built zelmftp with its settings and a scripted management server, for end-to-end tests."""
import ftplib
import os
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from mserver_peer import ManagementPeer  # noqa: E402

BUILD = os.path.abspath(os.environ.get("ZELM_BUILD", "build"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, what, seconds=20):
    """Polls `condition` until it holds; fails the test after `seconds`."""
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class ReusingFtpTls(ftplib.FTP_TLS):
    """FTP_TLS whose data connections resume the control connection's session, as curl,
    lftp and FileZilla do (ftplib's own does not)."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


class ServerFixture:
    def __init__(self, accounts=None, console_port=0, preexec=None, dwords=None, tls=False,
                 strings=None, extra_env=None, prepare=None, wait_for_port=True):
        self.folder = tempfile.TemporaryDirectory(prefix="zelm-e2e-")
        self.env = dict(os.environ, ZELMFTP_SETTINGS=os.path.join(self.folder.name, "settings.db"))
        self.peer = ManagementPeer(accounts or {"bob": ("secret", "bob", 0x100000)})
        self.port = free_port()
        self.main = os.path.join(self.folder.name, "main")
        # The transfer log in the test's folder: never the service's /var/log default.
        self.transfer_log = os.path.join(self.folder.name, "xferlog")
        commands = [["set-string", "Transfer Log", self.transfer_log],
                    ["set-dword", "ServicePort", str(self.port)],
                    ["set-dword", "ServiceIP", "127.0.0.1"],
                    ["set-dword", "MServer IP", "127.0.0.1"],
                    ["set-dword", "MServer Port", str(self.peer.port)],
                    ["set-string", "Main Path", self.main],
                    # No console unless a test asks for one: parallel servers would share 8021.
                    ["set-dword", "Console Port", str(console_port)]]
        # ZELM_EXTENSIONS runs a whole suite with "Extensions" set so (the test suite runs the
        # reply-exact suites with 0 as well); a test's own dwords come after it.
        if os.environ.get("ZELM_EXTENSIONS"):
            commands.append(["set-dword", "Extensions", os.environ["ZELM_EXTENSIONS"]])
        # The test machine runs the suites as root, in folders of root's: the server stays
        # root there (a test of the drop to the service user names another).
        if os.geteuid() == 0:
            commands.append(["set-string", "Service User", "root"])
        commands += [["set-dword", name, str(value)] for name, value in (dwords or {}).items()]
        commands += [["set-string", name, value] for name, value in (strings or {}).items()]
        for args in commands:
            subprocess.run([os.path.join(BUILD, "zelmftpctl"), "settings"] + args, env=self.env,
                           check=True)
        self.certificate = None
        if tls:  # a certificate for 127.0.0.1, made as a café makes its own
            made = subprocess.run([os.path.join(BUILD, "zelmftpctl"), "tls", "generate",
                                   "--name", "127.0.0.1", "--days", "30"], env=self.env,
                                  check=True, capture_output=True, text=True)
            self.certificate = os.path.join(self.folder.name, "zelmftp-cert.pem")
            self.fingerprint = made.stdout.split("SHA-256 fingerprint ")[1].strip()
        self.log = open(os.path.join(self.folder.name, "journal.log"), "w+", errors="replace")
        if prepare:  # the test's own setup of the files, before the server starts
            prepare(self)
        self.process = subprocess.Popen([os.path.join(BUILD, "zelmftp")],
                                        env=dict(self.env, **(extra_env or {})),
                                        stderr=self.log, stdout=subprocess.DEVNULL,
                                        preexec_fn=preexec)
        deadline = time.time() + 10
        while wait_for_port:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline or self.process.poll() is not None:
                    raise RuntimeError("zelmftp did not start")
                time.sleep(0.05)
        deadline = time.time() + 10
        while not any(p[1] == 100 for p in self.peer.received()) and time.time() < deadline:
            time.sleep(0.02)
        time.sleep(0.1)  # the hello answer reaches the server

    def client(self):
        import ftplib
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.port, timeout=10)
        return ftp

    def journal(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        """Stops the server with SIGTERM; returns its exit status."""
        self.process.terminate()
        return self.process.wait(timeout=10)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.peer.stop()
        self.log.close()
        self.folder.cleanup()
