#!/usr/bin/env python3
"""The side-by-side comparison of zelmftp with vsftpd and pure-ftpd (run through bench/run).

Every server runs on its own loopback port with passive ports on 127.0.0.1 and serves the same
folder to a local test account; the load generator build/bench/ftp_load drives them all the
same way, interleaved (A B C A B C ...), and the table gives medians and the ratio of ours to
the best peer and to vsftpd (above 1.0: ours is better, whichever way "better" points for the
row). All three offer explicit FTPS (AUTH TLS) with the same certificate, the one
`zelmftpctl tls generate` made for ours, and serve clear sessions as well; rows 9-11 are the
FTPS counterparts of rows 1-3. Row 12 is ours alone: the console with 50 open pages
(bench/console_bench.py, run after the FTP servers have stopped), on a section of its own.

Usage: bench/compare.py BUILD_DIR PEERS_DIR [--quick] [--rows 1,2,...] [--reps N]
                        [--markdown FILE] [--doc FILE --template FILE] [--built TEXT]

--doc writes the whole performance page (the template with this run's section in place of
its @SIDE_BY_SIDE@ line and the console's figures in place of its @CONSOLE@ line), and only
after a full run: every row, full sizes. Every run keeps what it measured in
WORK/last-run.json; --render FILE writes the page (or --markdown) again from such a file
without measuring, after a change to the template or to the report's text.
"""
import argparse
import datetime
import json
import os
import platform
import pwd
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

HOST = "127.0.0.1"
USER = "zelmbench"
PASSWORD = "zelm-bench-pw"
PAM_SERVICE = "zelm-bench-ftp"
GIB = 1 << 30
MIB = 1 << 20
NAN = float("nan")


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_port(port, proc, what, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"{what} exited with {proc.returncode}")
        try:
            with socket.create_connection((HOST, port), timeout=1) as s:
                s.settimeout(2)
                if s.recv(64).startswith(b"220"):
                    return
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError(f"{what} did not answer on port {port}")


# ---- The process tree's resources, read from /proc ----

def tree_pids(root):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            children.setdefault(int(fields[1]), []).append(int(entry))
        except OSError:
            continue
    pids, todo = [], [root]
    while todo:
        pid = todo.pop()
        pids.append(pid)
        todo.extend(children.get(pid, []))
    return pids


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def tree_usage(root):
    """{pid: cpu seconds}, resident KiB and proportional KiB of the whole tree."""
    cpu, rss, pss = {}, 0, 0
    for pid in tree_pids(root):
        try:
            cpu[pid] = cpu_seconds(pid)
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Rss:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss += int(line.split()[1])
        except OSError:
            continue
    return cpu, rss, pss


# ---- The servers ----

class Server:
    name = ""
    user = USER
    password = PASSWORD

    def __init__(self, work, data):
        self.work = work
        self.data = data
        self.port = free_port()
        self.proc = None

    def log_tail(self, lines=12):
        """The last lines of the server's own log (its standard error, or its journal file)."""
        try:
            with open(self.log_path, errors="replace") as f:
                return [line.rstrip("\n") for line in f.readlines()[-lines:]]
        except OSError:
            return []

    def stop(self):
        if not self.proc:
            return
        # The forked session processes of the peers, by their ids: the server's process tree
        # and its process group (it was started in a session of its own).
        pids = [pid for pid in tree_pids(self.proc.pid) if pid != self.proc.pid]
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except OSError:
            pass
        self.proc.wait()


