"""The Debian package, built from BUILD_DIR by scripts/package: its files, its version, what
lintian says of it, its units as systemd reads them (systemd-analyze verify against the
unpacked tree, and the exposure score of zelmftp.service), its service user and folders, its
maintainer scripts on this machine (as root: dpkg in a throwaway copy of the system, an
overlay in a mount namespace of the test's own), and the packaged zelmftp serving a session
within what the unit allows it (its system calls, socket families and writable folders
recorded with strace; as root: port 21 in a network namespace of the test's own, as a plain
user holding nothing but CAP_NET_BIND_SERVICE).

Usage: package_test.py BUILD_DIR
"""
import ftplib
import gzip
import http.client
import io
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from mserver_peer import ManagementPeer  # noqa: E402
from zelm_fixture import ReusingFtpTls  # noqa: E402

ALL = 0x100000
MAX_EXPOSURE = 2.5
# What the unit allows: the names its SystemCallFilter= lines expand to, the address families
# of RestrictAddressFamilies=, the folders ProtectSystem=strict leaves writable.
SYSCALL_FILTER = "@system-service"
SYSCALL_DENIED = ("@privileged", "@resources")
FAMILIES = {"AF_INET", "AF_INET6", "AF_UNIX", "AF_NETLINK"}
MAN_PAGES = ("zelmftp.8", "zelmftpctl.1", "zelm-mserver.8")


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


def project_version():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(), re.M).group(1)


def expected_files():
    """Each file of the package with its mode."""
    files = {
        "/usr/sbin/zelmftp": "-rwxr-xr-x",
        "/usr/sbin/zelm-mserver": "-rwxr-xr-x",
        "/usr/bin/zelmftpctl": "-rwxr-xr-x",
        "/lib/systemd/system/zelmftp.service": "-rw-r--r--",
        "/lib/systemd/system/zelm-mserver.service": "-rw-r--r--",
        "/usr/lib/sysusers.d/zelmftp.conf": "-rw-r--r--",
        "/usr/lib/tmpfiles.d/zelmftp.conf": "-rw-r--r--",
        "/usr/share/doc/zelmftp/copyright": "-rw-r--r--",
        "/usr/share/doc/zelmftp/changelog.gz": "-rw-r--r--",
    }
    # Every page whose source is in the tree.
    for page in MAN_PAGES:
        if os.path.exists(os.path.join(TOP, "doc", "man", page + ".md")):
            files["/usr/share/man/man%s/%s.gz" % (page[-1], page)] = "-rw-r--r--"
    return files


def allowed_lintian_tags():
    """The tags packaging/lintian-allowed explains, each with its reason."""
    allowed = {}
    with open(os.path.join(TOP, "packaging", "lintian-allowed")) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                tag, _, reason = line.partition(" ")
                allowed[tag] = reason.strip()
    return allowed


def syscall_groups():
    """systemd-analyze's groups of system calls: name -> members (names and @groups)."""
    listed = run(["systemd-analyze", "syscall-filter"]).stdout
    groups, current = {}, None
    for line in listed.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), set())
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.add(line.strip())
    return groups


def expand(group, groups):
    names = set()
    for member in groups.get(group, ()):
        names |= expand(member, groups) if member.startswith("@") else {member}
    return names


def allowed_syscalls():
    groups = syscall_groups()
    allowed = expand(SYSCALL_FILTER, groups)
    for denied in SYSCALL_DENIED:
        allowed -= expand(denied, groups)
    return allowed


PACKAGE = {}


def setUpModule():
    if "root" in PACKAGE:
        return  # unpacked already (the run inside the network namespace)
    made = run([os.path.join(TOP, "scripts", "package"), BUILD])
    if made.returncode != 0:
        raise RuntimeError("scripts/package failed:\n" + made.stdout + made.stderr)
    PACKAGE["deb"] = made.stdout.strip().splitlines()[-1]
    PACKAGE["folder"] = tempfile.mkdtemp(prefix="zelm-package-")
    PACKAGE["root"] = os.path.join(PACKAGE["folder"], "root")
    subprocess.run(["dpkg-deb", "-x", PACKAGE["deb"], PACKAGE["root"]], check=True)


def tearDownModule():
    if "folder" in PACKAGE:
        shutil.rmtree(PACKAGE["folder"])


