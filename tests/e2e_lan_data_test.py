"""End-to-end: data connections on a hostile café LAN; 127.0.0.2 plays another PC.

Usage: e2e_lan_data_test.py BUILD_DIR
"""
import ftplib
import os
import re
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from zelm_fixture import BUILD, ServerFixture  # noqa: E402

ATTACKER = "127.0.0.2"


def passive_port(ftp):
    reply = ftp.sendcmd("PASV")
    numbers = [int(n) for n in re.search(r"\((\d+(?:,\d+){5})\)", reply).group(1).split(",")]
    return numbers[4] * 256 + numbers[5], reply


def connect(port, source="127.0.0.1"):
    s = socket.socket()
    s.settimeout(20)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_all(s):
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk
    except ConnectionResetError:
        return data


class PassiveConnections(unittest.TestCase):
    def setUp(self):
        self.server = ServerFixture()
        self.ftp = self.server.client()
        self.ftp.login("bob", "secret")
        self.ftp.sendcmd("TYPE I")
        self.home = os.path.join(self.server.main, "bob")
        self.secret = os.urandom(100000)
        with open(os.path.join(self.home, "secret.bin"), "wb") as f:
            f.write(self.secret)

    def tearDown(self):
        self.ftp.close()
        self.server.close()

    def test_another_pc_that_connects_first_gets_nothing_and_gives_nothing(self):
        port, _ = passive_port(self.ftp)
        thief = connect(port, ATTACKER)
        data = connect(port)
        self.ftp.putcmd("RETR secret.bin")
        self.assertRegex(self.ftp.getresp(), "^1(25|50) ")
        self.assertEqual(read_all(data), self.secret)
        data.close()
        self.assertTrue(self.ftp.getresp().startswith("226"))
        self.assertEqual(read_all(thief), b"")
        thief.close()

        port, _ = passive_port(self.ftp)
        poisoner = connect(port, ATTACKER)
        poisoner.sendall(b"poison" * 1000)
        data = connect(port)
        self.ftp.putcmd("STOR upload.bin")
        self.assertRegex(self.ftp.getresp(), "^1(25|50) ")
        data.sendall(b"mine" * 1000)
        data.close()
        self.assertTrue(self.ftp.getresp().startswith("226"))
        poisoner.close()
        with open(os.path.join(self.home, "upload.bin"), "rb") as f:
            self.assertEqual(f.read(), b"mine" * 1000)
        self.assertIn("Data connection from 127.0.0.2 refused: not this client",
                      self.server.journal())

    def test_passive_ports_follow_no_sequence_and_the_reply_address_can_be_set(self):
        ports = [passive_port(self.ftp)[0] for _ in range(20)]
        self.assertGreater(len(set(ports)), 15)
        self.assertFalse(all(b == a + 1 for a, b in zip(ports, ports[1:])))
        self.assertTrue(all(port >= 1500 for port in ports))
        subprocess.run([os.path.join(BUILD, "zelmftpctl"), "settings", "set-string",
                        "Passive Address", "192.0.2.7"], env=self.server.env, check=True)
        self.assertIn("(192,0,2,7,", passive_port(self.ftp)[1])

    def test_a_new_login_forgets_the_restart_offset(self):
        self.assertTrue(self.ftp.sendcmd("REST 6").startswith("350"))
        self.assertTrue(self.ftp.sendcmd("REIN").startswith("220"))
        self.ftp.login("bob", "secret")
        received = []
        self.ftp.retrbinary("RETR secret.bin", received.append)
        self.assertEqual(b"".join(received), self.secret)


if __name__ == "__main__":
    unittest.main()