class Zelm(Server):
    name = "zelmftp"
    user = "bench"
    password = PASSWORD

    def __init__(self, work, data, build):
        super().__init__(work, data)
        self.log_path = f"{work}/zelmftp.log"
        self.build = build
        self.ms_port = free_port()
        self.env = dict(os.environ, ZELMFTP_SETTINGS=f"{work}/settings.db",
                        ZELM_MSERVER_DB=f"{work}/accounts.db",
                        ZELM_MSERVER_SOCKET=f"{work}/control.sock")
        self.ms = None

    def run(self, *args, stdin=None):
        subprocess.run(list(args), env=self.env, check=True, input=stdin, text=True,
                       stdout=subprocess.DEVNULL)

    def start(self):
        ctl = f"{self.build}/zelmftpctl"
        ms = f"{self.build}/zelm-mserver"
        for name, value in (("ServicePort", self.port), ("ServiceIP", HOST), ("MServer IP", HOST),
                            ("MServer Port", self.ms_port), ("Max Connection", 4000),
                            # One load generator on one address opens every connection.
                            ("Max Connection Per IP", 0), ("Login Timeout", 86400),
                            ("Failed Login Delay", 0), ("Ban Failures", 0)):
            self.run(ctl, "settings", "set-dword", name, str(value))
        self.run(ctl, "settings", "set-string", "Main Path", os.path.dirname(self.data))
        self.run(ctl, "settings", "set-string", "Transfer Log", f"{self.work}/xferlog")
        # bench/run runs as root, in root's folders: the measured server stays root.
        self.run(ctl, "settings", "set-string", "Service User", "root")
        # FTPS: a self-signed certificate and key beside the settings, stored in "TLS
        # Certificate" and "TLS Key"; "TLS Mode" then defaults to 1 (AUTH TLS offered, clear
        # sessions served too). The peers are given the same files.
        self.run(ctl, "tls", "generate", "--name", HOST, "--days", "30")
        TLS["cert"] = f"{self.work}/zelmftp-cert.pem"
        TLS["key"] = f"{self.work}/zelmftp-key.pem"
        home = os.path.basename(self.data)
        for user, bandwidth in (("bench", 0), ("bw64", 64), ("bw256", 256), ("bw1024", 1024)):
            self.run(ms, "user", "add", user, "--password-stdin", "--home", home, "--rights", "all",
                     "--bandwidth", str(bandwidth), stdin=PASSWORD + "\n")
        self.ms = subprocess.Popen([ms, "serve", "--listen", f"{HOST}:{self.ms_port}"],
                                   env=self.env, stderr=open(f"{self.work}/mserver.log", "w"))
        time.sleep(0.3)
        self.proc = subprocess.Popen([f"{self.build}/zelmftp"], env=self.env,
                                     stderr=open(self.log_path, "w"),
                                     start_new_session=True)
        wait_port(self.port, self.proc, "zelmftp")
        # the first login also waits for the management link
        deadline = time.time() + 15
        while True:
            try:
                ftp_load(self, "logins", "1", check=True)
                break
            except RuntimeError:
                if time.time() > deadline:
                    raise
                time.sleep(0.2)

    def stop(self):
        super().stop()
        if self.ms and self.ms.poll() is None:
            self.ms.terminate()
            self.ms.wait(10)


class Vsftpd(Server):
    name = "vsftpd"

    def __init__(self, work, data, peers):
        super().__init__(work, data)
        self.binary = f"{peers}/vsftpd/usr/sbin/vsftpd"
        self.log_path = f"{work}/vsftpd.log"
        self.tls_options = []
        self.tls_unknown = []

    def knows(self, option):
        """Whether this vsftpd reads a configuration option (it refuses to start with one it
        does not know, and Debian 12's 3.0.3 predates several)."""
        with open(self.binary, "rb") as f:
            return option.encode() + b"\0" in f.read()

    def tls_config(self):
        # The same certificate and key as ours, TLS offered but not forced (as "TLS Mode" 1),
        # data connections must resume the control connection's session, and OpenSSL's
        # default cipher list (Debian's build would otherwise allow one cipher only).
        options = ["ssl_enable=YES", f"rsa_cert_file={TLS['cert']}",
                   f"rsa_private_key_file={TLS['key']}", "force_local_logins_ssl=NO",
                   "force_local_data_ssl=NO", "allow_anon_ssl=NO", "require_ssl_reuse=YES",
                   "ssl_ciphers=DEFAULT", "ssl_sslv2=NO", "ssl_sslv3=NO"]
        for option in ("ssl_tlsv1_2", "ssl_tlsv1_3"):
            if self.knows(option):
                options.append(f"{option}=YES")
            else:
                self.tls_unknown.append(option)
        self.tls_options = options
        return options

    def start(self):
        empty = f"{self.work}/empty"
        os.makedirs(empty, exist_ok=True)
        conf = f"{self.work}/vsftpd.conf"
        low = 20000 + (self.port % 20) * 1000
        with open(conf, "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_ipv6=NO", f"listen_address={HOST}", f"listen_port={self.port}",
                "background=NO", "anonymous_enable=NO", "local_enable=YES", "write_enable=YES",
                "local_umask=022", "pasv_enable=YES", f"pasv_address={HOST}",
                f"pasv_min_port={low}", f"pasv_max_port={low + 999}", "max_clients=0",
                "max_per_ip=0", f"pam_service_name={PAM_SERVICE}", f"secure_chroot_dir={empty}",
                "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO", "xferlog_enable=NO",
                "dual_log_enable=NO", "syslog_enable=NO", "vsftpd_log_file=/dev/null",
                "userlist_enable=NO", "use_localtime=NO", "ftpd_banner=bench",
                *self.tls_config(), ""]))
        self.proc = subprocess.Popen([self.binary, conf], stderr=open(self.log_path, "w"),
                                     start_new_session=True)
        wait_port(self.port, self.proc, "vsftpd")


