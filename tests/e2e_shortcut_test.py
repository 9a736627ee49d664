"""End-to-end shortcut folders: a management server's shortcut-folder request makes the built
zelmftp write a Windows shortcut, which an FTP client lists and downloads like any other file.
The first suite drives zelmftp with the scripted management peer (exact answers, dropped
requests); the second with the reference management server's "publish" command.

Usage: e2e_shortcut_test.py BUILD_DIR
"""
import ftplib
import io
import os
import shutil
import tempfile
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from mserver_peer import (KIND_FTP, KIND_MANAGEMENT, item_block, packet,  # noqa: E402
                         parse_items, text)
from zelm_fixture import BUILD, ServerFixture, free_port  # noqa: E402

ALL = 0x100000
SHELL_LINK_START = bytes.fromhex("4c0000000114020000000000c000000000000046")


class ShortcutFolders(unittest.TestCase):
    def setUp(self):
        self.server = ServerFixture({"bob": ("secret", "bob", ALL)})
        self.home = os.path.join(self.server.main, "bob")
        self.drive = os.path.join(self.server.folder.name, "d")
        os.makedirs(self.home)
        os.makedirs(os.path.join(self.drive, "games", "Chess"))
        subprocess.run([os.path.join(BUILD, "zelmftpctl"), "settings", "set-string", "Drive D",
                        self.drive], env=self.server.env, check=True)

    def tearDown(self):
        status = self.server.stop()
        journal = self.server.journal()
        self.server.close()
        self.assertEqual(status, 0, journal[-3000:])

    def publish(self, ident, folder=None, target=None):
        items = []
        if folder is not None:
            items.append((122, folder.encode() + b"\0"))
        if target is not None:
            items.append((123, target.encode() + b"\0"))
        items.append((108, struct.pack("<I", ident)))
        self.server.peer.send(packet(KIND_MANAGEMENT, 1136, 121, item_block(items)))

    def answers(self, count):
        """The first `count` shortcut-folder answers, as {tag: value} dictionaries."""
        deadline = time.time() + 10
        while time.time() < deadline:
            found = [dict(parse_items(body)) for kind, category, command, body
                     in self.server.peer.received()
                     if (kind, category, command) == (KIND_FTP, 1136, 121)]
            if len(found) >= count:
                return found
            time.sleep(0.02)
        self.fail("no answer from zelmftp")

    def test_publish_creates_a_shortcut_that_clients_list_and_download(self):
        # Item 123 missing: dropped without an answer, so the first answer is request 2's.
        self.publish(1, folder=self.home)
        self.publish(2, folder=self.home, target="D:\\games\\Chess")
        self.publish(3, folder=self.home, target="D:\\games\\Chess\\")
        first, second = self.answers(2)
        for answer, ident in ((first, 2), (second, 3)):
            self.assertEqual(struct.unpack("<I", answer[128])[0], 1)
            self.assertEqual(text(answer[122]), self.home)
            self.assertEqual(text(answer[123]), self.home + "/Chess.lnk")
            self.assertEqual(struct.unpack("<I", answer[108])[0], ident)
        self.assertEqual(sorted(os.listdir(self.home)), ["Chess.lnk"])

        ftp = self.server.client()
        ftp.login("bob", "secret")
        self.assertEqual(ftp.nlst(), ["Chess.lnk"])
        data = io.BytesIO()
        ftp.retrbinary("RETR Chess.lnk", data.write)
        ftp.quit()
        with open(os.path.join(self.home, "Chess.lnk"), "rb") as f:
            self.assertEqual(data.getvalue(), f.read())
        self.assertTrue(data.getvalue().startswith(SHELL_LINK_START))
        lnkinfo = subprocess.run(["lnkinfo", os.path.join(self.home, "Chess.lnk")],
                                 capture_output=True, text=True)
        self.assertEqual(lnkinfo.returncode, 0, lnkinfo.stdout)
        self.assertIn("Local path\t\t\t: D:\\games\\Chess\n", lnkinfo.stdout)

    def test_missing_target_answers_zero(self):
        self.publish(4, folder=self.home, target="D:\\games\\None")
        answer, = self.answers(1)
        self.assertEqual(struct.unpack("<I", answer[128])[0], 0)
        self.assertEqual(text(answer[123]), "D:\\games\\None")
        self.assertEqual(os.listdir(self.home), [])


