"""End-to-end upload integrity: no lost or mixed uploads with clients that open several
connections at once, over loopback against the built zelmftp, with Python's ftplib.

Usage: e2e_integrity_test.py BUILD_DIR
"""
import ftplib
import io
import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv.pop(1)
from zelm_fixture import ServerFixture, wait_for  # noqa: E402

KIB = 1024
ALL = 0x100000
QUOTA = 1000 * KIB
QUOTA_REPLY = "552 Command aborted; exceeded max storage allowed."
IN_USE = "550 'STOR shared.bin': File is in use by another transfer."


def read(path):
    with open(path, "rb") as f:
        return f.read()


def used_space(folder):
    return sum(os.lstat(os.path.join(top, name)).st_size
               for top, _, names in os.walk(folder) for name in names)


class Integrity(unittest.TestCase):
    def setUp(self):
        self.server = ServerFixture({"bob": ("secret", "bob", ALL),
                                     "quota": ("secret", "quota", ALL, QUOTA)})
        self.home = os.path.join(self.server.main, "bob")
        self.quota_home = os.path.join(self.server.main, "quota")

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

    def start_upload(self, ftp, command, data=b"", rest=None):
        """Opens an upload's data connection and sends `data` on it; the caller ends it."""
        conn = ftp.transfercmd(command, rest)
        if data:
            conn.sendall(data)
        return conn

    def stopped_upload(self, ftp, command, data, rest=None):
        """An upload the server stops at the quota: its final reply; the next command must be
        answered in step (one final reply, nothing after it)."""
        conn = ftp.transfercmd(command, rest)
        try:
            conn.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server closed the data connection at the limit
        conn.close()
        final = ftp.getline()
        self.assertEqual(ftp.sendcmd("NOOP"), "200 'NOOP': Command okay.")
        return final

    def close_control_and_wait_for_the_abort(self, ftp, conn):
        """Closes the control connection in the middle of an upload; the server's close of the
        data connection shows the upload was aborted and cleaned up."""
        ftp.sock.close()
        ftp.file.close()
        conn.settimeout(10)
        self.assertEqual(conn.recv(1), b"")
        conn.close()

    def test_closing_the_control_connection_right_after_each_upload_keeps_every_file(self):
        # Scripted clients end the data connection and close the control connection without
        # waiting for the final reply: each upload had ended cleanly and must stay.
        payloads = {}
        for i in range(20):
            name = "up%02d.bin" % i
            payloads[name] = os.urandom((64 + 37 * i) * KIB + i)
            ftp = self.login()
            conn = self.start_upload(ftp, "STOR " + name, payloads[name])
            conn.close()
            ftp.sock.close()
            ftp.file.close()

        def all_written():
            return all(os.path.exists(os.path.join(self.home, n)) and
                       os.path.getsize(os.path.join(self.home, n)) == len(p)
                       for n, p in payloads.items())
        wait_for(all_written, "every upload on disk")
        for name, payload in payloads.items():
            self.assertEqual(read(os.path.join(self.home, name)), payload, name)

    def test_a_file_has_one_writer_and_is_neither_deleted_nor_renamed_while_open(self):
        old = os.urandom(300 * KIB)
        os.makedirs(self.home, exist_ok=True)
        with open(os.path.join(self.home, "shared.bin"), "wb") as f:
            f.write(old)
        with open(os.path.join(self.home, "other.bin"), "wb") as f:
            f.write(b"other")
        writer, second = self.login(), self.login()
        appended = os.urandom(100 * KIB)
        conn = self.start_upload(writer, "APPE shared.bin", appended)
        wait_for(lambda: os.path.getsize(os.path.join(self.home, "shared.bin")) > len(old),
                 "the first writer's bytes")
        for command in ("STOR", "APPE"):
            with self.assertRaises(ftplib.error_perm) as refusal:
                second.transfercmd(command + " shared.bin")
            self.assertEqual(str(refusal.exception), IN_USE.replace("STOR", command))
        for command in ("DELE shared.bin", "RNFR shared.bin"):
            with self.assertRaises(ftplib.error_perm) as refusal:
                second.sendcmd(command)
            self.assertEqual(str(refusal.exception),
                             "550 '%s': File is in use by a transfer." % command)
        second.sendcmd("RNFR other.bin")
        with self.assertRaises(ftplib.error_perm) as refusal:
            second.sendcmd("RNTO shared.bin")
        self.assertTrue(str(refusal.exception).startswith("550 "), refusal.exception)
        # Readers are never refused, not even while the file is written.
        got = io.BytesIO()
        second.retrbinary("RETR shared.bin", got.write)
        self.assertEqual(got.getvalue()[:len(old)], old)
        conn.close()
        self.assertEqual(writer.getline(), "226 Transfer complete.")
        self.assertEqual(read(os.path.join(self.home, "shared.bin")), old + appended)
        self.assertEqual(read(os.path.join(self.home, "other.bin")), b"other")
        # The hold went with the transfer.
        second.storbinary("STOR shared.bin", io.BytesIO(b"new"))
        second.delete("shared.bin")
        writer.quit()
        second.quit()

    def test_two_sessions_of_one_account_share_the_quota(self):
        first, second = self.login("quota"), self.login("quota")
        # One after the other: what the first session stored counts for the second.
        second.storbinary("STOR a.bin", io.BytesIO(os.urandom(100 * KIB)))
        first.storbinary("STOR b.bin", io.BytesIO(os.urandom(500 * KIB)))
        self.assertEqual(self.stopped_upload(second, "STOR c.bin", os.urandom(500 * KIB)),
                         QUOTA_REPLY)
        self.assertFalse(os.path.exists(os.path.join(self.quota_home, "c.bin")))
        # A delete in one session frees space for the other.
        first.delete("b.bin")
        second.storbinary("STOR c.bin", io.BytesIO(os.urandom(500 * KIB)))
        second.delete("a.bin")
        second.delete("c.bin")

        # At the same time: 700 KiB each against 1000 KiB; never more than the quota on disk,
        # and what stays is byte-exact.
        payloads = [os.urandom(700 * KIB), os.urandom(700 * KIB)]
        replies = [None, None]

        def upload(index, ftp):
            try:
                replies[index] = ftp.storbinary("STOR same%d.bin" % index,
                                                io.BytesIO(payloads[index]), 16 * KIB)
            except (ftplib.error_perm, OSError) as error:
                replies[index] = str(error) if isinstance(error, ftplib.Error) else ftp.getline()
        threads = [threading.Thread(target=upload, args=(i, f))
                   for i, f in enumerate((first, second))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertIn(QUOTA_REPLY, replies)
        self.assertLessEqual(used_space(self.quota_home), QUOTA)
        for index, reply in enumerate(replies):
            path = os.path.join(self.quota_home, "same%d.bin" % index)
            if reply == "226 Transfer complete.":
                self.assertEqual(read(path), payloads[index])
            else:
                self.assertEqual(reply, QUOTA_REPLY)
                self.assertFalse(os.path.exists(path))
        first.quit()
        second.quit()

    def test_the_quota_counts_every_level_of_the_home(self):
        deep = os.path.join(self.quota_home, *(["d"] * 258))
        os.makedirs(deep)
        with open(os.path.join(deep, "bottom.bin"), "wb") as f:
            f.write(os.urandom(900 * KIB))
        ftp = self.login("quota")
        self.assertEqual(self.stopped_upload(ftp, "STOR top.bin", os.urandom(200 * KIB)),
                         QUOTA_REPLY)
        self.assertFalse(os.path.exists(os.path.join(self.quota_home, "top.bin")))
        ftp.storbinary("STOR top.bin", io.BytesIO(os.urandom(50 * KIB)))
        ftp.quit()

    def test_a_refused_or_failed_overwrite_keeps_the_old_file(self):
        os.makedirs(self.quota_home, exist_ok=True)
        old = os.urandom(600 * KIB)
        with open(os.path.join(self.quota_home, "old.bin"), "wb") as f:
            f.write(old)
        ftp = self.login("quota")
        # The temporary counts while it exists: 600 KiB more do not fit beside the old file.
        self.assertEqual(self.stopped_upload(ftp, "STOR old.bin", os.urandom(600 * KIB)),
                         QUOTA_REPLY)
        self.assertEqual(read(os.path.join(self.quota_home, "old.bin")), old)
        # Cut off in the middle (the client leaves with the data connection open): the same.
        conn = self.start_upload(ftp, "STOR old.bin", os.urandom(100 * KIB))
        self.close_control_and_wait_for_the_abort(ftp, conn)
        self.assertEqual(read(os.path.join(self.quota_home, "old.bin")), old)
        self.assertEqual(os.listdir(self.quota_home), ["old.bin"])  # no temporary left
        # While an overwrite runs, listings show the old file only and the temporary cannot
        # be named; once it completed, the new contents replace the old in one step.
        ftp, watcher = self.login("quota"), self.login("quota")
        new = os.urandom(300 * KIB)
        conn = self.start_upload(ftp, "STOR old.bin", new[:100 * KIB])
        wait_for(lambda: len(os.listdir(self.quota_home)) == 2, "the temporary file", 3)
        temporary = [n for n in os.listdir(self.quota_home) if n != "old.bin"][0]
        self.assertTrue(temporary.startswith(".zelm-upload-"), temporary)
        self.assertEqual(watcher.nlst(), ["old.bin"])
        for command in ("RETR ", "DELE ", "RNFR ", "SIZE "):
            with self.assertRaises(ftplib.error_perm):
                watcher.sendcmd(command + temporary)
        self.assertEqual(read(os.path.join(self.quota_home, "old.bin")), old)
        conn.sendall(new[100 * KIB:])
        conn.close()
        self.assertEqual(ftp.getline(), "226 Transfer complete.")
        self.assertEqual(read(os.path.join(self.quota_home, "old.bin")), new)
        self.assertEqual(os.listdir(self.quota_home), ["old.bin"])
        # The ledger let go of the old file's 600 KiB: 650 KiB more fit now.
        ftp.storbinary("STOR more.bin", io.BytesIO(os.urandom(650 * KIB)))
        ftp.quit()
        watcher.quit()

    def test_an_aborted_upload_keeps_what_was_there_before_it(self):
        os.makedirs(self.home, exist_ok=True)
        old = os.urandom(1000)
        for name in ("rest.bin", "append.bin", "resumed.bin"):
            with open(os.path.join(self.home, name), "wb") as f:
                f.write(old)
        # Aborted before any data (the control connection closes, the data connection is
        # still open): a restart offset does not cut the file, nor does an append.
        for command, rest in (("STOR rest.bin", 500), ("APPE append.bin", None)):
            ftp = self.login()
            conn = self.start_upload(ftp, command, rest=rest)
            self.close_control_and_wait_for_the_abort(ftp, conn)
        # Resumed, then cut off in the middle: the first 500 bytes stay.
        ftp = self.login()
        conn = self.start_upload(ftp, "STOR resumed.bin", b"x" * 300, rest=500)
        wait_for(lambda: os.path.getsize(os.path.join(self.home, "resumed.bin")) == 800,
                 "the resumed bytes")
        self.close_control_and_wait_for_the_abort(ftp, conn)
        self.assertEqual(read(os.path.join(self.home, "rest.bin")), old)
        self.assertEqual(read(os.path.join(self.home, "append.bin")), old)
        self.assertEqual(read(os.path.join(self.home, "resumed.bin")), old[:500])


if __name__ == "__main__":
    unittest.main(verbosity=2)
