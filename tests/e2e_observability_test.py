"""What the built zelmftp tells its operator: the transfer log's lines and the journal's reasons.

Usage: e2e_observability_test.py BUILD_DIR
"""
import ftplib
import io
import os
import re
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from zelm_fixture import ServerFixture, wait_for  # noqa: E402

KIB = 1024
ALL = 0x100000

# The xferlog grammar, one group per field; the time spans five words.
XFERLOG = re.compile(
    r"(?P<time>(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
    r" [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}) "
    r"(?P<seconds>[1-9][0-9]*) "
    r"(?P<host>[0-9]{1,3}(\.[0-9]{1,3}){3}) "
    r"(?P<bytes>[0-9]+) "
    r"(?P<file>[^ \x00-\x1f\x7f]+) "
    r"(?P<type>[ab]) _ "
    r"(?P<direction>[oi]) r "
    r"(?P<user>[^ \x00-\x1f\x7f]+) ftp 0 \* "
    r"(?P<status>[ci])$")


def decode(field):
    """A name of the log as it was: every \\xNN is the byte NN."""
    return re.sub(rb"\\x([0-9a-f]{2})", lambda m: bytes([int(m.group(1), 16)]),
                  field.encode("utf-8", "surrogateescape")).decode("utf-8", "surrogateescape")


class Observability(unittest.TestCase):
    def setUp(self):
        self.server = ServerFixture({"bob": ("secret", "bob", ALL),
                                     "quota": ("secret", "quota", ALL, 100 * KIB)})
        self.home = os.path.join(self.server.main, "bob")

    def tearDown(self):
        status = self.server.stop()
        journal = self.server.journal()
        self.server.close()
        self.assertEqual(status, 0, journal[-3000:])

    def login(self, user):
        ftp = self.server.client()
        ftp.login(user, "secret")
        return ftp

    def transfer_log(self):
        with open(self.server.transfer_log, encoding="utf-8", errors="surrogateescape") as f:
            return [line.rstrip("\n") for line in f]

    def test_every_transfer_is_one_line_of_the_transfer_log(self):
        ftp = self.login("bob")
        os.makedirs(self.home, exist_ok=True)
        with open(os.path.join(self.home, "two words.bin"), "wb") as f:
            f.write(os.urandom(300 * KIB))
        with open(os.path.join(self.home, "huge.bin"), "wb") as f:
            f.truncate(256 * 1024 * KIB)  # more than the sockets' buffers hold
        got = io.BytesIO()
        ftp.retrbinary("RETR two words.bin", got.write)
        self.assertEqual(got.tell(), 300 * KIB)
        ftp.storbinary("STOR up load.bin", io.BytesIO(os.urandom(200 * KIB)))
        # A download the client breaks off: it reads a little, then resets the connection.
        ftp.voidcmd("TYPE I")
        data = ftp.transfercmd("RETR huge.bin")
        self.assertGreater(len(data.recv(64 * KIB)), 0)
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        data.close()
        with self.assertRaises(ftplib.error_temp) as broken:
            ftp.getresp()
        self.assertTrue(str(broken.exception).startswith("426"), broken.exception)
        ftp.quit()
        # An upload the quota stops.
        quota = self.login("quota")
        with self.assertRaises(ftplib.error_perm) as stopped:
            quota.storbinary("STOR big.bin", io.BytesIO(os.urandom(300 * KIB)))
        self.assertTrue(str(stopped.exception).startswith("552"), stopped.exception)
        quota.quit()

        lines = self.transfer_log()
        self.assertEqual(len(lines), 4, lines)
        fields = []
        for line in lines:
            match = XFERLOG.match(line)
            self.assertIsNotNone(match, line)
            fields.append(match.groupdict())
        expected = [  # file, direction, user, status
            (os.path.join(self.home, "two words.bin"), "o", "bob", "c"),
            (os.path.join(self.home, "up load.bin"), "i", "bob", "c"),
            (os.path.join(self.home, "huge.bin"), "o", "bob", "i"),
            (os.path.join(self.server.main, "quota", "big.bin"), "i", "quota", "i"),
        ]
        for got_fields, (path, direction, user, status) in zip(fields, expected):
            self.assertEqual(decode(got_fields["file"]), os.path.realpath(path), got_fields)
            self.assertEqual((got_fields["direction"], got_fields["user"], got_fields["status"],
                              got_fields["host"], got_fields["type"]),
                             (direction, user, status, "127.0.0.1", "b"))
        self.assertNotIn(" ", fields[0]["file"])
        self.assertEqual(int(fields[0]["bytes"]), 300 * KIB)
        self.assertEqual(int(fields[1]["bytes"]), 200 * KIB)
        self.assertLess(int(fields[2]["bytes"]), 256 * 1024 * KIB)
        self.assertLess(int(fields[3]["bytes"]), 100 * KIB)
        journal = self.server.journal()
        self.assertRegex(journal, r"\(quota\): Upload of '[^']*big\.bin' by quota stopped at \d+ "
                                  r"bytes: over the quota")

    def test_refused_logins_say_why_in_the_journal_and_the_replies_stay(self):
        ftp = self.server.client()
        with self.assertRaises(ftplib.error_perm) as wrong:
            ftp.login("bob", "wrong")
        self.assertEqual(str(wrong.exception), "530 User (bob) is invalid, or incorrect password")
        with self.assertRaises(ftplib.error_perm) as anonymous:
            ftp.login("anonymous", "me@example.org")
        self.assertEqual(str(anonymous.exception),
                         "530 Anonymous access is not allowed in this server.")
        ftp.login("bob", "secret")
        ftp.quit()
        # The management server goes away: named logins are refused, and the log says why.
        link = self.server.peer.link
        self.server.peer.stop()
        link.shutdown(socket.SHUT_RDWR)
        wait_for(lambda: "Management link lost" in self.server.journal(), "the link's loss")
        link.close()
        ftp = self.server.client()
        with self.assertRaises(ftplib.error_perm) as down:
            ftp.login("bob", "secret")
        self.assertEqual(str(down.exception), "530 User (bob) is invalid, or incorrect password")
        ftp.close()

        journal = self.server.journal()
        for line in ["(127.0.0.1)(bob): Login of bob refused: the management server refused the "
                     "user name or password",
                     "(127.0.0.1)(anonymous): Login of anonymous refused: anonymous logins are "
                     "not served",
                     "(127.0.0.1)(bob): Login of bob accepted from 127.0.0.1",
                     "(127.0.0.1)(bob): Login of bob refused: the management link is down"]:
            self.assertIn(line + "\n", journal)


if __name__ == "__main__":
    unittest.main(verbosity=2)
