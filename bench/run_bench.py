#!/usr/bin/env python3
"""Relay benchmark on loopback: prints one table comparing the service's relay with a direct echo.

A: the simulated mobiles (vantor-load) against vantor-echo, which answers each request itself.
N: the same mobiles and agents through a reference relay on Node's `ws` package (bench/node_relay),
   installed into the build directory by npm on the first run.
C: the same mobiles through the real service in a temporary program directory, the requests
   answered by simulated agents in a process of their own; once with DebugMode 0, once with 1.
For each: p50/p99 round trip of one mobile with one request in flight, every process of the case
on one CPU, and the round trips per second of 50 mobiles with 8 in flight each over 10 customers
(64-byte payloads), the echo server or the service on a CPU of its own and the simulators on
another, with the service's CPU time per round trip. The processes are placed so that a run
measures the work on the path, not where the scheduler happened to put them: on a small virtual
machine a wake-up across CPUs costs more than the whole relay. For the service with debug off also
the throughput and CPU per round trip of 1 and 10 mobiles (8 in flight each), its RssAnon idle,
with 99 agents and 50 idle mobiles, and with 512 connections (those 149 and 363 connections still
opening, from 127.0.0.2 and up, 16 per address, 256 on the ws listener and the rest on wss), and the CPU time of one supervision tick with
full tables (build/bench/supervision_tick_bench).

Builds nothing (`make bench` builds first). Exits 1, after the table, when a simulator counted a
wrong, lost or late answer, a drop or a refusal; exits 2 when something could not run at all.
"""
import argparse
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

PAYLOAD_BYTES = 64
CUSTOMERS = 99
FIRST_CUSTOMER = "01000001"
PASSWORD = "pw"
LATENCY = ["--mobiles", "1", "--customers", "1", "--window", "1", "--warmup", "1", "--measure", "4"]
THROUGHPUT = ["--mobiles", "50", "--customers", "10", "--window", "8", "--warmup", "2", "--measure", "10"]
THROUGHPUT_AGENTS = 10
SCALING_MOBILES = (1, 10)  # the 50-mobile figure is THROUGHPUT's
OPEN_CONNECTIONS = 512
PER_ADDRESS = 16  # the service's MaxOpeningPerAddr default
MAX_OPENING = 256  # per listener
NODE_RELAY = Path(__file__).resolve().parent / "node_relay"
FAULTS = ("wrong", "lost", "late", "drops", "refused", "unanswered")
CLIENT_CPU = {min(os.sched_getaffinity(0))}  # the simulators; everything for the round trips
SERVER_CPU = {max(os.sched_getaffinity(0))}  # the echo server or the service for the throughput


class BenchError(Exception):
    """Something the benchmark needs did not work; the message says what."""


def customer_id(index):
    """The index-th customer counted from 01000001, as vantor-load numbers them."""
    return f"{index + 1:02d}{index + 1:06d}"


