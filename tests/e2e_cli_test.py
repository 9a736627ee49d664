"""End-to-end: the command lines of the built zelmftpctl, zelm-mserver and zelmftp, as an
administrator meets them: versions, help, refusals with their exit status and message, and
the manual pages that describe them.

Usage: e2e_cli_test.py BUILD_DIR
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def project_version():
    with open(os.path.join(TOP, "CMakeLists.txt")) as f:
        return re.search(r"project\(\w+ VERSION ([0-9.]+)", f.read()).group(1)


def usage_commands(usage, section):
    """The command words of a usage text's section: lines of two blanks and a lower-case word,
    up to the next blank line."""
    text = usage.split(section, 1)[1].split("\n\n", 1)[0]
    return sorted({m.group(1) for m in re.finditer(r"^  ([a-z][a-z-]*)", text, re.M)})


class Tool:
    """One program with a private settings store and account database."""

    def __init__(self, root):
        self.root = root
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("ZELM_MSERVER_", "ZELMFTP_"))}
        self.env["ZELMFTP_SETTINGS"] = os.path.join(root, "settings.db")
        self.env["ZELM_MSERVER_DB"] = os.path.join(root, "ms", "accounts.db")

    def run(self, program, *args, stdin=""):
        return subprocess.run([os.path.join(BUILD, program)] + list(args), env=self.env,
                              input=stdin, capture_output=True, text=True, timeout=60)


class WithTool(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zelm-cli-")
        self.tool = Tool(self.folder.name)

    def tearDown(self):
        self.folder.cleanup()

    def expect(self, result, status, text, where="stderr"):
        shown = getattr(result, where)
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        self.assertIn(text, shown)
        return shown

    def ctl(self, *args):
        return self.tool.run("zelmftpctl", *args)

    def ms(self, *args, password=None):
        return self.tool.run("zelm-mserver", *args,
                             stdin="" if password is None else password + "\n")


class VersionsAndHelp(WithTool):
    def test_every_program_tells_the_project_version(self):
        version = project_version()
        for program in ("zelmftp", "zelmftpctl", "zelm-mserver"):
            with self.subTest(program=program):
                result = self.tool.run(program, "--version")
                self.assertEqual((result.returncode, result.stdout),
                                 (0, "%s %s\n" % (program, version)))
                usage = self.tool.run(program, "--help")
                self.assertEqual(usage.returncode, 0, usage.stderr)
                self.assertNotIn("1.00", usage.stdout)

    def test_each_command_has_its_help_and_bad_usage_exits_2(self):
        usage = self.expect(self.ctl("--help"), 0, "Usage: zelmftpctl", "stdout")
        commands = usage_commands(usage, "Commands:\n")
        self.assertEqual(commands, sorted(
            ["status", "activate", "stop", "log", "console", "sessions", "kick", "bans", "ban",
             "unban", "admin-password", "settings", "tls"]))
        for command in commands + ["deactivate"]:
            with self.subTest(command=command):
                result = self.ctl(command, "--help")
                self.expect(result, 0, "usage: zelmftpctl", "stdout")
                self.assertIn(command, result.stdout.splitlines()[0])
                self.assertEqual(result.stderr, "")
        for args in ([], ["frobnicate"], ["--settings"], ["settings", "frob"]):
            with self.subTest(args=args):
                self.expect(self.ctl(*args), 2, "Usage: zelmftpctl" if len(args) < 2 else "usage")

        usage = self.expect(self.ms("--help"), 0, "Usage: zelm-mserver", "stdout")
        for section in ("The daemon:\n", "Administration", "The running daemon:\n"):
            for command in usage_commands(usage, section):
                with self.subTest(command=command):
                    self.expect(self.ms(command, "--help"), 0, "usage: zelm-mserver", "stdout")
        for group, verb in (("user", "add"), ("user", "set"), ("rule", "add"), ("config", "set")):
            self.expect(self.ms(group, verb, "--help"), 0, "%s %s" % (group, verb), "stdout")
        self.expect(self.ms("user", "add", "--help"), 0, "5G = 5 GiB", "stdout")
        self.expect(self.ms("user", "add", "--help"), 0, "KiB/s", "stdout")
        self.expect(self.ms("frobnicate"), 2, "Usage: zelm-mserver")
        self.expect(self.ms(), 2, "Usage: zelm-mserver")
        # Help never touched a database.
        self.assertFalse(os.path.exists(os.path.join(self.folder.name, "ms")))
        self.assertFalse(os.path.exists(os.path.join(self.folder.name, "settings.db")))


class Settings(WithTool):
    def test_names_and_values_the_server_cannot_use_are_refused(self):
        cases = [
            (["set-dword", "Maxx Connection", "10"], 'did you mean "Max Connection"?'),
            (["set-dword", "ServicePort", "70000"], "from 1 to 65535"),
            (["set-string", "Main Path", "srv/ftp"], "absolute path"),
            (["set-string", "Main Path", "/srv/../etc"], '".."'),
            (["set-string", "Max Connection", "10"], "use set-dword"),
            (["set-dword", "Main Path", "10"], "use set-string"),
        ]
        for args, says in cases:
            with self.subTest(args=args):
                self.expect(self.ctl("settings", *args), 2, says)
        self.assertFalse(os.path.exists(os.path.join(self.folder.name, "settings.db")))
        self.expect(self.ctl("settings", "get", "Maxx Connection"), 1, "did you mean")
        self.expect(self.ctl("settings", "set-dword", "--force", "Maxx Connection", "10"), 0, "")
        self.expect(self.ctl("settings", "get", "Maxx Connection"), 0, "10", "stdout")

    def test_lists_show_addresses_dotted_and_list_all_the_values_in_effect(self):
        for args in (["set-dword", "MServer IP", "127.0.0.1"], ["set-dword", "ServiceIP", "10.0.0.5"],
                     ["set-dword", "Max Connection", "0"]):
            self.expect(self.ctl("settings", *args), 0, "")
        listed = self.expect(self.ctl("settings", "list"), 0, "MServer IP\tdword\t127.0.0.1\n",
                             "stdout")
        self.assertIn("ServiceIP\tdword\t10.0.0.5\n", listed)
        self.expect(self.ctl("settings", "get", "mserver ip"), 0, "127.0.0.1\n", "stdout")
        every = self.expect(self.ctl("settings", "list", "--all"), 0,
                            "NAME\tKIND\tSTORED\tDEFAULT\tEFFECTIVE\n", "stdout")
        self.assertIn("Max Connection\tdword\t0\t50\t4096\n", every)
        self.assertIn("ServicePort\tdword\t-\t21\t21\n", every)
        self.assertIn("MServer IP\tdword\t127.0.0.1\t0.0.0.0\t127.0.0.1\n", every)


class Accounts(WithTool):
    def add(self, name, *options, password="pw"):
        return self.ms("user", "add", name, "--password-stdin", *options, password=password)

    def test_accounts_that_cannot_work_are_refused_with_a_sentence(self):
        for name, home, password, says in (
                ("bob", "../../etc", "pw", "climb"),
                ("bob", "/etc", "pw", "not absolute"),
                ("bob", "a\\..\\..\\x", "pw", "climb"),
                ("bob", "bob", "", "no password"),
                ("anonymous", "anon", "pw", "anonymous login"),
                ("ANONYMOUS", "anon", "pw", "anonymous login"),
                ("b" * 65, "bob", "pw", "at most 64 bytes")):
            with self.subTest(name=name, home=home):
                self.expect(self.add(name, "--home", home, password=password), 2, says)
        self.assertFalse(os.path.exists(os.path.join(self.folder.name, "ms")))

        self.expect(self.add("bob", "--home", "bob", "--quota", "5G", "--bandwidth", "512"), 0, "")
        duplicate = self.expect(self.add("Bob", "--home", "bob2"), 1,
                                "zelm-mserver: user Bob exists already\n")
        self.assertNotIn("UNIQUE", duplicate)
        self.expect(self.ms("user", "list"), 0, "quota=5368709120\tbandwidth=512", "stdout")
        self.expect(self.ms("rule", "add", "amy", "/srv/amy", "all"), 1, "no user named amy")

    def test_commands_that_only_read_never_create_a_database(self):
        typo = os.path.join(self.folder.name, "typo", "acounts.db")
        for args in (["user", "list"], ["rule", "list"], ["config", "show"],
                     ["user", "del", "bob"], ["user", "set", "bob", "--disable"]):
            with self.subTest(args=args):
                self.expect(self.ms("--db", typo, *args), 1, "no database at " + typo)
        self.assertFalse(os.path.exists(os.path.dirname(typo)))

    def test_kick_without_a_daemon_says_so(self):
        self.expect(self.ms("kick", "nosuchuser"), 1, "does not answer")


class ManualPages(unittest.TestCase):
    SOURCES = os.path.join(TOP, "doc", "man")

    def page(self, name):
        with open(os.path.join(self.SOURCES, name + ".md")) as f:
            return f.read()

    def test_each_page_has_the_sections_an_administrator_looks_for(self):
        for name in ("zelmftp.8", "zelmftpctl.1", "zelm-mserver.8"):
            text = self.page(name)
            title = name.split(".")[0].upper()
            self.assertTrue(text.startswith("%% %s(%s)" % (title, name.split(".")[1])), name)
            for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "FILES", "ENVIRONMENT",
                            "EXIT STATUS", "SEE ALSO"):
                self.assertIn("\n# %s\n" % section, text, name)
            self.assertIn("--version", text.replace("\\-", "-"), name)

    def test_the_pages_name_every_command_the_programs_offer(self):
        tool = Tool(tempfile.gettempdir())
        ctl = tool.run("zelmftpctl", "--help").stdout
        page = self.page("zelmftpctl.1")
        for command in usage_commands(ctl, "Commands:\n") + ["deactivate"]:
            self.assertIn("**%s" % command, page, command)
        ms = tool.run("zelm-mserver", "--help").stdout
        page = self.page("zelm-mserver.8")
        for section in ("The daemon:\n", "Administration", "The running daemon:\n"):
            for command in usage_commands(ms, section):
                self.assertIn("**%s" % command, page, command)
        page = self.page("zelmftp.8")
        for switch in ("/I", "/R", "install", "remove", "\\-\\-help", "\\-\\-version"):
            self.assertIn("**%s**" % switch, page, switch)

    def test_rendered_pages_carry_the_version(self):
        rendered = os.path.join(BUILD, "man")
        if not os.path.isdir(rendered):
            self.skipTest("pandoc was not found at configure time: no pages rendered")
        for name in ("zelmftp.8", "zelmftpctl.1", "zelm-mserver.8"):
            with open(os.path.join(rendered, name)) as f:
                text = f.read()
            self.assertIn('.TH "%s"' % name.split(".")[0].upper(), text)
            self.assertIn("ZelmFTP " + project_version(), text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
