"""End-to-end: the built zelmftp, a scripted management server and Python's ftplib.

Usage: e2e_login_test.py BUILD_DIR
"""
import ftplib
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from zelm_fixture import ServerFixture  # noqa: E402


class LoginAndDirectoryCommands(unittest.TestCase):
    extensions = 1  # the default

    def setUp(self):
        self.server = ServerFixture(dwords={"Extensions": self.extensions})

    def tearDown(self):
        self.server.close()

    def test_session_with_exact_replies(self):
        ftp = self.server.client()
        self.assertEqual(ftp.getwelcome(), "220 Service ready for new user.")
        self.assertEqual(ftp.sendcmd("USER bob"), "331 Password required for user bob")
        self.assertEqual(ftp.sendcmd("PASS secret"), "230 bob user logged in.")
        self.assertEqual(ftp.sendcmd("PWD"), '257 "/" is the current directory.')
        self.assertEqual(ftp.sendcmd("MKD games"), '257 "games" Directory created successfully')
        self.assertTrue(os.path.isdir(os.path.join(self.server.main, "bob", "games")))
        self.assertEqual(ftp.sendcmd("CWD games"), "250 CWD command successful.")
        self.assertEqual(ftp.sendcmd("PWD"), '257 "/games/" is the current directory.')
        self.assertEqual(ftp.sendcmd("CWD /"), "250 CWD command successful.")
        self.assertEqual(ftp.sendcmd("RMD games"), "250 'RMD': Command okay.")
        help_text = ftp.sendcmd("HELP")
        self.assertEqual(len(help_text.split("\n")), 42)
        self.assertEqual(help_text.split("\n")[-1], "214 HELP command successful.")
        self.assertEqual(ftp.sendcmd("HELP CWD"), "214 Syntax: CWD [ <sp> directory-name ]")
        self.assertEqual(ftp.sendcmd("SYST"), "215 Windows_NT")
        self.assertEqual(ftp.sendcmd("NOOP"), "200 'NOOP': Command okay.")
        self.assertEqual(ftp.quit(), "221 Thank you for using Zelmar FTP Service")
        with self.assertRaises(ftplib.error_perm) as refused:
            self.server.client().login("bob", "wrong")
        self.assertEqual(str(refused.exception), "530 User (bob) is invalid, or incorrect password")
        journal = self.server.journal()
        self.assertIn("(127.0.0.1)(bob): PASS ******", journal)
        self.assertNotIn("secret", journal)
        self.assertNotIn("wrong", journal)

    def test_client_bytes_cannot_forge_log_lines_or_show_a_password(self):
        import socket
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as raw:
            reader = raw.makefile("rb")
            reader.readline()  # 220
            raw.sendall(b"USER ev\nil\x1b[2Jname\r\n")
            self.assertTrue(reader.readline().startswith(b"331 "))
            raw.sendall(b"PASS top\x00secret\r\n")
            reply = reader.readline()
            self.assertNotIn(b"secret", reply)
        lines = [line for line in self.server.journal().splitlines() if "ev" in line]
        self.assertIn("(127.0.0.1)(<Not logged>): USER ev\\x0ail\\x1b[2Jname", lines)
        self.assertEqual(len([line for line in lines if "USER ev" in line]), 1)
        self.assertFalse(any(line.startswith("il") for line in self.server.journal().splitlines()))
        self.assertNotIn("\x1b", self.server.journal())
        self.assertNotIn("secret", self.server.journal())

    def shutdown_on(self, signal_number):
        ftp = self.server.client()
        ftp.login("bob", "secret")
        started = time.time()
        self.server.process.send_signal(signal_number)
        self.assertEqual(self.server.process.wait(timeout=5), 0)
        self.assertLess(time.time() - started, 5)
        self.assertEqual(ftp.getline(), "421 Terminating connection.")
        with self.assertRaises(EOFError):  # and the connection is closed
            ftp.getline()
        deadline = time.time() + 5
        while not any(p[0] == "closed" for p in self.server.peer.received()):
            self.assertLess(time.time(), deadline, "the management link stayed open")
            time.sleep(0.02)

    def test_sigterm_ends_every_session_and_the_link(self):
        self.shutdown_on(signal.SIGTERM)

    def test_sigint_ends_every_session_and_the_link(self):
        self.shutdown_on(signal.SIGINT)



class LoginAndDirectoryCommandsWithoutExtensions(LoginAndDirectoryCommands):
    """The same replies, to the byte, with the original command table ("Extensions" 0)."""
    extensions = 0


if __name__ == "__main__":
    unittest.main(verbosity=2)
