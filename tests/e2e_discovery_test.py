"""End-to-end: the FTP server finds the management server over UDP.

Usage: e2e_discovery_test.py BUILD_DIR

Discovery sends datagrams to every address of the local networks, so it is turned on only
inside two network namespaces that this test makes itself, joined by a veth pair that is
created inside them: zelmftp runs in one, `zelm-mserver serve --announce` in the other, and
nothing reaches the host's interfaces. Where namespaces cannot be made (not root, no `ip`),
that test is skipped. The test that discovery stays off without the setting runs anywhere.
"""
import ftplib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zelm_fixture import free_port, wait_for  # noqa: E402
FTP_ADDRESS = "198.18.0.1"  # the FTP server's namespace (a benchmarking range, RFC 2544)
MS_ADDRESS = "198.18.0.2"   # the management server's namespace


def socket_inodes(pid):
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    return inodes


def table_inodes(pid, *tables):
    """Inodes of the sockets listed in /proc/PID/net/TABLE (the process's namespace)."""
    inodes = set()
    for table in tables:
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        inodes.update(row.split()[9] for row in rows if len(row.split()) > 9)
    return inodes


def udp_sockets(pid):
    return socket_inodes(pid) & table_inodes(pid, "udp", "udp6", "udplite", "udplite6")


def tcp_sockets(pid):
    return socket_inodes(pid) & table_inodes(pid, "tcp", "tcp6")


