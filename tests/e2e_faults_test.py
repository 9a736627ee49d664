"""Faults and hostile peers against the built zelmftp: a full disk, clients that vanish, slow
or flooding clients, a management server that misbehaves, a damaged settings store and too
few descriptors. After each, the server must still serve everyone else.

Usage: e2e_faults_test.py BUILD_DIR
"""
import ftplib
import os
import resource
import shutil
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from mserver_peer import KIND_MANAGEMENT, item_block, packet  # noqa: E402
from zelm_fixture import BUILD, ServerFixture, free_port  # noqa: E402

KIB = 1024
MIB = 1024 * KIB
ALL = 0x100000


def rst_close(sock):
    """Closes with a reset instead of a FIN: the peer vanished."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def vanish(ftp):
    """The client of an ftplib session vanishes (its reply reader holds the socket too)."""
    ftp.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    ftp.file.close()
    ftp.sock.close()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def descriptors(pid):
    """Sockets and files the process holds open (the upload worker's event descriptors, made
    once on the first upload and kept, and the transfer log, opened at the first transfer's
    end and kept, are not counted)."""
    held = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            held += not (target.startswith("anon_inode:") or target.endswith("/xferlog"))
        except OSError:
            pass
    return held


class FaultCase(unittest.TestCase):
    accounts = {"bob": ("secret", "bob", ALL)}
    preexec = None

    def setUp(self):
        self.server = ServerFixture(self.accounts, preexec=self.preexec)
        self.home = os.path.join(self.server.main, "bob")
        os.makedirs(self.home, exist_ok=True)

    def tearDown(self):
        status = self.server.stop()
        journal = self.server.journal()
        self.server.close()
        self.assertEqual(status, 0, journal[-3000:])

    def login(self, user="bob"):
        ftp = self.server.client()
        ftp.login(user, "secret")
        ftp.voidcmd("TYPE I")
        return ftp

    def assert_serves(self):
        """A fresh client logs in, lists and leaves: the server goes on."""
        ftp = self.login()
        ftp.nlst()
        ftp.quit()


class DiskAndClients(FaultCase):
    def test_full_disk_gives_452_and_keeps_what_was_written(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "zelm-full", self.home],
                               capture_output=True, text=True)
        if mount.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: " + mount.stderr.strip())
        try:
            ftp = self.login()
            data = os.urandom(3 * MIB)
            conn = ftp.transfercmd("STOR big.bin")
            try:
                conn.sendall(data)
            except OSError:
                pass  # the server closed the data connection at the first failed write
            conn.close()
            with self.assertRaises(ftplib.error_temp) as refused:
                ftp.voidresp()
            self.assertTrue(str(refused.exception).startswith("452"), str(refused.exception))
            kept = open(os.path.join(self.home, "big.bin"), "rb").read()
            self.assertGreater(len(kept), 0)
            self.assertEqual(kept, data[:len(kept)])  # a consistent prefix, nothing garbled
            self.assertEqual(ftp.sendcmd("NOOP")[:3], "200")
            ftp.delete("big.bin")
            ftp.quit()
        finally:
            subprocess.run(["umount", "-l", self.home], check=False)
        self.assert_serves()

    def test_clients_that_vanish_mid_transfer(self):
        with open(os.path.join(self.home, "big.bin"), "wb") as f:
            f.write(os.urandom(32 * MIB))
        before = descriptors(self.server.process.pid)

        # A download whose client resets both connections after the first bytes.
        ftp = self.login()
        conn = ftp.transfercmd("RETR big.bin")
        conn.recv(64 * KIB)
        rst_close(conn)
        vanish(ftp)

        # An upload whose data connection is reset in the middle: the server says so, and
        # what arrived stays on disk.
        ftp = self.login()
        data = os.urandom(4 * MIB)
        conn = ftp.transfercmd("STOR part.bin")
        conn.sendall(data[:2 * MIB])
        time.sleep(0.2)
        rst_close(conn)
        with self.assertRaises(ftplib.Error):
            ftp.voidresp()
        kept = open(os.path.join(self.home, "part.bin"), "rb").read()
        self.assertEqual(kept, data[:len(kept)])
        # ... then its control connection vanishes too.
        vanish(ftp)

        # A fresh upload whose client vanishes altogether: nothing was acknowledged, and a
        # file that is left behind holds only what arrived.
        ftp = self.login()
        conn = ftp.transfercmd("STOR gone.bin")
        conn.sendall(data[:MIB])
        time.sleep(0.2)
        rst_close(conn)
        vanish(ftp)

        deadline = time.time() + 10
        while time.time() < deadline and descriptors(self.server.process.pid) > before:
            time.sleep(0.1)
        self.assertLessEqual(descriptors(self.server.process.pid), before)
        gone = os.path.join(self.home, "gone.bin")
        if os.path.exists(gone):
            kept = open(gone, "rb").read()
            self.assertEqual(kept, data[:len(kept)])
        self.assert_serves()

    def test_a_slow_client_holds_nobody_else_up(self):
        # A client sends its commands a byte at a time; while the server holds a part of one
        # of its lines, other clients log in and list. Then the slow one is answered.
        slow = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        slow.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        slow.recv(1024)
        for i, byte in enumerate(b"USER bob\r\nPASS secret\r\nNOOP\r\n"):
            slow.send(bytes([byte]))
            if i % 3 == 0:
                self.assert_serves()
        replies = b""
        while b"200" not in replies:
            chunk = slow.recv(4096)
            if not chunk:
                break
            replies += chunk
        self.assertIn(b"230", replies)  # and the NOOP after it was answered
        slow.close()

    def test_a_flood_of_commands_is_answered_in_order(self):
        # A client logs in, sends 20,000 commands at once and reads nothing until another
        # client has been served: the replies (HELP's are long) are more than the sockets
        # hold, so the session waits on a full connection in the meantime. Then every reply
        # must come, in step with its command, and the session must still be usable. (How
        # much memory such a flood costs the server is measured by bench/flood_bench.py.)
        flood = socket.create_connection(("127.0.0.1", self.server.port), timeout=30)
        replies = flood.makefile("rb")
        self.assertEqual(replies.readline()[:4], b"220 ")
        flood.sendall(b"USER bob\r\nPASS secret\r\n")
        self.assertEqual(replies.readline()[:4], b"331 ")
        self.assertEqual(replies.readline()[:4], b"230 ")

        def command(i):
            if i % 100 == 1:
                return b"SIZE missing-%d" % i, b"550 missing-%d " % i
            if i % 4 == 0:
                return b"HELP", b"214 HELP command successful."
            return b"NOOP", b"200 'NOOP': Command okay."

        count = 20000
        expected = [command(i) for i in range(count)]
        flood.sendall(b"".join(text + b"\r\n" for text, _ in expected))
        self.assert_serves()

        def reply():
            """The last line of the next reply (a multi-line one ends at "ddd ")."""
            line = replies.readline()
            if line[3:4] == b"-":
                last = line[:3] + b" "
                while line and not line.startswith(last):
                    line = replies.readline()
            return line.rstrip(b"\r\n")

        for i, (text, answer) in enumerate(expected):
            got = reply()
            self.assertTrue(got.startswith(answer), "reply %d to %r: %r" % (i, text, got))
        flood.sendall(b"PWD\r\n")
        self.assertEqual(reply(), b'257 "/" is the current directory.')
        flood.sendall(b"QUIT\r\n")
        self.assertEqual(reply()[:4], b"221 ")
        replies.close()
        flood.close()
        self.assert_serves()


class ManagementFaults(FaultCase):
    def test_garbage_and_answers_for_sessions_already_gone(self):
        peer = self.server.peer
        # answers for a session that never was, and an order to end it
        peer.send(packet(KIND_MANAGEMENT, 1136, 110, item_block(
            [(108, struct.pack("<I", 0x7777)), (109, struct.pack("<i", 1))])))
        peer.send(packet(KIND_MANAGEMENT, 1136, 115, item_block([(108, struct.pack("<I", 0x7777))])))
        self.assert_serves()
        # bytes that are no packet at all: the link is dropped and made again
        peer.send(os.urandom(4096))
        deadline = time.time() + 15
        while True:
            try:
                self.assert_serves()
                break
            except (ftplib.Error, OSError):
                if time.time() > deadline:
                    raise
                time.sleep(0.2)

    def test_a_management_server_that_never_answers(self):
        # The server's link to a peer that accepts and stays silent: named logins are refused
        # at once (the link never became ready), and the server goes on serving connections.
        silent = socket.create_server(("127.0.0.1", 0))
        port = silent.getsockname()[1]
        held = []
        accepting = threading.Thread(target=lambda: held.append(silent.accept()), daemon=True)
        accepting.start()
        folder = tempfile.mkdtemp(prefix="zelm-silent-")
        env = dict(self.server.env, ZELMFTP_SETTINGS=os.path.join(folder, "settings.db"))
        ftp_port = free_port()
        ctl = os.path.join(BUILD, "zelmftpctl")
        for args in (["set-dword", "ServicePort", str(ftp_port)],
                     ["set-dword", "ServiceIP", "127.0.0.1"],
                     ["set-dword", "MServer IP", "127.0.0.1"],
                     ["set-dword", "MServer Port", str(port)],
                     ["set-string", "Transfer Log", os.path.join(folder, "xferlog")],
                     ["set-string", "Service User", "root" if os.geteuid() == 0 else "zelmftp"],
                     ["set-string", "Main Path", self.server.main]):
            subprocess.run([ctl, "settings"] + args, env=env, check=True)
        process = subprocess.Popen([os.path.join(BUILD, "zelmftp")], env=env,
                                   stderr=subprocess.DEVNULL)
        try:
            accepting.join(10)
            self.assertTrue(held, "the server did not connect to its management server")
            ftp = None
            deadline = time.time() + 10
            while ftp is None:
                try:
                    ftp = ftplib.FTP()
                    ftp.connect("127.0.0.1", ftp_port, timeout=10)
                except OSError:
                    ftp = None
                    if time.time() > deadline:
                        raise
                    time.sleep(0.1)
            started = time.time()
            with self.assertRaises(ftplib.error_perm):
                ftp.login("bob", "secret")
            self.assertLess(time.time() - started, 5)
            self.assertEqual(ftp.sendcmd("USER bob")[:3], "331")  # still served
            ftp.quit()
        finally:
            process.terminate()
            self.assertEqual(process.wait(10), 0)
            silent.close()
            for conn, _ in held:
                conn.close()
            shutil.rmtree(folder, ignore_errors=True)


class SettingsFaults(FaultCase):
    def test_a_locked_store_and_a_damaged_store(self):
        store = self.server.env["ZELMFTP_SETTINGS"]
        lock = sqlite3.connect(store, timeout=0, isolation_level=None)
        lock.execute("BEGIN EXCLUSIVE")
        try:
            # Settings read at accept and at login fall back to their defaults, never hang:
            # clients are greeted and answered (a login needs the stored main folder). Each
            # read first waits out the store's busy timeout, so the client is patient.
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", self.server.port, timeout=60)
            self.assertEqual(ftp.sendcmd("USER bob")[:3], "331")
            try:
                ftp.sendcmd("PASS secret")
            except ftplib.error_perm:
                pass
            ftp.close()
        finally:
            lock.execute("ROLLBACK")
            lock.close()
        self.assert_serves()  # the lock is gone: everything is back
        with open(store, "r+b") as f:
            f.write(os.urandom(4096))
        ftp = self.server.client()  # a damaged store: still greeted and answered
        self.assertEqual(ftp.sendcmd("USER bob")[:3], "331")
        ftp.close()


def few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))


class DescriptorExhaustion(FaultCase):
    preexec = staticmethod(few_descriptors)

    def test_out_of_descriptors_refuses_then_recovers_without_spinning(self):
        pid = self.server.process.pid
        clients = []
        try:
            for _ in range(80):
                try:
                    clients.append(socket.create_connection(("127.0.0.1", self.server.port),
                                                            timeout=2))
                except OSError:
                    break
            time.sleep(0.5)
            cpu = cpu_seconds(pid)
            time.sleep(2)
            spent = cpu_seconds(pid) - cpu
            self.assertLess(spent, 0.5, "the server spun while out of descriptors")
        finally:
            for client in clients:
                client.close()
        deadline = time.time() + 15
        while True:
            try:
                self.assert_serves()
                break
            except (ftplib.Error, OSError, EOFError):
                if time.time() > deadline:
                    raise
                time.sleep(0.3)


if __name__ == "__main__":
    unittest.main(verbosity=2)
