"""End-to-end: what a management peer may change on the FTP server's machine. The scripted
peer stands for whoever can talk to the link (it has no authentication): it sends
configurations, login answers and shortcut requests that would hand out the file system, and
the built zelmftp refuses each, logs it, and goes on serving what the operator set up.

Usage: e2e_link_bounds_test.py BUILD_DIR
"""
import ftplib
import os
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from mserver_peer import KIND_MANAGEMENT, item_block, packet, parse_items  # noqa: E402
from zelm_fixture import BUILD, ServerFixture  # noqa: E402

ALL = 0x100000


class LinkBounds(unittest.TestCase):
    def setUp(self):
        self.server = ServerFixture({
            "bob": ("secret", "bob", ALL),
            "eve": ("pw", "/etc", ALL),
            "trudy": ("pw", "", ALL),  # set below: the main path itself
        })
        self.root = self.server.folder.name
        self.server.peer.accounts["trudy"] = ("pw", self.server.main, ALL)
        os.makedirs(os.path.join(self.server.main, "bob"))

    def tearDown(self):
        status = self.server.stop()
        journal = self.server.journal()
        self.server.close()
        self.assertEqual(status, 0, journal[-3000:])

    def settings(self, *args):
        return subprocess.run([os.path.join(BUILD, "zelmftpctl"), "settings"] + list(args),
                              env=self.server.env, capture_output=True, text=True)

    def setting(self, name):
        return self.settings("get", name).stdout.strip()

    def wait_for_packets(self, category, command, count):
        deadline = time.time() + 10
        while time.time() < deadline:
            found = [body for _, cat, cmd, body in self.server.peer.received()
                     if cat == category and cmd == command]
            if len(found) >= count:
                return found
            time.sleep(0.02)
        self.fail("no answer %d/%d from the server\n%s" % (category, command,
                                                           self.server.journal()[-2000:]))

    def configure(self, main_path):
        """Sends a configuration naming `main_path`; waits for the status report it brings."""
        reports = len([p for p in self.server.peer.received() if p[1:3] == (1136, 103)])
        record = struct.pack("<6I", 1, 0, 50, 0, 0, 128)
        self.server.peer.send(packet(KIND_MANAGEMENT, 1136, 100, item_block(
            [(103, record), (113, main_path.encode() + b"\0")])))
        self.wait_for_packets(1136, 103, reports + 1)

    def publish(self, ident, folder, target):
        """A shortcut-folder request; returns its answer's items."""
        answers = len([p for p in self.server.peer.received() if p[1:3] == (1136, 121)])
        self.server.peer.send(packet(KIND_MANAGEMENT, 1136, 121, item_block(
            [(122, folder.encode() + b"\0"), (123, target.encode() + b"\0"),
             (108, struct.pack("<I", ident))])))
        return dict(parse_items(self.wait_for_packets(1136, 121, answers + 1)[-1]))

    def login(self, user, password):
        ftp = self.server.client()
        try:
            return ftp.login(user, password)
        except ftplib.error_perm as error:
            return str(error)
        finally:
            ftp.close()

    def test_a_configuration_cannot_move_the_main_path_out_of_the_operators_roots(self):
        outside = os.path.join(self.root, "outside")
        os.makedirs(outside)
        missing = os.path.join(self.root, "main", "missing")
        for path in ("/", "/etc", "/var/lib/zelmftp", self.root, outside, missing, "C:\\"):
            with self.subTest(path=path):
                self.configure(path)
                self.assertEqual(self.setting("Main Path"), self.server.main)
                self.assertIn("Main path '%s' from the management server refused" % path,
                              self.server.journal())
        self.assertFalse(os.path.exists(missing))
        self.assertFalse(os.path.exists("/var/lib/zelmftp/bob"))
        self.assertEqual(self.login("bob", "secret"), "230 bob user logged in.")

        # Below a root the operator named, an existing folder is taken.
        self.settings("set-string", "Main Path Roots", self.root)
        second = os.path.join(self.root, "main2")
        os.makedirs(second)
        self.configure(second)
        self.assertEqual(self.setting("Main Path"), second)
        self.assertEqual(self.login("bob", "secret"), "230 bob user logged in.")
        self.assertTrue(os.path.isdir(os.path.join(second, "bob")))

    def test_a_home_lies_strictly_below_the_main_path(self):
        for user in ("trudy", "eve"):
            with self.subTest(user=user):
                self.assertEqual(self.login(user, "pw"),
                                 "530 User (%s) is invalid, or incorrect password" % user)
        self.assertIn("Home folder '/etc' refused", self.server.journal())
        self.assertEqual(self.login("bob", "secret"), "230 bob user logged in.")

    def test_shortcuts_only_inside_the_main_path_and_to_published_folders(self):
        home = os.path.join(self.server.main, "bob")
        games = os.path.join(self.root, "games")
        secret = os.path.join(self.root, "secret")
        os.makedirs(os.path.join(games, "Chess"))
        os.makedirs(secret)
        with open(os.path.join(secret, "shadow"), "w") as f:
            f.write("x")
        self.settings("set-string", "Publish Roots", games)

        answer = self.publish(1, home, os.path.join(games, "Chess"))
        self.assertEqual(answer[128], struct.pack("<I", 1))
        self.assertEqual(sorted(os.listdir(home)), ["Chess.lnk"])

        # Outside the bounds: answered 0, whether the target exists or not, and nothing made.
        for ident, (folder, target) in enumerate([
                (home, os.path.join(secret, "shadow")),
                (home, os.path.join(secret, "missing")),
                (home, "/etc/passwd"),
                (home, "/etc/missing"),
                (secret, os.path.join(games, "Chess")),
                ("/etc", os.path.join(games, "Chess"))], start=2):
            with self.subTest(folder=folder, target=target):
                answer = self.publish(ident, folder, target)
                self.assertEqual(answer[128], struct.pack("<I", 0))
                self.assertEqual(answer[123], target.encode() + b"\0")
                self.assertEqual(answer[108], struct.pack("<I", ident))
        self.assertEqual(sorted(os.listdir(home)), ["Chess.lnk"])
        self.assertEqual(os.listdir(secret), ["shadow"])
        self.assertFalse(os.path.exists("/etc/Chess.lnk"))


if __name__ == "__main__":
    unittest.main()