class Contents(unittest.TestCase):
    def test_files_modes_and_one_version(self):
        version = project_version()
        self.assertEqual(os.path.basename(PACKAGE["deb"]), "zelmftp_%s_amd64.deb" % version)
        listed = run(["dpkg-deb", "-c", PACKAGE["deb"]]).stdout.splitlines()
        files = {}
        for line in listed:
            fields = line.split()
            mode, owner, path = fields[0], fields[1], fields[-1]
            self.assertEqual(owner, "root/root", line)
            if not mode.startswith("d"):
                files[path[1:]] = mode
            else:
                self.assertEqual(mode, "drwxr-xr-x", line)
        self.assertEqual(files, expected_files())

        fields = {name: run(["dpkg-deb", "-f", PACKAGE["deb"], name]).stdout.strip()
                  for name in ("Package", "Version", "Architecture", "Depends")}
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"]),
                         ("zelmftp", version, "amd64"))
        for needed in ("systemd", "init-system-helpers", "libssl3", "libsqlite3-0",
                       "libsystemd0"):
            self.assertRegex(fields["Depends"], r"(^|, )%s\b" % re.escape(needed))
        # One version everywhere: the package, each program, the changelog's last entry.
        root = PACKAGE["root"]
        for program in ("usr/sbin/zelmftp", "usr/bin/zelmftpctl", "usr/sbin/zelm-mserver"):
            shown = run([os.path.join(root, program), "--version"])
            self.assertEqual((shown.returncode, shown.stdout.split()[-1]), (0, version), program)
        with gzip.open(os.path.join(root, "usr/share/doc/zelmftp/changelog.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith("zelmftp (%s) " % version))
        # The package's unit is the tree's, the one zelmftp /I writes for these paths.
        with open(os.path.join(root, "lib/systemd/system/zelmftp.service")) as f, \
                open(os.path.join(TOP, "packaging", "zelmftp.service")) as g:
            self.assertEqual(f.read(), g.read())

    def test_lintian_reports_nothing_unexplained(self):
        allowed = allowed_lintian_tags()
        for tag, reason in allowed.items():
            self.assertTrue(reason, "packaging/lintian-allowed: %s has no reason" % tag)
        said = run(["lintian", "--pedantic", "--display-info", PACKAGE["deb"]])
        self.assertIn(said.returncode, (0, 1, 2), said.stderr)
        unexplained = []
        for line in said.stdout.splitlines():
            match = re.match(r"^([EWIPX]): \S+: (\S+)", line)
            if not match:
                continue
            print("lintian: " + line, file=sys.stderr)
            kind, tag = match.groups()
            if kind == "E" or (kind == "W" and tag not in allowed):
                unexplained.append(line)
        self.assertEqual(unexplained, [])

    def test_units_verify_in_the_unpacked_tree(self):
        # systemd-analyze verify --root reads the units as systemd would there: the programs
        # they start and their manual pages must be in the tree, and the targets they name;
        # those come from this machine's systemd.
        root = os.path.join(PACKAGE["folder"], "verify")
        shutil.copytree(PACKAGE["root"], root, symlinks=True)
        for name in os.listdir("/lib/systemd/system"):
            target = os.path.join(root, "lib/systemd/system", name)
            if not os.path.lexists(target):
                source = os.path.join("/lib/systemd/system", name)
                if os.path.isdir(source) and not os.path.islink(source):
                    shutil.copytree(source, target, symlinks=True)
                else:
                    shutil.copy2(source, target, follow_symlinks=False)
        env = dict(os.environ, MANPATH=os.path.join(root, "usr/share/man"))
        verified = run(["systemd-analyze", "verify", "--root=" + root, "zelmftp.service",
                        "zelm-mserver.service"], env=env)
        # Unknown keys and other complaints are only printed: any line fails.
        self.assertEqual((verified.returncode, verified.stdout + verified.stderr), (0, ""))

    def test_zelmftp_unit_exposure_is_low(self):
        unit = os.path.join(PACKAGE["root"], "lib/systemd/system/zelmftp.service")
        report = run(["systemd-analyze", "security", "--offline=yes", unit])
        score = re.search(r"Overall exposure level for zelmftp\.service: ([0-9.]+)",
                          report.stdout)
        self.assertIsNotNone(score, report.stdout + report.stderr)
        print("systemd-analyze security: zelmftp.service %s" % score.group(1), file=sys.stderr)
        self.assertLessEqual(float(score.group(1)), MAX_EXPOSURE, report.stdout)

    def test_sysusers_and_tmpfiles_make_the_user_and_folders(self):
        root = os.path.join(PACKAGE["folder"], "users")
        shutil.copytree(PACKAGE["root"], root, symlinks=True)
        os.makedirs(os.path.join(root, "etc"))
        made = run(["systemd-sysusers", "--root=" + root])
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(os.path.join(root, "etc/passwd")) as f:
            users = {line.split(":")[0]: line.strip().split(":") for line in f}
        user = users["zelmftp"]
        self.assertEqual((user[5], user[6]), ("/var/lib/zelmftp", "/usr/sbin/nologin"))
        self.assertLess(int(user[2]), 1000)  # a system user
        if os.geteuid() != 0:
            return  # the folders' owners can be set by root only
        created = run(["systemd-tmpfiles", "--root=" + root, "--create", "zelmftp.conf"])
        self.assertEqual(created.returncode, 0, created.stderr)
        for folder, mode in (("srv/zelmftp", 0o750), ("var/lib/zelmftp", 0o700)):
            status = os.stat(os.path.join(root, folder))
            self.assertEqual((stat.S_IMODE(status.st_mode), status.st_uid),
                             (mode, int(user[2])), folder)

    def test_maintainer_scripts_are_valid_shell(self):
        folder = os.path.join(PACKAGE["folder"], "control")
        subprocess.run(["dpkg-deb", "-e", PACKAGE["deb"], folder], check=True)
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(folder, script)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o755, script)
            checked = run(["sh", "-n", path])
            self.assertEqual(checked.returncode, 0, checked.stderr)


# The throwaway system: this machine's file tree under an overlay whose changes live in a
# tmpfs of a mount namespace that ends with the script; dpkg runs in a chroot there. Each step
# prints a line "== NAME" before its output.
IN_A_COPY_OF_THE_SYSTEM = r"""
set -e
mount -t tmpfs tmpfs "$WORK"
mkdir "$WORK/upper" "$WORK/work" "$WORK/system"
mount -t overlay overlay -o "lowerdir=/,upperdir=$WORK/upper,workdir=$WORK/work" "$WORK/system"
mount -t proc proc "$WORK/system/proc"
mount --rbind /dev "$WORK/system/dev"
cp "$DEB" "$WORK/system/root/zelmftp.deb"
exec chroot "$WORK/system" /bin/sh -c '
  step() { echo "== $1"; }
  # What an earlier run or test left there is not the package'"'"'s.
  rm -rf /var/lib/zelmftp /srv/zelmftp /etc/systemd/system/zelmftp.service
  settings="--settings /var/lib/zelmftp/settings.db"
  step install; dpkg -i /root/zelmftp.deb 2>&1
  step user; getent passwd zelmftp
  step folders; stat -c "%n %a %U" /srv/zelmftp /srv/zelmftp/home /var/lib/zelmftp \
    /var/lib/zelmftp/settings.db
  step settings; runuser -u zelmftp -- zelmftpctl $settings settings list
  step enabled; ls /etc/systemd/system/multi-user.target.wants/ /etc/systemd/system/ 2>&1
  step install-command; zelmftp /I 2>&1 || echo "exit $?"
  step alias; readlink /etc/systemd/system/ZelmFtpHost.service \
    /etc/systemd/system/multi-user.target.wants/zelmftp.service
  runuser -u zelmftp -- zelmftpctl $settings settings set-string "Main Path" /srv/zelmftp/cafe
  step upgrade; dpkg -i /root/zelmftp.deb 2>&1
  step settings-after-upgrade; runuser -u zelmftp -- zelmftpctl $settings settings get "Main Path"
  step remove; dpkg -r zelmftp 2>&1
  step after-remove; ls /var/lib/zelmftp /usr/sbin/zelmftp 2>&1 || true
  step purge; dpkg -P zelmftp 2>&1
  step after-purge; ls -d /var/lib/zelmftp /srv/zelmftp 2>&1 || true
'
"""


class Installation(unittest.TestCase):
    def test_install_upgrade_remove_and_purge(self):
        if os.geteuid() != 0:
            self.skipTest("dpkg in a copy of the system needs root")
        with tempfile.TemporaryDirectory(prefix="zelm-dpkg-") as work:
            done = run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                        IN_A_COPY_OF_THE_SYSTEM],
                       env=dict(os.environ, WORK=work, DEB=os.path.abspath(PACKAGE["deb"])))
        if "== install" not in done.stdout:
            self.skipTest("no overlay in a mount namespace here: " + done.stderr.strip())
        steps = dict(re.findall(r"^== (\S+)\n(.*?)(?=^== |\Z)", done.stdout, re.M | re.S))
        self.assertIn("Setting up zelmftp", steps["install"])
        self.assertNotIn("error", steps["install"].lower())
        self.assertRegex(steps["user"], r"^zelmftp:x:\d+:\d+:ZelmFTP server:/var/lib/zelmftp:")
        self.assertEqual(steps["folders"].splitlines(), [
            "/srv/zelmftp 750 zelmftp", "/srv/zelmftp/home 750 zelmftp",
            "/var/lib/zelmftp 700 zelmftp", "/var/lib/zelmftp/settings.db 600 zelmftp"])
        self.assertIn("Main Path\tstring\t/srv/zelmftp/home\n", steps["settings"])
        self.assertIn("Main Path Roots\tstring\t/srv/zelmftp\n", steps["settings"])
        # Installed, not enabled; zelmftp /I enables the package's unit (with its alias) and
        # writes none of its own; starting it needs a running systemd, which a chroot lacks.
        self.assertNotIn("zelmftp.service", steps["enabled"])
        self.assertIn("systemd is not running on this machine", steps["install-command"])
        self.assertEqual(steps["alias"].splitlines(), ["/lib/systemd/system/zelmftp.service"] * 2)
        # An upgrade keeps what the operator set; a removal keeps the state, a purge deletes
        # it and leaves the customers' files.
        self.assertEqual(steps["settings-after-upgrade"].strip(), "/srv/zelmftp/cafe")
        self.assertIn("settings.db", steps["after-remove"])
        self.assertIn("No such file", steps["after-remove"])  # /usr/sbin/zelmftp is gone
        self.assertEqual(steps["after-purge"].splitlines()[-1], "/srv/zelmftp")
        self.assertIn("cannot access '/var/lib/zelmftp'", steps["after-purge"])