class PureFtpd(Server):
    name = "pure-ftpd"

    def __init__(self, work, data, peers):
        super().__init__(work, data)
        self.binary = f"{peers}/pure-ftpd/usr/sbin/pure-ftpd"
        self.log_path = f"{work}/pure-ftpd.log"
        self.tls_options = []

    def start(self):
        low = 40000 + (self.port % 20) * 1000
        uid = pwd.getpwnam(USER).pw_uid
        # -Y 1: TLS offered, clear sessions served too; the same certificate and key as ours.
        self.tls_options = ["-Y", "1", "-2", f"{TLS['cert']},{TLS['key']}"]
        self.proc = subprocess.Popen(
            [self.binary, "-S", f"{HOST},{self.port}", "-l", "unix", "-E", "-H", "-A",
             "-c", "4000", "-C", "4000", "-p", f"{low}:{low + 999}", "-P", HOST,
             "-u", str(uid), "-k", "100", *self.tls_options],
            stderr=open(self.log_path, "w"), start_new_session=True)
        wait_port(self.port, self.proc, "pure-ftpd")


# ---- Measurements ----

LOAD = None
TLS = {}      # "cert", "key": the certificate and key all three servers present
SEEN = {}     # server name: what its FTPS sessions negotiated
FAILED = []   # (row, server name, error, the server's last log lines)
DATA = None   # the served folder
BUSY = {}     # (row, server name): the load generator's CPU time / transfer time, each run
LOADS = {}    # row: the 1-minute load average when the row started and when it ended


def ftp_load(server, mode, *args, user=None, check=True, tls=False, timeout=900):
    command = [LOAD, HOST, str(server.port), user or server.user, server.password,
               *(["--tls", TLS["cert"]] if tls else []), mode, *args]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"{server.name} {mode}: no result after {timeout} s "
                           f"({' '.join(command[5:])})")
    if done.returncode != 0:
        if check:
            raise RuntimeError(f"{server.name} {mode}: {done.stderr.strip()}")
        return None
    return json.loads(done.stdout)


def note_tls(server, result, row):
    seen = SEEN.setdefault(server.name, {})
    seen["control"] = result.get("tls", "?")
    if "data_tls" in result:
        seen["data"] = result["data_tls"]
        seen.setdefault("resumed", set()).add(result["resumed"])
        seen.setdefault(f"close_notify {row}", set()).add(result["close_notify"])


def checked_size(server, path, expected, what):
    if expected is not None and os.path.getsize(path) != expected:
        raise RuntimeError(f"{server.name} {what}: {os.path.getsize(path)} bytes on disk, "
                           f"{expected} sent")


def measure_idle(server, sessions, hold):
    command = [LOAD, HOST, str(server.port), server.user, server.password, "idle",
               str(sessions), str(hold)]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = proc.stderr.readline().strip()
    if first != "ready":
        proc.kill()
        raise RuntimeError(f"{server.name}: idle sessions did not log in: {first} "
                           f"{proc.stderr.read()}")
    cpu0, _, _ = tree_usage(server.proc.pid)
    time.sleep(hold / 2)
    _, rss, pss = tree_usage(server.proc.pid)
    proc.stderr.readline()  # "held"
    cpu1, _, _ = tree_usage(server.proc.pid)
    proc.wait()
    cpu = sum(cpu1[pid] - cpu0.get(pid, 0) for pid in cpu1)
    return cpu, rss, pss, len(cpu1)


def row_values(row, server, quick):
    """One measurement of a row; returns {column: value}."""
    tls = row in TLS_ROWS
    if tls:
        try:
            return transfer_values(TLS_ROWS[row], server, quick, tls_row=row)
        except RuntimeError as failure:
            # An FTPS failure is reported with the server's log, and the run goes on.
            log(f"  {server.name} FAILED: {failure}")
            FAILED.append((row, server.name, str(failure), server.log_tail()))
            return {column: NAN for column in COLUMNS[TLS_ROWS[row]]}
    if row in (1, 2, 3):
        return transfer_values(row, server, quick)
    if row == 4:
        try:
            cpu, rss, pss, processes = measure_idle(server, 200 if quick else 1000,
                                                    4 if quick else 10)
        except RuntimeError as refused:
            # pure-ftpd, for one, admits at most 500 users whatever its -c says
            log(f"  {server.name} cannot hold them: {refused}")
            nan = float("nan")
            return {"CPU s": nan, "RSS MiB": nan, "PSS MiB": nan, "processes": nan}
        return {"CPU s": cpu, "RSS MiB": rss / 1024, "PSS MiB": pss / 1024, "processes": processes}
    if row == 5:
        r = ftp_load(server, "retrs", "100" if quick else "500", "small.bin")
        return {"files/s": r["files"] / r["seconds"]}
    if row == 6:
        r = ftp_load(server, "list", "many", "5")
        return {"ms": r["median"] * 1000}
    if row == 7:
        sessions = "20" if quick else "100"
        r = ftp_load(server, "parallel", sessions, "mid.bin")
        return {"MB/s": r["bytes"] / r["seconds"] / 1e6}
    raise ValueError(row)