class ReferenceServerPublish(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zelm-e2e-")
        self.processes = []
        self.env = dict(os.environ, ZELMFTP_SETTINGS=os.path.join(self.folder, "settings.db"),
                        ZELM_MSERVER_DB=os.path.join(self.folder, "accounts.db"))
        self.home = os.path.join(self.folder, "main", "bob")
        os.makedirs(self.home)
        os.makedirs(os.path.join(self.folder, "d", "games", "Chess"))

    def tearDown(self):
        for process in reversed(self.processes):
            process.terminate()
            process.wait(timeout=10)
        shutil.rmtree(self.folder)

    def mserver(self, *args, stdin=None):
        return subprocess.run([os.path.join(BUILD, "zelm-mserver"), "--socket", self.control]
                              + list(args), env=self.env, input=stdin, capture_output=True,
                              text=True)

    def start(self, *command):
        log = open(os.path.join(self.folder, os.path.basename(command[0]) + ".log"), "w")
        self.processes.append(subprocess.Popen(list(command), env=self.env, stdout=log,
                                               stderr=subprocess.STDOUT))
        log.close()

    def wait_for(self, condition):
        deadline = time.time() + 10
        while not condition():
            self.assertLess(time.time(), deadline)
            time.sleep(0.02)

    def test_publish_through_a_running_zelmftp(self):
        self.control = os.path.join(self.folder, "control.sock")
        mserver_port, ftp_port = free_port(), free_port()
        for args in (["set-dword", "ServicePort", str(ftp_port)],
                     ["set-dword", "ServiceIP", "127.0.0.1"],
                     ["set-dword", "MServer IP", "127.0.0.1"],
                     ["set-dword", "MServer Port", str(mserver_port)],
                     ["set-string", "Transfer Log", os.path.join(self.folder, "xferlog")],
                     ["set-string", "Service User", "root" if os.geteuid() == 0 else "zelmftp"],
                     ["set-string", "Main Path", os.path.join(self.folder, "main")],
                     ["set-string", "Drive D", os.path.join(self.folder, "d")]):
            subprocess.run([os.path.join(BUILD, "zelmftpctl"), "settings"] + args, env=self.env,
                           check=True)
        added = self.mserver("user", "add", "bob", "--password-stdin", "--home", "bob",
                             "--rights", "all", stdin="secret\n")
        self.assertEqual(added.returncode, 0, added.stderr)
        self.start(os.path.join(BUILD, "zelm-mserver"), "--socket", self.control, "serve",
                   "--listen", "127.0.0.1:%d" % mserver_port)
        self.wait_for(lambda: self.mserver("status").returncode == 0)
        self.start(os.path.join(BUILD, "zelmftp"))
        self.wait_for(lambda: "greeted" in self.mserver("status").stdout)

        published = self.mserver("publish", self.home, "D:\\games\\Chess")
        self.assertEqual(published.returncode, 0, published.stderr)
        self.assertIn("result 1, %s/Chess.lnk" % self.home, published.stdout)
        published = self.mserver("publish", self.home, "D:\\games\\Chess")
        self.assertIn("result 1, %s/Chess.lnk" % self.home, published.stdout)
        self.assertEqual(os.listdir(self.home), ["Chess.lnk"])

        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", ftp_port, timeout=10)
        ftp.login("bob", "secret")
        self.assertEqual(ftp.nlst(), ["Chess.lnk"])
        data = io.BytesIO()
        ftp.retrbinary("RETR Chess.lnk", data.write)
        ftp.quit()
        self.assertTrue(data.getvalue().startswith(SHELL_LINK_START))


if __name__ == "__main__":
    unittest.main()