def strace_usable():
    if shutil.which("strace") is None:
        return False
    return run(["strace", "-f", "-qq", "-o", "/dev/null", "true"]).returncode == 0


class PackagedService:
    """The unpacked zelmftp, started as systemd starts it (INVOCATION_ID, a notify socket of
    the test's own) in front of `wrapper`, with its state, logs and homes in folders that stand
    for /var/lib/zelmftp, /var/log/zelmftp and /srv/zelmftp, and a scripted management
    server."""

    def __init__(self, folder, wrapper=(), port=None, owner=None):
        self.folder = folder
        self.zelmftp = os.path.join(PACKAGE["root"], "usr/sbin/zelmftp")
        self.zelmftpctl = os.path.join(PACKAGE["root"], "usr/bin/zelmftpctl")
        self.state = os.path.join(folder, "var/lib/zelmftp")
        self.logs = os.path.join(folder, "var/log/zelmftp")
        self.homes = os.path.join(folder, "srv/zelmftp")
        for path in (self.state, self.logs, os.path.join(self.homes, "home")):
            os.makedirs(path)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("ZELMFTP_")}
        self.env.update(ZELMFTP_SETTINGS=os.path.join(self.state, "settings.db"),
                        INVOCATION_ID="0123456789abcdef0123456789abcdef")
        self.peer = ManagementPeer({"bob": ("secret", "bob", ALL)})
        self.port = port or self.free_port()
        self.console = self.free_port()
        for words in (["set-dword", "ServicePort", str(self.port)],
                      ["set-dword", "ServiceIP", "127.0.0.1"],
                      ["set-dword", "MServer IP", "127.0.0.1"],
                      ["set-dword", "MServer Port", str(self.peer.port)],
                      ["set-string", "Main Path", os.path.join(self.homes, "home")],
                      ["set-string", "Transfer Log", os.path.join(self.logs, "xferlog")],
                      ["set-dword", "Console Port", str(self.console)]):
            subprocess.run([self.zelmftpctl, "settings"] + words, env=self.env, check=True,
                           stdout=subprocess.DEVNULL)
        subprocess.run([self.zelmftpctl, "tls", "generate", "--name", "127.0.0.1"],
                       env=self.env, check=True, stdout=subprocess.DEVNULL)
        if owner is not None:
            for top, folders, files in os.walk(folder):
                for name in folders + files:
                    os.chown(os.path.join(top, name), owner, owner)
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(os.path.join(folder, "notify"))
        self.notify.settimeout(30)
        if owner is not None:
            os.chown(os.path.join(folder, "notify"), owner, owner)
        self.env["NOTIFY_SOCKET"] = os.path.join(folder, "notify")
        self.journal = open(os.path.join(folder, "journal"), "w+")
        self.process = subprocess.Popen(list(wrapper) + [self.zelmftp], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=self.journal,
                                        cwd="/")

    @staticmethod
    def free_port():
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    def reports_until(self, wanted):
        """The service manager's messages up to the first that holds `wanted`."""
        reports = []
        while not any(wanted in r for r in reports):
            try:
                reports.append(self.notify.recv(4096).decode())
            except socket.timeout:
                raise AssertionError("no %r among %r; journal:\n%s"
                                     % (wanted, reports, self.read_journal()))
        return reports

    def read_journal(self):
        self.journal.flush()
        self.journal.seek(0)
        return self.journal.read()

    def session(self, test):
        """A customer's session over FTPS: login, upload, listing, download; then the console's
        page and the operator's status through the console."""
        ftp = ReusingFtpTls()
        ftp.connect("127.0.0.1", self.port, timeout=20)
        ftp.auth()
        ftp.login("bob", "secret")
        ftp.prot_p()
        data = os.urandom(200 * 1024)
        ftp.storbinary("STOR upload.bin", io.BytesIO(data))
        test.assertIn("upload.bin", ftp.nlst())
        received = []
        ftp.retrbinary("RETR upload.bin", received.append)
        test.assertEqual(b"".join(received), data)
        ftp.quit()
        page = http.client.HTTPConnection("127.0.0.1", self.console, timeout=20)
        page.request("GET", "/")
        test.assertEqual(page.getresponse().status, 200)
        page.close()
        status = run([self.zelmftpctl, "status"], env=self.env)
        test.assertEqual(status.returncode, 0, status.stdout + status.stderr)
        test.assertIn("Listening on port %d" % self.port, status.stdout)

    def service_pid(self):
        """zelmftp's process: the wrapper's child (strace), or the wrapper become it (setpriv
        execs)."""
        pid = self.process.pid
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            children = f.read().split()
        return int(children[0]) if children else pid

    def stop(self):
        """SIGTERM to zelmftp, as systemctl stop sends it; its exit status."""
        os.kill(self.service_pid(), signal.SIGTERM)
        return self.process.wait(timeout=30)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.peer.stop()
        self.notify.close()
        self.journal.close()