def transfer_values(row, server, quick, tls_row=None):
    """Rows 1-3, in clear, or over TLS as row `tls_row`."""
    tls = tls_row is not None
    if row == 1:
        r = ftp_load(server, "download", "big.bin", tls=tls)
        if r["bytes"] != os.path.getsize(f"{DATA}/big.bin"):
            raise RuntimeError(f"{server.name} download: {r['bytes']} bytes received of "
                               f"{os.path.getsize(f'{DATA}/big.bin')}")
        values = {"MB/s": r["bytes"] / r["seconds"] / 1e6}
    elif row == 2:
        size = 64 * MIB if quick else 512 * MIB
        name = f"up-{server.name}.bin"
        r = ftp_load(server, "upload", name, str(size), tls=tls)
        checked_size(server, f"{DATA}/{name}", size, "upload")
        values = {"MB/s": r["bytes"] / r["seconds"] / 1e6}
    else:
        r = ftp_load(server, "logins", "50" if quick else "200", tls=tls)
        values = {"median ms": r["median"] * 1000, "p99 ms": r["p99"] * 1000}
    if "client_cpu" in r:
        BUSY.setdefault((tls_row or row, server.name), []).append(r["client_cpu"] / r["seconds"])
    if tls:
        note_tls(server, r, tls_row)
    return values


# The FTPS rows and their clear counterparts.
TLS_ROWS = {9: 1, 10: 2, 11: 3}
COLUMNS = {1: ["MB/s"], 2: ["MB/s"], 3: ["median ms", "p99 ms"]}
# The table's order: each FTPS row under its clear one, so that the cost of TLS shows.
ORDER = [1, 9, 2, 10, 3, 11, 4, 5, 6, 7]

ROWS = {
    1: ("download of a 1 GiB file", "MB/s", True),
    2: ("upload of a 512 MiB file", "MB/s", True),
    3: ("login latency (connect, USER, PASS, QUIT)", "median ms", False),
    4: ("1,000 idle logged-in sessions held 10 s", "CPU s", False),
    5: ("500 RETRs of a 4 KiB file, one session", "files/s", True),
    6: ("LIST of a 10,000-entry directory", "ms", False),
    7: ("100 sessions each downloading 64 MiB at once", "MB/s", True),
    9: ("FTPS download of a 1 GiB file (AUTH TLS, PROT P)", "MB/s", True),
    10: ("FTPS upload of a 512 MiB file (AUTH TLS, PROT P)", "MB/s", True),
    11: ("login latency over TLS (connect, AUTH TLS, handshake, USER, PASS, until the 230)",
         "median ms", False),
}


def throttle(zelm, quick):
    results = []
    for rate in (64, 256, 1024):
        seconds = 3 if quick else 10
        name = f"throttle-{rate}.bin"
        path = os.path.join(zelm.data, name)
        with open(path, "wb") as f:
            f.truncate(rate * 1024 * seconds)
        r = ftp_load(zelm, "download", name, user=f"bw{rate}")
        actual = r["bytes"] / r["seconds"] / 1024
        results.append((str(rate), actual, (actual - rate) / rate * 100))
    # One account, four sessions downloading at once: the limit is the account's, so together
    # they get 256 KiB/s, not four times that.
    seconds = 3 if quick else 10
    name = "throttle-256x4.bin"
    with open(os.path.join(zelm.data, name), "wb") as f:
        f.truncate(256 * 1024 * seconds // 4)
    r = ftp_load(zelm, "parallel", "4", name, user="bw256")
    actual = r["bytes"] / r["seconds"] / 1024
    results.append(("256, 4 sessions of one account", actual, (actual - 256) / 256 * 100))
    return results


def prepare_data(data, quick):
    os.makedirs(f"{data}/many", exist_ok=True)
    big = f"{data}/big.bin"
    size = (256 * MIB) if quick else GIB
    if not os.path.exists(big) or os.path.getsize(big) != size:
        log(f"writing {size >> 20} MiB test file")
        with open(big, "wb") as f:
            block = os.urandom(MIB)
            for _ in range(size // MIB):
                f.write(block)
    with open(f"{data}/mid.bin", "wb") as f:
        block = os.urandom(MIB)
        for _ in range(16 if quick else 64):
            f.write(block)
    with open(f"{data}/small.bin", "wb") as f:
        f.write(os.urandom(4096))
    entries = len(os.listdir(f"{data}/many"))
    for i in range(entries, 10000):
        with open(f"{data}/many/file-{i:05d}.txt", "w") as f:
            f.write("x")
    uid = pwd.getpwnam(USER).pw_uid
    for root, dirs, files in os.walk(data):
        os.chown(root, uid, uid)
        for name in files:
            os.chown(os.path.join(root, name), uid, uid)


# What an earlier profile of a row showed (printed under that row when it is short of 1.0).
SHORT_NOTES = {
    2: "an earlier profile: the kernel's copy into the page cache and ext4's writeback; our "
       "process spent little CPU of its own.",
    5: "an earlier profile: per file we switch threads twice; the remaining time was "
       "system-call CPU of the passive listener and the data connection per file, which the "
       "one-connection-per-file transfer keeps.",
}


def package_version(peers, package):
    for name in sorted(os.listdir(peers)):
        if name.startswith(f"{package}_") and name.endswith(".deb"):
            done = subprocess.run(["dpkg-deb", "-f", f"{peers}/{name}", "Version"],
                                  capture_output=True, text=True)
            return done.stdout.strip() or "?"
    return "?"


def machine():
    model = "?"
    aes = False
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name") and model == "?":
                model = line.split(":", 1)[1].strip()
            if line.startswith("flags"):
                aes = aes or " aes " in f" {line.split(':', 1)[1]} "
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) / (1 << 20)
    try:
        with open("/proc/sys/net/ipv4/tcp_available_ulp") as f:
            ulp = f.read().split()
    except OSError:
        ulp = []
    openssl = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout
    openssl = openssl.split(" (Library")[0].strip()
    return {"cpu": model, "cores": os.cpu_count(), "memory": memory, "aes": aes, "ulp": ulp,
            "kernel": platform.release(), "openssl": openssl or "?"}


CONSOLE_ROW = 12


def console_figures(build, work, quick):
    """Row 12: bench/console_bench.py against the built zelmftp; its figures, or why not."""
    out = f"{work}/console-bench.json"
    if os.path.exists(out):
        os.remove(out)  # an earlier run's figures are never taken for this one's
    command = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                            "console_bench.py"), build, "--json", out,
               "--seconds", "3" if quick else "10"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    log("  " + "\n  ".join(done.stdout.strip().splitlines()))
    try:
        with open(out) as f:
            return json.load(f)
    except (OSError, ValueError):
        log(f"  console benchmark failed: {done.stderr.strip()}")
        return {"failed": done.stderr.strip().splitlines()[-1:] or ["no output"]}