def pin(pid, cpus):
    """Allows every thread of process `pid` only `cpus`."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except ProcessLookupError:
            pass  # a thread that has just ended


def free_port(kind=socket.SOCK_STREAM, below=None):
    for _ in range(200):
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("127.0.0.1", random.randint(20000, below) if below else 0))
            except OSError:
                continue
            return s.getsockname()[1]
    raise BenchError("no free port")


class Process:
    """A child process whose standard output is read line by line as it comes; standard error
    goes to a file, shown when the process fails."""
    running = []

    def __init__(self, name, command, workdir, cpus=None, env=None):
        self.name = name
        self.lines = []
        self.changed = threading.Condition()
        self.err_path = Path(workdir) / f"{name}.stderr"
        with open(self.err_path, "w") as err:
            self.popen = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err, text=True, env=env,
                                          preexec_fn=(lambda: os.sched_setaffinity(0, cpus)) if cpus else None)
        Process.running.append(self)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.popen.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def stderr(self):
        return self.err_path.read_text(errors="replace")[-3000:]

    def wait_for_line(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for line in self.lines:
                    if predicate(line):
                        return line
                if self.popen.poll() is not None and not self.reader.is_alive():
                    raise BenchError(f"{self.name} ended (status {self.popen.returncode}) before {what}:\n{self.stderr()}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BenchError(f"{self.name}: timed out waiting for {what}:\n{self.stderr()}")
                self.changed.wait(min(left, 0.2))

    def finish(self, timeout, stop=False):
        """Waits for the end (after SIGTERM when `stop`); returns the exit status."""
        if stop and self.popen.poll() is None:
            self.popen.send_signal(signal.SIGTERM)
        try:
            code = self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise BenchError(f"{self.name} did not end within {timeout} s")
        self.reader.join(5)
        Process.running.remove(self)
        return code

    @classmethod
    def kill_all(cls):
        for p in list(cls.running):
            if p.popen.poll() is None:
                p.popen.kill()
            p.popen.wait()
        cls.running.clear()


def result_of(process):
    """The JSON object of the RESULT line vantor-load prints at its end."""
    line = process.wait_for_line(lambda l: l.startswith("RESULT "), 5, "its result line")
    return json.loads(line[len("RESULT "):])


class Tools:
    def __init__(self, build):
        self.service = build / "src" / "VantorWebSrv"
        self.console = build / "tools" / "vantor-console"
        self.load = build / "tools" / "vantor-load"
        self.echo = build / "tools" / "vantor-echo"
        self.tick_bench = build / "bench" / "supervision_tick_bench"
        missing = [str(p) for p in vars(self).values() if not p.exists()]
        if missing:
            raise BenchError("not built: " + ", ".join(missing) + " (make bench builds them)")
        self.node_modules = build / "bench" / "node_relay" / "node_modules"

    def install_node_relay(self):
        """Node and npm from Debian when missing (as root), then the pinned `ws` package by npm."""
        if not shutil.which("node") or not shutil.which("npm"):
            if os.geteuid() != 0:
                raise BenchError("the Node relay needs node and npm: apt-get install nodejs npm")
            installed = subprocess.run(["apt-get", "install", "-y", "-q", "nodejs", "npm"], capture_output=True,
                                       text=True, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
            if installed.returncode != 0:
                raise BenchError("apt-get install nodejs npm failed:\n" + installed.stderr[-2000:])
        if (self.node_modules / "ws" / "package.json").exists():
            return
        target = self.node_modules.parent
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(NODE_RELAY / "package.json", target / "package.json")
        result = subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--omit=dev"], cwd=target,
                                capture_output=True, text=True, timeout=300)
        if result.returncode != 0:
            raise BenchError("npm install of the Node relay's ws package failed:\n" + result.stderr[-2000:])


class Service:
    """The real service in a program directory of its own, with 99 customers."""

    def __init__(self, tools, workdir):
        self.tools = tools
        self.workdir = workdir
        self.dir = workdir / "prog"
        self.process = None
        self.console("init", str(self.dir))
        for i in range(CUSTOMERS):
            self.console("customer", "add", customer_id(i), f"Bench Customer {i + 1}")
        self.port, self.wss_port, self.metrics_port = free_port(), free_port(), free_port()
        ports = {"WsPort": self.port, "WssPort": self.wss_port, "SnmpPort": free_port(socket.SOCK_DGRAM),
                 "TrapPort": free_port(socket.SOCK_DGRAM, below=32000), "MetricsPort": self.metrics_port}
        for column, value in ports.items():
            self.console("settings", "set", column, str(value))
        shutil.copy2(tools.service, self.dir / "VantorWebSrv")

    def console(self, *args):
        result = subprocess.run([str(self.tools.console), "--dir", str(self.dir), *args],
                                capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            raise BenchError(f"vantor-console {' '.join(args)} failed: {result.stderr}")

    def events(self):
        f = self.dir / "Debug" / "AppEvent.txt"
        return f.read_text(errors="replace") if f.exists() else ""

    def start(self, debug):
        self.console("settings", "set", "DebugMode", "1" if debug else "0")
        before = self.events().count("Service Started")
        self.process = Process("service", [str(self.dir / "VantorWebSrv")], self.workdir)
        deadline = time.monotonic() + 15
        while self.events().count("Service Started") <= before:
            if self.process.popen.poll() is not None:
                raise BenchError(f"the service ended at its start (status {self.process.popen.returncode}):\n"
                                 f"{self.process.stderr()}")
            if time.monotonic() > deadline:
                raise BenchError("the service did not start within 15 s:\n" + self.process.stderr())
            time.sleep(0.05)

    @property
    def pid(self):
        return self.process.popen.pid

    def rss_anon_kib(self):
        for line in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
        raise BenchError("no RssAnon in /proc/PID/status")

    def stop(self):
        code = self.process.finish(30, stop=True)
        self.process = None
        if code != 0:
            raise BenchError(f"the service ended with status {code}")


class Scraper:
    """Fetches the service's /metrics once a second on a thread of its own while in use."""

    def __init__(self, port):
        self.url = f"http://127.0.0.1:{port}/metrics"
        self.counts = {"ok": 0, "failed": 0}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self.stop.wait(1.0):
            try:
                with urllib.request.urlopen(self.url, timeout=5) as answer:
                    answer.read()
                self.counts["ok"] += 1
            except OSError:
                self.counts["failed"] += 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.stop.set()
        self.thread.join()