class Folder:
    def __init__(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zelm-discovery-e2e-")
        self.root = self.folder.name
        self.main = os.path.join(self.root, "main")
        self.env = dict(os.environ, ZELM_MSERVER_DB=os.path.join(self.root, "ms", "accounts.db"),
                        ZELMFTP_SETTINGS=os.path.join(self.root, "settings.db"))
        self.env.pop("ZELM_MSERVER_SOCKET", None)
        self.processes = []
        self.logs = []
        # Every server of these tests keeps its transfer log here, never in /var/log.
        self.settings("set-string", "Transfer Log", os.path.join(self.root, "xferlog"))
        if os.geteuid() == 0:  # root's own folders: the server stays root here
            self.settings("set-string", "Service User", "root")

    def settings(self, *args, check=True):
        return subprocess.run([os.path.join(BUILD, "zelmftpctl"), "settings"] + list(args),
                              env=self.env, check=check, capture_output=True, text=True)

    def start(self, name, argv):
        log = open(os.path.join(self.root, name + ".log"), "w+")
        self.logs.append((name, log))
        process = subprocess.Popen(argv, env=self.env, stdout=subprocess.DEVNULL, stderr=log)
        self.processes.append(process)
        return process

    def log_text(self):
        text = ""
        for name, log in self.logs:
            log.flush()
            log.seek(0)
            text += "---- %s ----\n%s" % (name, log.read())
        return text

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        for _, log in self.logs:
            log.close()
        self.folder.cleanup()


class DiscoveryOff(unittest.TestCase):
    """Without "Discovery" = 1 the server has no datagram socket at all."""

    def test_no_udp_socket_unless_the_setting_is_one(self):
        for value in (None, "0", "2"):
            with self.subTest(discovery=value):
                folder = Folder()
                try:
                    port = free_port()
                    folder.settings("set-dword", "ServicePort", str(port))
                    folder.settings("set-dword", "ServiceIP", "127.0.0.1")
                    folder.settings("set-string", "Main Path", folder.main)
                    if value is not None:
                        # zelmftpctl refuses 2 (the setting takes 0 or 1): forced, to show
                        # that the server reads any value but 1 as off.
                        folder.settings("set-dword", "--force", "Discovery", value)
                    server = folder.start("zelmftp", [os.path.join(BUILD, "zelmftp")])
                    ftp = ftplib.FTP()
                    wait_for(lambda: self.connects(ftp, port), "the FTP server")
                    # The listener's thread is up (it greeted); its start hook has run.
                    self.assertTrue(tcp_sockets(server.pid), "the method sees the TCP sockets")
                    self.assertEqual(udp_sockets(server.pid), set(), folder.log_text())
                    ftp.close()
                finally:
                    folder.close()

    @staticmethod
    def connects(ftp, port):
        try:
            ftp.connect("127.0.0.1", port, timeout=5)
            return True
        except OSError:
            return False


class Namespaces:
    """Two fresh network namespaces joined by a veth pair made inside them."""

    def __init__(self, test):
        tag = "zd%d" % os.getpid()
        self.ftp, self.ms = tag + "f", tag + "m"
        self.made = []
        self.test = test
        if os.geteuid() != 0 or shutil.which("ip") is None:
            test.skipTest("discovery's end-to-end test needs root and the `ip` tool to create "
                          "network namespaces; skipped")
        for name in (self.ftp, self.ms):
            if not self.ip("netns", "add", name, check=False):
                self.close()
                test.skipTest("cannot create network namespaces (ip netns add failed); "
                              "discovery's end-to-end test skipped")
            self.made.append(name)
        # The pair is born inside the namespaces: it never exists on the host.
        if not self.ip("link", "add", tag + "a", "netns", self.ftp, "type", "veth", "peer",
                       "name", tag + "b", "netns", self.ms, check=False):
            self.close()
            test.skipTest("cannot create a veth pair between namespaces; discovery's "
                          "end-to-end test skipped")
        self.ip("-n", self.ftp, "link", "set", "lo", "up")
        self.ip("-n", self.ms, "link", "set", "lo", "up")
        self.ip("-n", self.ftp, "addr", "add", FTP_ADDRESS + "/24", "dev", tag + "a")
        self.ip("-n", self.ms, "addr", "add", MS_ADDRESS + "/24", "dev", tag + "b")
        self.ip("-n", self.ftp, "link", "set", tag + "a", "up")
        self.ip("-n", self.ms, "link", "set", tag + "b", "up")
        # Lets the multicast socket join its group (over the veth only).
        self.ip("-n", self.ftp, "route", "add", "224.0.0.0/4", "dev", tag + "a")
        test.assertFalse(self.ip("link", "show", tag + "a", check=False),
                         "the veth pair must not exist on the host")

    def ip(self, *args, check=True):
        result = subprocess.run(["ip"] + list(args), capture_output=True, text=True)
        if check and result.returncode != 0:
            raise AssertionError("ip %s: %s" % (" ".join(args), result.stderr))
        return result.returncode == 0

    def exec_in(self, name, argv):
        return ["ip", "netns", "exec", name] + argv

    def close(self):
        for name in self.made:
            self.ip("netns", "del", name, check=False)
        self.made = []


CLIENT = r"""
import ftplib, io, sys
ftp = ftplib.FTP()
ftp.connect("127.0.0.1", int(sys.argv[1]), timeout=15)
print(ftp.login("demo", "demo"))
print(ftp.sendcmd("PWD"))
print(ftp.storbinary("STOR found.txt", io.BytesIO(b"found by discovery\n")))
ftp.quit()
"""


class DiscoveryInNamespaces(unittest.TestCase):
    def setUp(self):
        self.net = Namespaces(self)
        self.addCleanup(self.net.close)
        self.folder = Folder()
        self.addCleanup(self.folder.close)

    def own_namespace(self, pid):
        return os.readlink("/proc/%d/ns/net" % pid)

    def test_finds_the_announcing_management_server_and_logs_in(self):
        folder, net = self.folder, self.net
        mserver = os.path.join(BUILD, "zelm-mserver")
        # Ports picked like every other test's (in these fresh namespaces any port is free).
        ms_port, ftp_port = free_port(), free_port()
        subprocess.run([mserver, "user", "add", "demo", "--password-stdin", "--home", "demo",
                        "--rights", "all"], input="demo\n", text=True, env=folder.env,
                       check=True, capture_output=True)
        ms = folder.start("zelm-mserver", net.exec_in(net.ms, [
            mserver, "serve", "--listen", "%s:%d" % (MS_ADDRESS, ms_port), "--allow-remote",
            "--ftp-server", FTP_ADDRESS, "--announce"]))
        wait_for(lambda: "answering discovery queries" in folder.log_text(),
                 "zelm-mserver --announce")

        folder.settings("set-dword", "ServicePort", str(ftp_port))
        folder.settings("set-dword", "ServiceIP", "127.0.0.1")
        folder.settings("set-string", "Main Path", folder.main)
        folder.settings("set-dword", "Discovery", "1")
        self.assertNotEqual(folder.settings("get", "MServer IP", check=False).returncode, 0)
        started = time.monotonic()
        ftp = folder.start("zelmftp", net.exec_in(net.ftp, [os.path.join(BUILD, "zelmftp")]))

        def stored():
            value = folder.settings("get", "MServer IP Learnt", check=False).stdout.strip()
            return value == MS_ADDRESS  # zelmftpctl shows the stored address dotted
        wait_for(stored, "the announced address in the settings\n" + folder.log_text())
        found_in = time.monotonic() - started
        self.assertEqual(folder.settings("get", "MServer Port Learnt").stdout.strip(),
                         str(ms_port))
        # Kept apart from the operator's own setting.
        self.assertNotEqual(folder.settings("get", "MServer IP", check=False).returncode, 0)
        host = self.own_namespace(os.getpid())
        for process in (ms, ftp):
            self.assertNotEqual(self.own_namespace(process.pid), host)
        self.assertNotEqual(self.own_namespace(ms.pid), self.own_namespace(ftp.pid))
        # The server's datagram sockets live in its namespace (the broadcast one and the
        # multicast one).
        self.assertEqual(len(udp_sockets(ftp.pid)), 2)

        def linked():
            status = subprocess.run([mserver, "status"], env=folder.env, capture_output=True,
                                    text=True)
            return status.returncode == 0 and "\tgreeted\t" in status.stdout
        wait_for(linked, "the FTP server's link\n" + folder.log_text())

        client = subprocess.run(net.exec_in(net.ftp, [sys.executable, "-c", CLIENT,
                                                      str(ftp_port)]),
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(client.returncode, 0, client.stderr + folder.log_text())
        lines = client.stdout.splitlines()
        self.assertEqual(lines[0], "230 demo user logged in.")
        self.assertEqual(lines[1], '257 "/" is the current directory.')
        self.assertTrue(lines[2].startswith("226"), lines[2])
        with open(os.path.join(folder.main, "demo", "found.txt"), "rb") as f:
            self.assertEqual(f.read(), b"found by discovery\n")

        # An address the operator configured is never replaced by an announcement, not even
        # while its link is down: here it names a port of the FTP server's own namespace where
        # nothing listens, and the announcements that go on arriving are not taken.
        ftp.terminate()
        ftp.wait(timeout=10)
        wait_for(lambda: "\tgreeted\t" not in subprocess.run(
            [mserver, "status"], env=folder.env, capture_output=True, text=True).stdout,
            "the old link to end")
        for name in ("MServer IP Learnt", "MServer Port Learnt"):
            folder.settings("unset", name)
        folder.settings("set-dword", "MServer IP", FTP_ADDRESS)
        folder.settings("set-dword", "MServer Port", str(free_port()))
        ftp = folder.start("zelmftp", net.exec_in(net.ftp, [os.path.join(BUILD, "zelmftp")]))
        # Three times as long as the first run took to take its announcement.
        deadline = time.monotonic() + max(5.0, 3 * found_in)
        while time.monotonic() < deadline:
            self.assertNotEqual(folder.settings("get", "MServer IP Learnt",
                                                check=False).returncode, 0)
            time.sleep(0.2)
        self.assertEqual(folder.settings("get", "MServer IP").stdout.strip(),
                         FTP_ADDRESS)
        self.assertFalse(linked(), folder.log_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
