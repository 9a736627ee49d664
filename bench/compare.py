#!/usr/bin/env python3
"""The side-by-side comparison of zelmftp with vsftpd and pure-ftpd (run through bench/run).

Every server runs on its own loopback port with passive ports on 127.0.0.1 and serves the same
folder to a local test account; the load generator build/bench/ftp_load drives them all the
same way, interleaved (A B C A B C ...), and the table gives medians and the ratio of ours to
the best peer (above 1.0: ours is better, whichever way "better" points for the row).

Usage: bench/compare.py BUILD_DIR PEERS_DIR [--quick] [--rows 1,2,...] [--markdown FILE]
"""
import argparse
import json
import os
import pwd
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HOST = "127.0.0.1"
USER = "zelmbench"
PASSWORD = "zelm-bench-pw"
PAM_SERVICE = "zelm-bench-ftp"
GIB = 1 << 30
MIB = 1 << 20


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

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        # forked session processes of the peers
        subprocess.run(["pkill", "-KILL", "-f", self.work], check=False)


class Zelm(Server):
    name = "zelmftp"
    user = "bench"
    password = PASSWORD

    def __init__(self, work, data, build):
        super().__init__(work, data)
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
        home = os.path.basename(self.data)
        for user, bandwidth in (("bench", 0), ("bw64", 64), ("bw256", 256), ("bw1024", 1024)):
            self.run(ms, "user", "add", user, "--password-stdin", "--home", home, "--rights", "all",
                     "--bandwidth", str(bandwidth), stdin=PASSWORD + "\n")
        self.ms = subprocess.Popen([ms, "serve", "--listen", f"{HOST}:{self.ms_port}"],
                                   env=self.env, stderr=open(f"{self.work}/mserver.log", "w"))
        time.sleep(0.3)
        self.proc = subprocess.Popen([f"{self.build}/zelmftp"], env=self.env,
                                     stderr=open(f"{self.work}/zelmftp.log", "w"),
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
                "userlist_enable=NO", "use_localtime=NO", "ftpd_banner=bench", ""]))
        self.proc = subprocess.Popen([self.binary, conf], stderr=open(f"{self.work}/vsftpd.log", "w"),
                                     start_new_session=True)
        wait_port(self.port, self.proc, "vsftpd")


class PureFtpd(Server):
    name = "pure-ftpd"

    def __init__(self, work, data, peers):
        super().__init__(work, data)
        self.binary = f"{peers}/pure-ftpd/usr/sbin/pure-ftpd"

    def start(self):
        low = 40000 + (self.port % 20) * 1000
        uid = pwd.getpwnam(USER).pw_uid
        self.proc = subprocess.Popen(
            [self.binary, "-S", f"{HOST},{self.port}", "-l", "unix", "-E", "-H", "-A",
             "-c", "4000", "-C", "4000", "-p", f"{low}:{low + 999}", "-P", HOST,
             "-u", str(uid), "-k", "100", "-Y", "0"],
            stderr=open(f"{self.work}/pure-ftpd.log", "w"), start_new_session=True)
        wait_port(self.port, self.proc, "pure-ftpd")


# ---- Measurements ----

LOAD = None


def ftp_load(server, mode, *args, user=None, check=True, stderr=None):
    command = [LOAD, HOST, str(server.port), user or server.user, server.password, mode, *args]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        if check:
            raise RuntimeError(f"{server.name} {mode}: {done.stderr.strip()}")
        return None
    return json.loads(done.stdout)


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
    if row == 1:
        r = ftp_load(server, "download", "big.bin")
        return {"MB/s": r["bytes"] / r["seconds"] / 1e6}
    if row == 2:
        size = 64 * MIB if quick else 512 * MIB
        r = ftp_load(server, "upload", f"up-{server.name}.bin", str(size))
        return {"MB/s": r["bytes"] / r["seconds"] / 1e6}
    if row == 3:
        r = ftp_load(server, "logins", "50" if quick else "200")
        return {"median ms": r["median"] * 1000, "p99 ms": r["p99"] * 1000}
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


ROWS = {
    1: ("download of a 1 GiB file", "MB/s", True),
    2: ("upload of a 512 MiB file", "MB/s", True),
    3: ("login latency (connect, USER, PASS, QUIT)", "median ms", False),
    4: ("1,000 idle logged-in sessions held 10 s", "CPU s", False),
    5: ("500 RETRs of a 4 KiB file, one session", "files/s", True),
    6: ("LIST of a 10,000-entry directory", "ms", False),
    7: ("100 sessions each downloading 64 MiB at once", "MB/s", True),
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


def main():
    global LOAD
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("peers")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rows", default="1,2,3,4,5,6,7,8")
    parser.add_argument("--reps", type=int, default=0)
    parser.add_argument("--markdown")
    parser.add_argument("--work", default="/var/tmp/zelm-bench")
    args = parser.parse_args()
    LOAD = os.path.abspath(f"{args.build}/bench/ftp_load")
    rows = [int(r) for r in args.rows.split(",")]
    reps = args.reps or (1 if args.quick else 3)

    work = args.work
    data = f"{work}/data/home"
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
        for row in [r for r in rows if r in ROWS]:
            title = ROWS[row][0]
            log(f"row {row}: {title}")
            for rep in range(reps):
                for server in servers:
                    values = row_values(row, server, args.quick)
                    for column, value in values.items():
                        results.setdefault((row, server.name, column), []).append(value)
                    log(f"  {server.name}: " + ", ".join(f"{c} {v:.3f}" for c, v in values.items()))
            for server in servers:
                if row == 2:
                    try:
                        os.remove(f"{data}/up-{server.name}.bin")
                    except OSError:
                        pass
        throttled = throttle(servers[0], args.quick) if 8 in rows else []
    finally:
        for server in servers:
            server.stop()

    lines = report(results, throttled, [s.name for s in servers], reps, args.quick,
                   time.time() - started)
    print("\n".join(lines))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("\n".join(lines) + "\n")


def report(results, throttled, names, reps, quick, elapsed):
    lines = [f"Medians of {reps} interleaved run(s){' (quick sizes)' if quick else ''}; "
             f"ratio = ours / best peer, oriented so that above 1.0 means ours is better.", "",
             "| row | measure | " + " | ".join(names) + " | ratio |",
             "|---|---|" + "---|" * (len(names) + 1)]
    for row, (title, main, higher_better) in ROWS.items():
        columns = sorted({c for (r, _, c) in results if r == row}, key=lambda c: c != main)
        for column in columns:
            medians = [statistics.median(results.get((row, n, column), [float("nan")]))
                       for n in names]
            ratio = ""
            if column != "processes":
                ours = medians[0]
                peers = [m for m in medians[1:] if m == m] or [float("nan")]  # NaN: no figure
                better_high = higher_better if column == main else column not in (
                    "p99 ms", "RSS MiB", "PSS MiB", "CPU s", "ms", "median ms")
                if better_high:
                    ratio = f"{ours / max(peers):.2f}" if ours else "0"
                else:
                    best = min(peers)
                    ratio = f"{best / ours:.2f}" if ours else "inf"
            lines.append(f"| {row} {title} | {column} | " +
                         " | ".join(f"{m:.3f}" if m < 100 else f"{m:.1f}" for m in medians) +
                         f" | {ratio} |")
    if throttled:
        lines += ["", "| limit KiB/s | measured KiB/s | error % |", "|---|---|---|"]
        lines += [f"| {rate} | {actual:.2f} | {error:+.2f} |" for rate, actual, error in throttled]
    lines += ["", f"Run time: {elapsed:.0f} s."]
    return lines


if __name__ == "__main__":
    main()