def console_section(info):
    """The console's figures for the @CONSOLE@ line of the template."""
    import console_bench
    figures = info.get("console")
    if not figures:
        return ["The run this page was written from did not measure the console;",
                "`bench/run --console` measures it on its own."]
    if "failed" in figures:
        return ["The run this page was written from could not measure the console: `" +
                " ".join(figures["failed"]) + "`."]
    lines, notes = console_bench.report(figures)
    return ([f"Measured by the run of {info['date']} (row {CONSOLE_ROW}, after the FTP servers "
             f"had stopped), zelmftp built from {info['built']}:", ""] + console_bench.HEADER +
            lines + ["", "; ".join(notes) + "."])


def main():
    global LOAD, DATA
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?")
    parser.add_argument("peers", nargs="?")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rows", default=",".join(str(r) for r in [*ROWS, 8, CONSOLE_ROW]))
    parser.add_argument("--reps", type=int, default=0)
    parser.add_argument("--markdown")
    parser.add_argument("--doc")
    parser.add_argument("--template")
    parser.add_argument("--built", default="the build folder given")
    parser.add_argument("--work", default="/var/tmp/zelm-bench")
    parser.add_argument("--render")
    args = parser.parse_args()
    if args.render:
        output(args, *load_run(args.render))
        return
    LOAD = os.path.abspath(f"{args.build}/bench/ftp_load")
    rows = [int(r) for r in args.rows.split(",")]
    reps = args.reps or (1 if args.quick else 3)

    work = args.work
    data = DATA = f"{work}/data/home"
    os.makedirs(data, exist_ok=True)
    os.chmod(work, 0o755)
    os.chmod(f"{work}/data", 0o755)
    prepare_data(data, args.quick)

    servers = []
    started = time.time()
    try:
        for cls, extra in ((Zelm, args.build), (Vsftpd, args.peers), (PureFtpd, args.peers)):
            folder = f"{work}/{cls.name}"
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            server = cls(folder, data, os.path.abspath(extra))
            servers.append(server)
            server.start()
        log("servers: " + ", ".join(f"{s.name} on {HOST}:{s.port}" for s in servers))

        results = {}
        # In the table's order, so that each FTPS row runs right after its clear one.
        for row in sorted((r for r in rows if r in ROWS),
                          key=lambda r: ORDER.index(r) if r in ORDER else len(ORDER) + r):
            title = ROWS[row][0]
            log(f"row {row}: {title}")
            LOADS[row] = [os.getloadavg()[0]]
            for rep in range(reps):
                for server in servers:
                    values = row_values(row, server, args.quick)
                    for column, value in values.items():
                        results.setdefault((row, server.name, column), []).append(value)
                    log(f"  {server.name}: " + ", ".join(f"{c} {v:.3f}" for c, v in values.items()))
            LOADS[row].append(os.getloadavg()[0])
            for server in servers:
                if row in (2, 10):
                    try:
                        os.remove(f"{data}/up-{server.name}.bin")
                    except OSError:
                        pass
        throttled = throttle(servers[0], args.quick) if 8 in rows else []
    finally:
        for server in servers:
            server.stop()

    console = None
    if CONSOLE_ROW in rows:
        log(f"row {CONSOLE_ROW}: the console with 50 open pages (ours only)")
        console = console_figures(os.path.abspath(args.build), work, args.quick)
    measured = time.time() - started
    since = os.environ.get("ZELM_BENCH_STARTED")
    total = time.time() - float(since) if since else None
    complete = not args.quick and set(rows) >= {*ROWS, 8, CONSOLE_ROW}
    info = {"built": args.built, "reps": reps, "quick": args.quick, "measured": measured,
            "total": total, "machine": machine(), "date": datetime.date.today().isoformat(),
            "servers": [{"name": s.name, "tls_options": getattr(s, "tls_options", []),
                         "tls_unknown": getattr(s, "tls_unknown", [])} for s in servers],
            "versions": {"vsftpd": package_version(args.peers, "vsftpd"),
                         "pure-ftpd": package_version(args.peers, "pure-ftpd")},
            "complete": complete, "console": console}
    names = [s.name for s in servers]
    save(f"{work}/last-run.json", results, throttled, names, info)
    output(args, results, throttled, names, info)


