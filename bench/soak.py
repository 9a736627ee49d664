#!/usr/bin/env python3
"""Load and soak of zelmftp (with zelm-mserver), on loopback; figures for doc/performance.md.

  bench/soak.py BUILD_DIR [--sessions 1000] [--transferring 100] [--churn 50000]
                          [--restart-every 3]

1. Load: SESSIONS logged-in sessions held while TRANSFERRING more sessions each download a
   64 MiB file at once; the server's threads, descriptors and resident memory are read
   before, during and after.
2. Churn: CHURN connect/USER/PASS/QUIT cycles in a row while zelm-mserver is stopped and
   started again every RESTART_EVERY seconds (logins made while it is away are refused, as
   they must be). Before and after: descriptors (/proc/PID/fd), threads and resident memory.

The load generator is build/bench/ftp_load. Needs the same test account setup as bench/run
(run it as root; it makes nothing beyond its work folder).
"""
import argparse
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402


def process_figures(pid):
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    return {"threads": int(status["Threads"]), "rss_kib": int(status["VmRSS"].split()[0]),
            "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def show(label, figures):
    print(f"  {label:<28} threads {figures['threads']:>5}  descriptors {figures['fds']:>5}  "
          f"resident {figures['rss_kib'] / 1024:8.1f} MiB", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--sessions", type=int, default=1000)
    parser.add_argument("--transferring", type=int, default=100)
    parser.add_argument("--churn", type=int, default=50000)
    parser.add_argument("--restart-every", type=float, default=3.0)
    parser.add_argument("--work", default="/var/tmp/zelm-soak")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    compare.LOAD = f"{build}/bench/ftp_load"

    data = f"{args.work}/data/home"
    os.makedirs(data, exist_ok=True)
    with open(f"{data}/mid.bin", "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(64):
            f.write(block)
    folder = f"{args.work}/zelmftp"
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    server = compare.Zelm(folder, data, build)
    try:
        server.start()
        pid = server.proc.pid
        print(f"zelmftp pid {pid} on 127.0.0.1:{server.port}", flush=True)

        # ---- 1. Load ----
        print(f"Load: {args.sessions} idle sessions + {args.transferring} downloading 64 MiB",
              flush=True)
        start = process_figures(pid)
        show("before", start)
        hold = 20
        idle = subprocess.Popen([compare.LOAD, compare.HOST, str(server.port), server.user,
                                 server.password, "idle", str(args.sessions), str(hold)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if idle.stderr.readline().strip() != "ready":
            raise RuntimeError("idle sessions did not log in: " + idle.stderr.read())
        show(f"{args.sessions} sessions logged in", process_figures(pid))
        peak = {"threads": 0, "rss_kib": 0, "fds": 0}
        done = threading.Event()

        def sample():
            while not done.is_set():
                figures = process_figures(pid)
                for key in peak:
                    peak[key] = max(peak[key], figures[key])
                time.sleep(0.2)

        sampler = threading.Thread(target=sample)
        sampler.start()
        started = time.time()
        result = compare.ftp_load(server, "parallel", str(args.transferring), "mid.bin")
        seconds = time.time() - started
        done.set()
        sampler.join()
        show("peak while transferring", peak)
        print(f"  {args.transferring} downloads: {result['bytes'] / result['seconds'] / 1e6:.0f} MB/s "
              f"aggregate, {seconds:.1f} s, alongside {args.sessions} idle sessions", flush=True)
        idle.wait()
        time.sleep(1)
        show("after", process_figures(pid))

        # ---- 2. Churn with a restarting management server ----
        print(f"Churn: {args.churn} logins, zelm-mserver restarted every {args.restart_every} s",
              flush=True)
        before = process_figures(pid)
        show("before", before)
        stop = threading.Event()
        restarts = [0]

        def restart_management():
            while not stop.wait(args.restart_every):
                server.ms.terminate()
                server.ms.wait(10)
                server.ms = subprocess.Popen(
                    [f"{build}/zelm-mserver", "serve", "--listen",
                     f"{compare.HOST}:{server.ms_port}"],
                    env=server.env, stderr=open(f"{folder}/mserver.log", "a"))
                restarts[0] += 1

        restarter = threading.Thread(target=restart_management)
        restarter.start()
        try:
            churn = compare.ftp_load(server, "churn", str(args.churn))
        finally:
            stop.set()
            restarter.join()
        time.sleep(2)  # the last sessions are reaped
        after = process_figures(pid)
        show("after", after)
        print(f"  {args.churn} cycles in {churn['seconds']:.0f} s: {churn['accepted']} logged in, "
              f"{churn['refused']} refused while the management server was away, "
              f"{churn['broken']} broken; {restarts[0]} restarts of zelm-mserver", flush=True)
        print(f"  growth: descriptors {after['fds'] - before['fds']:+d}, threads "
              f"{after['threads'] - before['threads']:+d}, resident "
              f"{(after['rss_kib'] - before['rss_kib']) / 1024:+.1f} MiB", flush=True)
        if server.proc.poll() is not None:
            print("zelmftp exited during the run!", flush=True)
            return 1
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