WRITING = re.compile(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC")
PATH_CALLS = re.compile(r'^(open|openat|creat|mkdir|mkdirat|rename|renameat2?|unlink|unlinkat|'
                        r'rmdir|link|linkat|symlink|symlinkat|truncate|chmod|fchmodat)\((.*)$')


class ServiceInTheSandbox(unittest.TestCase):
    def test_a_session_stays_within_what_the_unit_allows(self):
        # What systemd's filters would refuse, seen from the service's own calls: a system
        # call outside SystemCallFilter=, a socket family outside RestrictAddressFamilies=, a
        # write outside the folders ProtectSystem=strict leaves writable, a mapping
        # MemoryDenyWriteExecute= refuses. The session covers FTP and FTPS, uploads and
        # downloads, the transfer log, the management link, the console and its API.
        if not strace_usable():
            self.skipTest("strace is missing or may not trace here")
        with tempfile.TemporaryDirectory(prefix="zelm-sandbox-") as folder:
            trace = os.path.join(folder, "strace.log")
            service = PackagedService(folder, ["strace", "-f", "-qq", "-o", trace])
            try:
                service.reports_until("READY=1")
                service.session(self)
                self.assertEqual(service.stop(), 0, service.read_journal())
            finally:
                service.close()
            with open(trace) as f:
                calls = [re.sub(r"^\d+\s+", "", line) for line in f]
            writable = (service.state, service.logs, service.homes, "/tmp/", "/var/tmp/",
                        "/dev/null")
            used, families, written, mappings = set(), set(), set(), []
            for call in calls:
                match = re.match(r"^(?:<\.\.\. )?([a-z0-9_]+)[( ]", call)
                if not match or call.startswith(("+++", "---")):
                    continue
                used.add(match.group(1))
                family = re.match(r"^socket\((AF_[A-Z0-9]+)", call)
                if family:
                    families.add(family.group(1))
                if re.match(r"^(mmap|mprotect|pkey_mprotect)\(", call) and "PROT_EXEC" in call \
                        and (call.startswith(("mprotect", "pkey_mprotect")) or
                             "PROT_WRITE" in call):
                    mappings.append(call)
                path_call = PATH_CALLS.match(call)
                if path_call and "= -1" not in call:
                    name, arguments = path_call.groups()
                    if name.startswith("open") and not WRITING.search(arguments):
                        continue
                    for path in re.findall(r'"([^"]*)"', arguments):
                        path = os.path.normpath(os.path.join("/", path))
                        if not path.startswith(writable):
                            written.add("%s %s" % (name, path))
            # The wrapper's own start is strace's: from the service's execve on.
            self.assertIn("execve", used)
            self.assertEqual(sorted(used - allowed_syscalls() - {"execve"}), [])
            self.assertLessEqual(families, FAMILIES)
            self.assertEqual(sorted(written), [])
            self.assertEqual(mappings, [])

    def test_port_21_as_a_plain_user_with_nothing_but_net_bind_service(self):
        # What User=, AmbientCapabilities=, CapabilityBoundingSet= and NoNewPrivileges= leave
        # the service: it serves port 21 and nothing more. In a network namespace of the
        # test's own, so port 21 is free and nothing leaves it.
        if os.geteuid() != 0:
            self.skipTest("a user and capabilities of the test's choice need root")
        netns = run(["unshare", "--net", sys.executable, os.path.abspath(__file__), BUILD,
                     "--in-network-namespace", PACKAGE["deb"]])
        if "namespace ready" not in netns.stdout:
            self.skipTest("no network namespace here: " + netns.stderr.strip()[-500:])
        self.assertEqual(netns.returncode, 0, netns.stdout + netns.stderr)


class Port21InANetworkNamespace(unittest.TestCase):
    """Run by the test above, inside `unshare --net`."""

    NOBODY = 65534

    def test_served(self):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        print("namespace ready")
        sys.stdout.flush()
        as_nobody = ["setpriv", "--reuid=%d" % self.NOBODY, "--regid=%d" % self.NOBODY,
                     "--clear-groups", "--no-new-privs"]
        with_bind = ["--inh-caps=-all,+net_bind_service", "--ambient-caps=-all,+net_bind_service",
                     "--bounding-set=-all,+net_bind_service"]
        with tempfile.TemporaryDirectory(prefix="zelm-port21-") as folder:
            os.chmod(folder, 0o755)
            service = PackagedService(folder, as_nobody + with_bind + ["--"], port=21,
                                      owner=self.NOBODY)
            try:
                service.reports_until("READY=1")
                with open("/proc/%d/status" % service.service_pid()) as f:
                    status = dict(line.rstrip("\n").split(":\t", 1) for line in f)
                self.assertEqual(status["Uid"].split()[0], str(self.NOBODY))
                self.assertEqual(int(status["CapEff"], 16), 1 << 10)  # CAP_NET_BIND_SERVICE
                self.assertEqual(int(status["CapBnd"], 16), 1 << 10)
                self.assertEqual(status["NoNewPrivs"], "1")
                service.session(self)
                self.assertEqual(service.stop(), 0, service.read_journal())
                self.assertTrue(os.path.exists(os.path.join(service.homes, "home/bob/upload.bin")))
            finally:
                service.close()
        # Without the capability the same user cannot listen there: the service says so and
        # is not ready.
        with tempfile.TemporaryDirectory(prefix="zelm-port21-") as folder:
            os.chmod(folder, 0o755)
            service = PackagedService(folder, as_nobody + ["--inh-caps=-all",
                                                           "--bounding-set=-all", "--"],
                                      port=21, owner=self.NOBODY)
            try:
                reports = service.reports_until("cannot listen on port 21")
                self.assertFalse(any(r.startswith("READY=1") for r in reports), reports)
                self.assertEqual(service.stop(), 0, service.read_journal())
            finally:
                service.close()


if __name__ == "__main__":
    if "--in-network-namespace" in sys.argv:
        index = sys.argv.index("--in-network-namespace")
        PACKAGE["deb"] = sys.argv[index + 1]
        del sys.argv[index:index + 2]
        PACKAGE["folder"] = tempfile.mkdtemp(prefix="zelm-package-")
        PACKAGE["root"] = os.path.join(PACKAGE["folder"], "root")
        subprocess.run(["dpkg-deb", "-x", PACKAGE["deb"], PACKAGE["root"]], check=True)
        os.chmod(PACKAGE["folder"], 0o755)
        unittest.main(argv=[sys.argv[0], "Port21InANetworkNamespace"], verbosity=2)
    # Port21InANetworkNamespace runs only inside its namespace.
    del Port21InANetworkNamespace
    unittest.main(verbosity=2)