def save(path, results, throttled, names, info):
    record = {"results": [[r, n, c, v] for (r, n, c), v in results.items()],
              "throttled": throttled, "names": names, "info": info,
              "seen": {n: {k: sorted(v) if isinstance(v, set) else v for k, v in seen.items()}
                       for n, seen in SEEN.items()},
              "busy": [[r, n, v] for (r, n), v in BUSY.items()],
              "loads": [[r, v] for r, v in LOADS.items()], "failed": FAILED}
    with open(path, "w") as f:
        json.dump(record, f, indent=1)


def load_run(path):
    with open(path) as f:
        record = json.load(f)
    SEEN.update({n: {k: set(v) if isinstance(v, list) else v for k, v in seen.items()}
                 for n, seen in record["seen"].items()})
    BUSY.update({(r, n): v for r, n, v in record["busy"]})
    LOADS.update({r: v for r, v in record["loads"]})
    FAILED.extend(tuple(f) for f in record["failed"])
    results = {(r, n, c): [NAN if v is None else v for v in values]
               for r, n, c, values in record["results"]}
    return results, [tuple(t) for t in record["throttled"]], record["names"], record["info"]


def output(args, results, throttled, names, info):
    complete = info["complete"]
    lines = report(results, throttled, names, info)
    console = console_section(info)
    print("\n".join(lines))
    if info.get("console"):
        print("\n".join(["", f"### The console (row {CONSOLE_ROW})", ""] + console))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("\n".join(lines) + "\n")
    if args.doc:
        if not complete:
            log(f"{args.doc} left as it is: only a run of every row at full size rewrites it")
        else:
            with open(args.template) as f:
                template = f.read()
            for line in ("@SIDE_BY_SIDE@\n", "@CONSOLE@\n"):
                if line not in template:
                    raise SystemExit(f"{args.template} has no {line.strip()} line")
            page = template.replace("@SIDE_BY_SIDE@\n", "\n".join(lines) + "\n")
            with open(args.doc, "w") as f:
                f.write(page.replace("@CONSOLE@\n", "\n".join(console) + "\n"))
            log(f"wrote {args.doc}")


def figure(value):
    if value != value:
        return "—"
    return f"{value:.3f}" if value < 100 else f"{value:.1f}"


def median_of(values):
    """The median of the repetitions that gave a figure (NaN: that one failed or gave none)."""
    good = [v for v in values if v == v]
    return statistics.median(good) if good else NAN


def oriented_ratio(ours, peer, better_high):
    if ours != ours or peer != peer:
        return "—"
    if better_high:
        return f"{ours / peer:.2f}" if peer else "inf"
    return f"{peer / ours:.2f}" if ours else "inf"


LOWER_BETTER = ("p99 ms", "RSS MiB", "PSS MiB", "CPU s", "ms", "median ms")


