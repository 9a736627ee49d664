#!/usr/bin/env python3
"""The console with 50 open pages: how long an ordinary request waits (bench/run --console).

  bench/console_bench.py BUILD_DIR [--pages 50] [--seconds 10] [--json FILE]

Starts the built zelmftp (with zelm-mserver, so that the service runs as it does in a café)
with its console on a free loopback port, then opens the pages: half of them follow the log
with long polls (`GET /api/log?since=NEXT&wait=1`, each issued again as soon as it answers,
as `zelmftpctl log --follow` does), the other half hold an event stream each (`GET
/api/events`, as the console's page does; a console that answers 404 there has no streams,
and those pages long-poll too, which the output says). Once every page is open, ordinary
requests (`GET /api/state`) go one after another for SECONDS, on one keep-alive connection
as a browser's, and their latency is recorded: median, 99th percentile and maximum, against
the target that every one is answered within 100 ms. The pages run in a process of their
own, so that their Python threads do not delay the measuring one.

Every client authenticates with the console's token (`console.token` beside the settings
store, header X-Console-Token), as zelmftpctl does. Only 127.0.0.1 is used. No root needed.
"""
import argparse
import http.client
import json
import multiprocessing
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
TARGET_MS = 100.0
TOKEN_HEADER = "X-Console-Token"


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def threads_of(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


class Service:
    """zelmftp and zelm-mserver in a folder of their own."""

    def __init__(self, build, folder):
        self.build = build
        self.folder = folder
        self.console_port = free_port()
        ms_port = free_port()
        self.env = dict(os.environ, ZELMFTP_SETTINGS=f"{folder}/settings.db",
                        ZELM_MSERVER_DB=f"{folder}/accounts.db",
                        ZELM_MSERVER_SOCKET=f"{folder}/control.sock")
        ctl = f"{build}/zelmftpctl"
        for name, value in (("ServicePort", free_port()), ("ServiceIP", HOST),
                            ("MServer IP", HOST), ("MServer Port", ms_port),
                            ("Console Port", self.console_port)):
            subprocess.run([ctl, "settings", "set-dword", name, str(value)], env=self.env,
                           check=True, stdout=subprocess.DEVNULL)
        subprocess.run([ctl, "settings", "set-string", "Main Path", f"{folder}/main"],
                       env=self.env, check=True, stdout=subprocess.DEVNULL)
        if os.geteuid() == 0:  # bench/run runs as root, in root's folders: the server stays root
            subprocess.run([ctl, "settings", "set-string", "Service User", "root"],
                           env=self.env, check=True, stdout=subprocess.DEVNULL)
        os.makedirs(f"{folder}/main", exist_ok=True)
        self.mserver = subprocess.Popen(
            [f"{build}/zelm-mserver", "serve", "--listen", f"{HOST}:{ms_port}"], env=self.env,
            stdout=subprocess.DEVNULL, stderr=open(f"{folder}/mserver.log", "w"))
        self.process = subprocess.Popen([f"{build}/zelmftp"], env=self.env,
                                        stdout=subprocess.DEVNULL,
                                        stderr=open(f"{folder}/zelmftp.log", "w"))
        token_path = f"{folder}/console.token"
        deadline = time.time() + 15
        while not os.path.exists(token_path):
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("zelmftp did not open its console; see " +
                                   f"{folder}/zelmftp.log")
            time.sleep(0.05)
        time.sleep(0.05)  # the file is written whole, but give it the moment
        with open(token_path) as f:
            self.token = f.read().strip()

    def stop(self):
        for proc in (self.process, self.mserver):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


# ---- The pages (a process of their own) ----

def follow_log(port, token, counts, lock, stop):
    """A `zelmftpctl log --follow`: long polls, each issued again as soon as it answers."""
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    path = "/api/log"
    first = True
    while not stop.is_set():
        try:
            connection.request("GET", path, headers={TOKEN_HEADER: token})
            answer = connection.getresponse()
            body = answer.read()
        except (OSError, http.client.HTTPException):
            connection.close()
            with lock:
                counts["poll errors"] += 1
            time.sleep(0.1)
            continue
        if answer.status != 200:
            with lock:
                counts[f"poll status {answer.status}"] = counts.get(
                    f"poll status {answer.status}", 0) + 1
            time.sleep(0.1)
            continue
        with lock:
            counts["poll answers"] += 1
            if first:
                counts["polling"] += 1
        first = False
        path = f"/api/log?since={json.loads(body).get('next', 0)}&wait=1"


def hold_stream(port, token, counts, lock, stop):
    """A console page's event stream; a console without one long-polls instead."""
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    try:
        connection.request("GET", "/api/events",
                           headers={TOKEN_HEADER: token, "Accept": "text/event-stream"})
        answer = connection.getresponse()
    except (OSError, http.client.HTTPException):
        with lock:
            counts["stream errors"] += 1
        return
    if answer.status == 404:
        answer.read()
        connection.close()
        with lock:
            counts["streams missing"] += 1
        return follow_log(port, token, counts, lock, stop)
    if answer.status != 200 or not answer.getheader("Content-Type", "").startswith(
            "text/event-stream"):
        with lock:
            counts[f"stream status {answer.status}"] = counts.get(
                f"stream status {answer.status}", 0) + 1
        return
    opened = False
    while not stop.is_set():
        try:
            line = answer.readline()
        except (OSError, http.client.HTTPException):
            with lock:
                counts["stream errors"] += 1
            return
        if not line:
            with lock:
                counts["streams ended"] += 1
            return
        if line.startswith(b"event:"):
            with lock:
                counts["events"] += 1
                if not opened:
                    counts["streaming"] += 1
            opened = True
    connection.close()


def pages(port, token, count, report, stop_event):
    """Runs `count` pages until `stop_event`; sends the counts through `report` every 0.2 s."""
    counts = {"polling": 0, "poll answers": 0, "poll errors": 0, "streaming": 0, "events": 0,
              "stream errors": 0, "streams missing": 0, "streams ended": 0}
    lock = threading.Lock()
    stop = threading.Event()
    workers = []
    for i in range(count):
        target = follow_log if i % 2 == 0 else hold_stream
        workers.append(threading.Thread(target=target, args=(port, token, counts, lock, stop),
                                        daemon=True))
    for worker in workers:
        worker.start()
    while not stop_event.wait(0.2):
        with lock:
            report.send(dict(counts))
    stop.set()
    with lock:
        report.send(dict(counts))


# ---- The measurement ----

def percentile(ordered, share):
    """Nearest-rank percentile of an ascending list."""
    if not ordered:
        return float("nan")
    rank = max(1, min(len(ordered), int(share * len(ordered) + 0.999999)))
    return ordered[rank - 1]


def measure(port, token, seconds):
    latencies = []
    failures = 0
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.perf_counter()
        try:
            connection.request("GET", "/api/state", headers={TOKEN_HEADER: token})
            answer = connection.getresponse()
            body = answer.read()
            ok = answer.status == 200 and b'"active"' in body
        except (OSError, http.client.HTTPException):
            ok = False
            connection.close()
        elapsed = time.perf_counter() - start
        if ok:
            latencies.append(elapsed * 1000)
        else:
            failures += 1
    connection.close()
    return latencies, failures


def run(build, pages_count, seconds):
    folder = tempfile.mkdtemp(prefix="zelm-console-bench-")
    service = None
    stop_pages = multiprocessing.Event()
    receive, send = multiprocessing.Pipe(duplex=False)
    load = None
    try:
        service = Service(build, folder)
        port, token = service.console_port, service.token
        threads_before = threads_of(service.process.pid)
        load = multiprocessing.Process(target=pages, args=(port, token, pages_count, send,
                                                           stop_pages), daemon=True)
        load.start()
        counts = {}
        streams_wanted = pages_count // 2
        deadline = time.time() + 30
        # Every page open: each poll answered once and issued again, each stream's first event.
        while True:
            if receive.poll(0.5):
                while receive.poll(0):
                    counts = receive.recv()
            open_pages = counts.get("polling", 0) + counts.get("streaming", 0)
            if open_pages >= pages_count:
                break
            if time.time() > deadline:
                raise RuntimeError(f"only {open_pages} of {pages_count} pages opened: {counts}")
        time.sleep(1.0)  # the polls issued again are waiting in the server
        threads_open = threads_of(service.process.pid)
        load_average = os.getloadavg()[0]
        latencies, failures = measure(port, token, seconds)
        while receive.poll(0):
            counts = receive.recv()
        threads_during = threads_of(service.process.pid)
    finally:
        stop_pages.set()
        if load is not None:
            load.join(5)
            if load.is_alive():
                load.terminate()
        if service is not None:
            service.stop()
        shutil.rmtree(folder, ignore_errors=True)

    ordered = sorted(latencies)
    missing = counts.get("streams missing", 0)
    broken = (counts.get("stream errors", 0) + counts.get("streams ended", 0) +
              counts.get("poll errors", 0) +
              sum(v for k, v in counts.items() if "status" in k))
    return {
        "pages": pages_count,
        "long polls": pages_count - streams_wanted + missing,
        "streams": streams_wanted - missing,
        "streams missing": missing,
        "seconds": seconds,
        "requests": len(latencies),
        "failures": failures,
        "p50 ms": percentile(ordered, 0.50),
        "p99 ms": percentile(ordered, 0.99),
        "max ms": ordered[-1] if ordered else float("nan"),
        "within target": bool(ordered) and failures == 0 and ordered[-1] <= TARGET_MS,
        "poll answers": counts.get("poll answers", 0),
        "events": counts.get("events", 0),
        "page failures": broken,
        "threads before": threads_before,
        "threads with pages open": max(threads_open, threads_during),
        "load average": load_average,
        "cores": os.cpu_count(),
    }


def report(result):
    """The figure as Markdown lines (doc/performance.md's console section)."""
    if result["streams missing"]:
        kinds = (f"{result['pages']} open pages, all following the log with long polls "
                 f"(this console answered 404 to `/api/events`, so the "
                 f"{result['streams missing']} pages meant to stream long-poll too)")
    else:
        kinds = (f"{result['pages']} open pages: {result['long polls']} following the log with "
                 f"long polls, {result['streams']} holding an event stream")
    met = "every one within 100 ms" if result["within target"] else "**not** all within 100 ms"
    lines = [
        f"| {kinds} | {result['requests']} in {result['seconds']:.0f} s | "
        f"{result['p50 ms']:.2f} | {result['p99 ms']:.2f} | {result['max ms']:.2f} | {met} |"]
    notes = [f"zelmftp's threads: {result['threads before']} before the pages opened, "
             f"{result['threads with pages open']} while they were open",
             f"{result['poll answers']} long-poll answers and {result['events']} events "
             f"reached the pages meanwhile",
             f"1-minute load average {result['load average']:.1f} on {result['cores']} cores "
             f"when the measurement began"]
    if result["failures"] or result["page failures"]:
        notes.append(f"{result['failures']} ordinary requests and {result['page failures']} "
                     f"page requests failed")
    return lines, notes


HEADER = ["| open pages | `GET /api/state` requests | median ms | p99 ms | max ms | "
          "target: each within 100 ms |", "|---|---|---|---|---|---|"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--pages", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    log(f"console_bench: {args.pages} pages, {args.seconds:.0f} s of ordinary requests")
    try:
        result = run(build, args.pages, args.seconds)
    except RuntimeError as failure:
        log(f"console_bench: {failure}")
        return 1
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    lines, notes = report(result)
    print("\n".join(HEADER + lines))
    print()
    print("; ".join(notes) + ".")
    return 0 if result["within target"] else 1


if __name__ == "__main__":
    sys.exit(main())