class Bench:
    def __init__(self, tools, workdir):
        self.tools = tools
        self.workdir = workdir
        self.runs = 0

    def load(self, port, *args, cpus=None):
        self.runs += 1
        command = [str(self.tools.load), "--port", str(port), "--customers-from", FIRST_CUSTOMER,
                   "--password", PASSWORD, "--payload-bytes", str(PAYLOAD_BYTES), *map(str, args)]
        return Process(f"load{self.runs}", command, self.workdir, cpus or CLIENT_CPU)

    def mobiles(self, port, shape, pid=None, cpus=None):
        """One measured run of mobiles only; returns its result."""
        extra = ["--pid", pid] if pid else []
        p = self.load(port, "--agents", 0, *shape, "--duration", 60, *extra, cpus=cpus)
        p.finish(90)
        return result_of(p)

    def agents(self, port, count, first_index=0):
        """A process holding `count` agents connected from customer `first_index` on."""
        p = self.load(port, "--agents", count, "--customers-from", customer_id(first_index),
                      "--mobiles", 0, "--duration", 900, "--report-every", 1)
        p.wait_for_line(lambda l: l.startswith("REPORT ") and f" agents={count}/{count} " in l, 30,
                        f"{count} agents connected")
        return p

    def stop_load(self, p):
        p.finish(20, stop=True)
        return result_of(p)

    def traffic(self, port, server, pid=None):
        """Latency with the `server` process beside the simulators, then throughput with it on a
        CPU of its own, against `port`; the service's CPU time when `pid` is given."""
        pin(server, CLIENT_CPU)
        latency = self.mobiles(port, LATENCY, cpus=CLIENT_CPU)
        pin(server, SERVER_CPU)
        return {"latency": latency, "throughput": self.mobiles(port, THROUGHPUT, pid, cpus=CLIENT_CPU)}

    def direct_echo(self):
        echo = Process("echo", [str(self.tools.echo), "--port", "0"], self.workdir)
        line = echo.wait_for_line(lambda l: l.startswith("LISTENING port="), 10, "the echo server listening")
        figures = self.traffic(int(line.split("=", 1)[1]), echo.popen.pid)
        echo.finish(10, stop=True)
        return figures

    def node_relay(self):
        self.tools.install_node_relay()
        node = Process("node", ["node", str(NODE_RELAY / "relay.js"), "--port", "0"], self.workdir,
                       env={**os.environ, "NODE_PATH": str(self.tools.node_modules)})
        line = node.wait_for_line(lambda l: l.startswith("LISTENING port="), 10, "the Node relay listening")
        port = int(line.split("=", 1)[1])
        agents = self.agents(port, THROUGHPUT_AGENTS)
        figures = self.traffic(port, node.popen.pid, node.popen.pid)
        figures["agents"] = self.stop_load(agents)
        node.finish(10, stop=True)
        return figures

    def relay(self, service, debug, measure_memory):
        service.start(debug)
        if measure_memory:
            idle_rss = service.rss_anon_kib()
        agents = self.agents(service.port, THROUGHPUT_AGENTS)
        figures = self.traffic(service.port, service.pid, service.pid)
        if measure_memory:
            figures["scaling"] = {n: self.mobiles(service.port, scaled(n), service.pid, cpus=CLIENT_CPU)
                                  for n in SCALING_MOBILES}
            with Scraper(service.metrics_port) as scraper:
                figures["scraped"] = self.mobiles(service.port, THROUGHPUT, service.pid, cpus=CLIENT_CPU)
            figures["scrapes"] = scraper.counts
            figures["rss_anon_kib"], figures["idle"] = self.idle_memory(service)
            figures["rss_anon_kib"]["idle"] = idle_rss
        figures["agents"] = self.stop_load(agents)
        service.stop()
        return figures

    def idle_memory(self, service):
        """RssAnon once all 99 agents and 50 mobiles (one request each, then quiet) are in, and
        again with connections still opening up to OPEN_CONNECTIONS, read before their 5 s
        opening deadline drops them."""
        rest = self.agents(service.port, CUSTOMERS - THROUGHPUT_AGENTS, THROUGHPUT_AGENTS)
        mobiles = self.load(service.port, "--agents", 0, "--mobiles", 50, "--customers", CUSTOMERS,
                            "--rate", 0.01, "--duration", 120, "--report-every", 1)
        mobiles.wait_for_line(lambda l: l.startswith("REPORT ") and " mobiles=50/50 " in l and " in_flight=0 " in l,
                              30, "50 idle mobiles connected")
        rss = {"admitted": service.rss_anon_kib()}
        # Each listener holds at most MAX_OPENING connections still opening.
        opening = [open_silently(service.port if i < MAX_OPENING else service.wss_port, 2 + i % MAX_OPENING // PER_ADDRESS)
                   for i in range(OPEN_CONNECTIONS - CUSTOMERS - 50)]
        time.sleep(1)
        rss["open"] = service.rss_anon_kib()
        for s in opening:
            s.close()
        idle = [self.stop_load(mobiles), self.stop_load(rest)]
        return rss, idle

    def tick(self):
        result = subprocess.run([str(self.tools.tick_bench), "--benchmark_format=json",
                                 "--benchmark_min_time=0.5"], capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            raise BenchError("supervision_tick_bench failed: " + result.stderr[-2000:])
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
        times = {}
        for b in json.loads(result.stdout)["benchmarks"]:
            if b.get("error_occurred"):
                raise BenchError(f"{b['name']}: {b.get('error_message')}")
            times[b["name"]] = b["cpu_time"] * scale[b["time_unit"]]
        return times


def scaled(mobiles):
    """THROUGHPUT's shape with `mobiles` mobiles."""
    shape = list(THROUGHPUT)
    shape[shape.index("--mobiles") + 1] = str(mobiles)
    return shape


def open_silently(port, address_byte):
    """A TCP connection from 127.0.0.<address_byte> that never sends its upgrade request."""
    s = socket.socket()
    s.bind((f"127.0.0.{address_byte}", 0))
    s.connect(("127.0.0.1", port))
    return s


def faults(figures):
    """Fault counters summed over every simulator result in `figures`."""
    results = [figures["latency"], figures["throughput"], *([figures["agents"]] if "agents" in figures else []),
               *([figures["scraped"]] if "scraped" in figures else []),
               *figures.get("idle", []), *figures.get("scaling", {}).values()]
    return {k: sum(r[k] for r in results) for k in FAULTS}


def table(a, n, off, on, ticks):
    def num(v, fmt="{:.1f}"):
        return "-" if v is None else fmt.format(v)

    def ratio(c, base):
        return "-" if not base else f"{c / base:.2f}"

    cases = (a, n, off, on)
    lat = lambda f, k: f["latency"][k]
    thr = lambda f: f["throughput"]["per_second"]
    cpu = lambda f: f["throughput"]["service_cpu_us_per_answer"]
    fault_text = lambda f: "/".join(str(faults(f)[k]) for k in FAULTS)
    of_a = lambda value: ["-"] + [ratio(value(f), value(a)) for f in (n, off, on)]
    only_off = lambda text: ["-", "-", text, "-"]
    rows = [
        ("p50 round trip, 1 mobile, 1 in flight, 1 CPU (us)", [num(lat(f, "p50_us")) for f in cases]),
        ("p99 round trip, 1 mobile, 1 in flight, 1 CPU (us)", [num(lat(f, "p99_us")) for f in cases]),
        ("throughput, 50 mobiles x 8 in flight, 2 CPUs (round trips/s)", [num(thr(f), "{:.0f}") for f in cases]),
        ("relay CPU per round trip (us)", ["-"] + [num(cpu(f), "{:.2f}") for f in (n, off, on)]),
        ("p50 against A", of_a(lambda f: lat(f, "p50_us"))),
        ("p99 against A", of_a(lambda f: lat(f, "p99_us"))),
        ("throughput against A", of_a(thr)),
        ("throughput cost of debug on (off/on)", ["-", "-", "-", ratio(thr(off), thr(on))]),
    ]
    for mobiles in SCALING_MOBILES:
        r = off["scaling"][mobiles]
        rows.append((f"{mobiles} mobile(s) x 8 in flight: round trips/s, CPU us each",
                     only_off(f"{r['per_second']:.0f}, {num(r['service_cpu_us_per_answer'], '{:.2f}')}")))
    r, scrapes = off["scraped"], off["scrapes"]
    rows.append(("50 x 8 with /metrics scraped each second: round trips/s, CPU us each",
                 only_off(f"{r['per_second']:.0f}, {num(r['service_cpu_us_per_answer'], '{:.2f}')}"
                          f" ({scrapes['ok']} scrapes, {scrapes['failed']} failed)")))
    rss = off["rss_anon_kib"]
    rows += [
        ("service RssAnon idle / 149 admitted / 512 open (KiB)",
         only_off(f"{rss['idle']} / {rss['admitted']} / {rss['open']}")),
        ("supervision tick, full tables, in-process (us CPU)", only_off(num(ticks.get("BM_Tick"), "{:.2f}"))),
        ("first tick of an hour, same tables (us CPU)", only_off(num(ticks.get("BM_HourlyTick"), "{:.2f}"))),
        ("/".join(FAULTS), [fault_text(f) for f in cases]),
    ]
    head = ("", "A direct echo", "N Node ws relay", "C debug off", "C debug on")
    width = max(len(r[0]) for r in rows)
    cols = [max(len(head[i + 1]), *(len(r[1][i]) for r in rows)) for i in range(4)]
    out = [f"{head[0]:<{width}}  " + "  ".join(f"{h:>{w}}" for h, w in zip(head[1:], cols))]
    out.append("-" * len(out[0]))
    out += [f"{name:<{width}}  " + "  ".join(f"{v:>{w}}" for v, w in zip(values, cols)) for name, values in rows]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", type=Path, help="build directory (default: build)")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    workdir = Path(tempfile.mkdtemp(prefix="vantor-bench-"))
    began = time.monotonic()
    try:
        tools = Tools(args.build.resolve())
        bench = Bench(tools, workdir)
        a = bench.direct_echo()
        n = bench.node_relay()
        service = Service(tools, workdir)
        off = bench.relay(service, debug=False, measure_memory=True)
        on = bench.relay(service, debug=True, measure_memory=False)
        ticks = bench.tick()
    except BenchError as e:
        print(f"run_bench: {e}", file=sys.stderr)
        return 2
    finally:
        Process.kill_all()
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"Vantor Web relay benchmark: loopback, {PAYLOAD_BYTES}-byte request payloads, simulators on CPU "
          f"{min(CLIENT_CPU)}, server on CPU {min(SERVER_CPU)} for the throughput, {time.monotonic() - began:.0f} s")
    print(table(a, n, off, on, ticks))
    bad = {name: f for name, f in (("A", a), ("N", n), ("C debug off", off), ("C debug on", on))
           if any(faults(f).values())}
    for name, f in bad.items():
        print(f"run_bench: WARNING: case {name}: faults {faults(f)}", file=sys.stderr)
    if off["scrapes"]["failed"]:
        print(f"run_bench: WARNING: {off['scrapes']['failed']} scrapes of /metrics failed", file=sys.stderr)
    return 1 if bad or off["scrapes"]["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