def report(results, throttled, names, info):
    m = info["machine"]
    servers = {s["name"]: s for s in info["servers"]}
    when = info["date"]
    total = (f"{info['total'] / 60:.1f} minutes in all, building included; "
             if info["total"] else "")
    lines = [
        "### Latest run", "",
        f"`bench/run` on {when}, {info['reps']} interleaved repetition(s)"
        f"{' at the quick sizes' if info['quick'] else ''}, zelmftp built from "
        f"{info['built']}; {total}{info['measured'] / 60:.1f} minutes of measurements. "
        f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory']:.0f} GiB, Linux {m['kernel']}, "
        f"{m['openssl']}; vsftpd {info['versions']['vsftpd']} and pure-ftpd "
        f"{info['versions']['pure-ftpd']} from Debian's archive.", "",
        "Medians; the ratios are ours to the best peer and ours to vsftpd, oriented so that "
        "above 1.0 means ours is better. Rows 9–11 are the FTPS counterparts of rows 1–3 and "
        "stand under them.", "",
        "| row | measure | " + " | ".join(names) + " | ratio to best peer | ratio to vsftpd |",
        "|---|---|" + "---|" * (len(names) + 2)]
    medians = {}
    short = []
    present = sorted({r for (r, _, _) in results}, key=lambda r: ORDER.index(r)
                     if r in ORDER else len(ORDER) + r)
    for row in present:
        title, main, higher_better = ROWS[row]
        columns = sorted({c for (r, _, c) in results if r == row}, key=lambda c: c != main)
        for column in columns:
            values = [median_of(results.get((row, n, column), [NAN])) for n in names]
            for n, v in zip(names, values):
                medians[(row, n, column)] = v
            best_ratio = vs_ratio = ""
            if column != "processes":
                better_high = higher_better if column == main else column not in LOWER_BETTER
                peers = [v for v in values[1:] if v == v]
                best = (max(peers) if better_high else min(peers)) if peers else NAN
                best_ratio = oriented_ratio(values[0], best, better_high)
                vs_ratio = oriented_ratio(values[0], values[1], better_high)
                if column == main and best_ratio not in ("—", "inf") and float(best_ratio) < 1.0:
                    peer = names[1 + [v if v == v else None for v in values[1:]].index(best)]
                    ours_runs = [v for v in results[(row, names[0], column)] if v == v]
                    peer_runs = [v for v in results[(row, peer, column)] if v == v]
                    overlap = (max(ours_runs) >= min(peer_runs) if better_high
                               else min(ours_runs) <= max(peer_runs))
                    short.append((row, best_ratio, vs_ratio, peer, overlap))
            label = f"{row} {title}" if column == main else f"{row}"
            lines.append(f"| {label} | {column} | " + " | ".join(figure(v) for v in values) +
                         f" | {best_ratio} | {vs_ratio} |")

    tls_rows = [r for r in TLS_ROWS if r in present]
    if tls_rows:
        lines += ["", "#### What TLS costs", "",
                  "Each server's FTPS figure against its own clear one, from the rows above. "
                  "The clear login (row 3) is timed to the reply to QUIT, the TLS login "
                  "(row 11) to the 230: a loopback round trip apart, which is far below "
                  "either figure.", "",
                  "The last two columns are the load generator's own CPU time over the FTPS "
                  "transfer's time (median): near 100 % the client, not the server, set the "
                  "pace, and the figure is a floor for that server.", "",
                  "| server | download: FTPS / clear | upload: FTPS / clear | "
                  "login: FTPS − clear (median) | client busy, FTPS download | "
                  "client busy, FTPS upload |", "|---|---|---|---|---|---|"]
        for n in names:
            cells = []
            for tls_row in (9, 10):
                plain = medians.get((TLS_ROWS[tls_row], n, "MB/s"), NAN)
                secured = medians.get((tls_row, n, "MB/s"), NAN)
                cells.append(f"{secured / plain:.2f}" if plain == plain and secured == secured
                             else "—")
            plain = medians.get((3, n, "median ms"), NAN)
            secured = medians.get((11, n, "median ms"), NAN)
            cells.append(f"+{secured - plain:.2f} ms" if plain == plain and secured == secured
                         else "—")
            for tls_row in (9, 10):
                busy = BUSY.get((tls_row, n))
                cells.append(f"{statistics.median(busy) * 100:.0f} %" if busy else "—")
            lines.append(f"| {n} | " + " | ".join(cells) + " |")

        lines += ["", "#### What each server negotiated", "",
                  "The load generator accepts TLS 1.2 and 1.3 with OpenSSL's default ciphers and "
                  "checks each server's certificate (all three present the same one, made by "
                  "`zelmftpctl tls generate --name 127.0.0.1 --days 30` for ours) against that "
                  "certificate for the address 127.0.0.1.", "",
                  "| server | control connection | data connections | data connections resumed "
                  "the control session | download ended with close_notify |",
                  "|---|---|---|---|---|"]
        for n in names:
            seen = SEEN.get(n, {})
            resumed = seen.get("resumed", set())
            notify = seen.get("close_notify 9", set())
            lines.append(f"| {n} | {seen.get('control', '—')} | {seen.get('data', '—')} | " +
                         (("yes" if resumed == {True} else "no" if resumed == {False}
                           else "not always") if resumed else "—") + " | " +
                         (("yes" if notify == {True} else "no" if notify == {False}
                           else "not always") if notify else "—") + " |")
        lines.append("")
        if "tls" in m["ulp"]:
            lines.append("This kernel offers kernel TLS (`/proc/sys/net/ipv4/tcp_available_ulp` "
                         f"lists {', '.join(m['ulp'])}); none of the servers was set up to use "
                         "it.")
        else:
            lines.append("This kernel offers no kernel TLS (`/proc/sys/net/ipv4/tcp_available_ulp`"
                         f" lists only {', '.join(m['ulp']) or 'nothing'}), so every server "
                         "encrypts in user space, through the same system OpenSSL"
                         f" ({m['openssl']}); the processor "
                         f"{'has' if m['aes'] else 'lacks'} AES instructions. An FTPS download "
                         "therefore cannot use `sendfile`: each byte is read into the process, "
                         "encrypted and sent.")
        vs = servers.get("vsftpd")
        if vs is not None:
            lines += ["", "vsftpd's TLS settings: " +
                      ", ".join(f"`{o}`" for o in vs["tls_options"]
                                if not o.startswith(("rsa_cert_file", "rsa_private_key_file"))) +
                      ", `rsa_cert_file` and `rsa_private_key_file` naming our certificate and "
                      "key."]
            if vs["tls_unknown"]:
                lines[-1] += (f" This vsftpd ({info['versions']['vsftpd']}) does not know "
                              + " or ".join(f"`{o}`" for o in vs["tls_unknown"]) +
                              " (it refuses to start on an option it does not know), so they "
                              "are left out; it turns off only the protocols it has options "
                              "for, and TLS 1.2 and 1.3 stay on as OpenSSL has them.")
        pure = servers.get("pure-ftpd")
        if pure is not None:
            lines += ["", "pure-ftpd: `" + " ".join(o if not o.startswith("/") else
                                                    "CERT,KEY" for o in pure["tls_options"]) +
                      "` (TLS offered, clear sessions too; the same certificate and key)."]
        lines += ["", "Ours runs with \"TLS Mode\" 1, its default once a certificate is set: "
                  "AUTH TLS offered, clear sessions served, so rows 1–8 are clear sessions of "
                  "the same servers."]

    if LOADS:
        lines += ["", f"The machine's 1-minute load average ({m['cores']} cores) when each row "
                  "started and ended (rows run in the table's order), the benchmark's own work "
                  "included: a transfer keeps about 2 busy, the average trails by about a "
                  "minute, and it counts every session process or thread that is runnable, so "
                  "from row 4's thousand logins on it is high whatever else runs: " +
                  ", ".join(f"row {r} {LOADS[r][0]:.1f}–{LOADS[r][-1]:.1f}"
                            for r in present if r in LOADS) + "."]

    spread = [r for r in present if ROWS[r][1] == "MB/s"]
    if spread and info["reps"] > 1:
        lines += ["", "Spread between the repetitions of the throughput rows (lowest–highest "
                  "MB/s):", "", "| row | " + " | ".join(names) + " |",
                  "|---|" + "---|" * len(names)]
        for row in spread:
            cells = []
            for n in names:
                good = [v for v in results.get((row, n, "MB/s"), []) if v == v]
                cells.append(f"{min(good):.0f}–{max(good):.0f}" if good else "—")
            lines.append(f"| {row} | " + " | ".join(cells) + " |")

    if 4 in present and medians.get((4, "pure-ftpd", "CPU s"), 0) != medians.get(
            (4, "pure-ftpd", "CPU s"), 0):
        lines += ["", "pure-ftpd admits at most 500 users (\"421 500 users (the maximum) are "
                  "already logged in\", whatever `-c` says), so row 4 compares with vsftpd "
                  "only."]

    if throttled:
        lines += ["", "Row 8, the bandwidth limit (ours only; target ±5 %):", "",
                  "| limit KiB/s | measured KiB/s | error % |", "|---|---|---|"]
        lines += [f"| {rate} | {actual:.2f} | {error:+.2f} |" for rate, actual, error in throttled]

    if FAILED:
        lines += ["", "#### Failures", ""]
        for row, name, error, tail in FAILED:
            lines += [f"- Row {row}, {name}, client `bench/ftp_load --tls`: {error}", "",
                      "  The server's last log lines:", "", "  ```"]
            lines += [f"  {line}" for line in tail] or ["  (none)"]
            lines += ["  ```", ""]

    if short:
        lines += ["", "#### Rows short of 1.0", ""]
        for row, best_ratio, vs_ratio, peer, overlap in short:
            spread = ("our repetitions and theirs overlap" if overlap else
                      "every repetition of ours was behind every one of theirs")
            note = SHORT_NOTES.get(row, "not profiled yet.")
            lines.append(f"- Row {row} ({best_ratio} to the best peer, {peer}; {vs_ratio} to "
                         f"vsftpd): {spread}; {note}")
    return lines


if __name__ == "__main__":
    main()
