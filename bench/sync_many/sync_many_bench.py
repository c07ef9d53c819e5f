#!/usr/bin/python3
"""Many clients at once through tavrin_host on the SQL Server stand-in, side by side in one run.

The demo gains the bench table of bench/sync_bulk (key `id int IDENTITY`, two nvarchar, a
decimal(12,2), a datetime, a nullable int), with ROWS rows owned by each client. In the
workloads push3 and push50 each of N client processes (default 1, 4 and 16) loops for a fixed
time: change SIZE of its own rows (a fifth, at least one, inserted, as many deleted, the rest
updated), push them, pull (an incremental pull that brings the other clients' changes). A
refused or failed push is not sent again: the client drops its rows and pulls afresh.

tavrin_host runs pinned to cores of its own (taskset, --host-cpus; the SQL Server stand-in
runs inside it), the clients on the others (--client-cpus), so that the figures show the
server and not a starved machine. Each configuration runs on a freshly provisioned demo, the
configurations take turns for several rounds. Printed per configuration: changed rows/s of
acknowledged pushes (the median of the rounds) and against N=1, pushes, push p50 and p99 and
their ratio, pull p50 and p99 in milliseconds, the answers with status 500 and the other
failures, and the host's processor time per push with its pull (which the machine's other load
moves far less than the rates); then the texts of the 500 answers. With N clients each pull
brings the rows of the N-1 others, so the host's work per push grows with N.

Small requests, from one client on a host of their own (--small-rounds times each): statement
executions (parameter sets; round trips in brackets) of a 3-row and of a 50-row push, counted by
the stand-in's driver; and the stateless 3-row incremental pull: a client that has pulled
before, another client pushes 3 changed rows, the first pulls again from its baseline (the
`from` key alone; it never pushed, so no pending stamp and no identity-key log of its own) and
only that GET is timed. The executions are counted on one host, the times taken on another
without counting (the count file costs each statement a lock and a write).

With --reference the same runs of a second build tree (e.g. the code before a change) take
turns with those of the first; the tables gain rows of that build and the ratios between them.

usage: sync_many_bench.py --build BUILD_DIR [--reference BUILD_DIR] [--clients 1,4,16]
                          [--sizes 3,50] [--seconds 20] [--repeat 3] [--workers 16]
                          [--host-cpus 0-3] [--client-cpus 4-7] [--small-rounds 30] [--keep]
                          [--host-wrapper "perf record -g -o FILE"] [--wait-profile DIR]

--wait-profile DIR records the scheduler's switches on the host's cpus (perf, system-wide: run
as root) through the middle half of each run of the most clients, and prints where the host's
threads waited (wait_profile.py): the write lock and who asked for it, readers waiting for a
writer, disk syncs, idle workers, or preempted for want of cpus.
"""
import argparse
import collections
import json
import os
import random
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
sys.path.insert(0, HERE)
import demo  # noqa: E402
import wait_profile  # noqa: E402
from tavrin_client import Client, ClientError, ProtocolError, quote_name  # noqa: E402

TABLE = "dbo.bench"
TABLE_SQL = ("CREATE TABLE dbo.bench (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(50) NOT NULL,"
             " note nvarchar(100) NULL, price decimal(12,2) NULL, stamp datetime NULL, qty int NULL)")
# The stand-in's driver adds its execution counts to the file this names.
COUNTER_ENV = "SQLSERVER_STANDIN_EXECUTION_COUNTS"
OK_STATUSES = (200, 204, 244, 245, 246, 304)
# The clients' copies and work files (their push packages, the deltas they decode) live in
# memory where there is a tmpfs: the clients' own disk syncs stay out of the figures.
CLIENT_SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None


# The demos (the stand-in's data, the host's temp directory) stay where temporary files go.
SERVER_SCRATCH = tempfile.gettempdir()


def client_env():
    env = dict(os.environ)
    if CLIENT_SCRATCH:
        env["TMPDIR"] = CLIENT_SCRATCH
    return env


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def own_prefix(fid):
    return "c%d-" % fid


def seed_sql(clients, rows):
    """The rows every client owns at the start: names c<fid>-s<i>."""
    values = ["(N'%ss%d', N'seeded', %d.50, '2024-01-%02d 10:00:00', %s)" % (
        own_prefix(fid), i, i % 1000, 1 + i % 28, "NULL" if i % 10 == 0 else str(i % 97))
        for fid in range(1, clients + 1) for i in range(rows)]
    return "".join("INSERT INTO dbo.bench (name, note, price, stamp, qty) VALUES %s\n" % ", ".join(values[i:i + 1000])
                   for i in range(0, len(values), 1000))


class Programs:
    def __init__(self, build):
        build = os.path.abspath(build)
        self.build = build
        self.host = os.path.join(build, "standin", "iis", "tavrin_host")
        self.standin = os.path.join(build, "standin", "sqlserver", "sqlserver-standin")
        self.driver = os.path.join(build, "standin", "sqlserver", "libsqlserver_standin_odbc.so")
        self.module = os.path.join(build, "src", "servers", "iis", "libtavrin_server.so")
        for path in (self.host, self.standin, self.driver, self.module):
            if not os.path.exists(path):
                sys.exit("sync_many_bench: %s is missing (build the plain tree first)" % path)


class Demo:
    """A provisioned demo with the bench table, served by tavrin_host (pinned by wrapper)."""

    def __init__(self, programs, clients, rows, workers, wrapper=(), count=False):
        self.p = programs
        self.directory = tempfile.mkdtemp(prefix="tavrin-many-", dir=SERVER_SCRATCH)
        self.facts = demo.provision(self.directory, programs.standin, programs.driver, programs.module)
        self.sql(TABLE_SQL + "\n" + seed_sql(clients, rows))
        demo.cli(programs.standin, "add-table", self.facts["data_dir"], demo.DBFILE_DB, demo.DBFILE, TABLE)
        self.counter = os.path.join(self.directory, "executions") if count else None
        env = dict(os.environ)
        env.pop(COUNTER_ENV, None)
        if self.counter:
            env[COUNTER_ENV] = self.counter
        self.process = subprocess.Popen(list(wrapper) + [programs.host, "--config", self.facts["host_config"],
                                                         "--workers", str(workers), "--timeout", "600",
                                                         "--log", os.path.join(self.directory, "host.log")],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        self.port = self.wait_for_port()
        self.url = "http://127.0.0.1:%d%s" % (self.port, self.facts["app_path"])

    def wait_for_port(self):
        port, _ = demo.wait_for_listening(self.process, 60)
        if port is None:
            sys.exit("sync_many_bench: tavrin_host did not start")
        return port

    def sql(self, script):
        return demo.sql(self.p.standin, self.facts["data_dir"], demo.DBFILE_DB, script, self.directory)

    def executions(self):
        """(round trips, parameter sets) the driver counted so far."""
        try:
            with open(self.counter) as f:
                counts = dict(line.split() for line in f if line.strip())
            return int(counts["round_trips"]), int(counts["parameter_sets"])
        except (OSError, ValueError, KeyError, TypeError):
            return 0, 0

    def stop(self, keep):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        if keep:
            print("kept %s" % self.directory, file=sys.stderr)
        else:
            shutil.rmtree(self.directory, ignore_errors=True)


class RecordingClient(Client):
    """The test client, recording every answer: [kind, start, seconds, status, rows, text of a 500]."""

    def __init__(self, path, url, dbfile, fid):
        super().__init__(path, url, dbfile, fid, timeout=600)
        # A bench client's copy need not survive a crash: without a sync per local change the
        # clients' own disk writes stay out of the figures.
        self.db.execute("PRAGMA synchronous = OFF")
        self.db.execute("PRAGMA journal_mode = MEMORY")
        self.answers = []
        self.rows = 0

    def request(self, method, path, query, body=b"", headers=None):
        start = time.time()
        record = [path.strip("/"), start, 0.0, 0, self.rows, None]
        try:
            answer = super().request(method, path, query, body, headers)
            record[3] = answer.status
            if answer.status == 500:
                record[5] = answer.body.rstrip(b"\0").decode("utf-8", "replace")[:300]
            return answer
        finally:
            record[2] = time.time() - start
            self.answers.append(record)


class Worker:
    """One client: each round changes `size` of its own rows, pushes, pulls."""

    def __init__(self, directory, url, dbfile, fid, size):
        self.fid, self.size = fid, size
        self.rng = random.Random(fid * 7919)
        self.client = RecordingClient(os.path.join(directory, "client-%d.sqlite" % fid), url, dbfile, fid)
        self.serial = 0
        self.failures = []

    def own_rows(self):
        _, (name, _, _, _) = self.client.table_by_name("bench")
        return [r[0] for r in self.client.db.execute(
            "SELECT z_rid FROM %s WHERE z_state = 0 AND name LIKE ?" % quote_name(name), (own_prefix(self.fid) + "%",))]

    def change(self):
        """Changes `size` rows: a fifth (at least one) inserted, as many deleted, the rest updated."""
        inserts = max(1, self.size // 5)
        deletes = min(inserts, self.size - inserts)
        updates = self.size - inserts - deletes
        rows = self.own_rows()
        self.rng.shuffle(rows)
        if len(rows) < updates + deletes:
            raise ClientError("client %d holds %d own rows, %d needed" % (self.fid, len(rows), updates + deletes))
        with self.client.db:
            self.change_rows(rows, inserts, updates, deletes)
        return self.size

    def change_rows(self, rows, inserts, updates, deletes):
        self.client.db.execute("BEGIN")
        for rid in rows[:deletes]:
            self.client.delete("bench", rid)
        for rid in rows[deletes:deletes + updates]:
            self.serial += 1
            self.client.update("bench", rid, {"note": "u%d" % self.serial, "qty": self.serial % 1000})
        for _ in range(inserts):
            self.serial += 1
            self.client.insert("bench", {"name": "%sn%d" % (own_prefix(self.fid), self.serial), "note": "new",
                                         "price": 250, "stamp": "2024-02-01 00:00:00", "qty": self.serial % 97})

    def resync(self):
        """Forgets every local row, the pending ones too, and pulls the dbfile afresh."""
        for name, _, _, _ in self.client.tables().values():
            self.client.db.execute("DELETE FROM %s" % quote_name(name))
        for key in ("baseline", "filter_base", "pending"):
            self.client.set_meta(key, None)
        self.pull()

    def pull(self):
        try:
            self.client.pull()
        except ClientError as error:
            self.failures.append(str(error)[:300])

    def round(self):
        try:
            self.client.rows = self.change()
            result = self.client.push()
            acked = result.status == 200 or bool(result.status_doc and result.status_doc.get("push-succeeded"))
        except (ProtocolError, ClientError) as error:
            self.failures.append(str(error)[:300])
            acked = False
        if not acked:
            self.resync()
            return
        self.pull()

    def run(self, start, seconds):
        self.pull()
        self.client.answers.clear()
        delay = start - time.time()
        if delay > 0:
            time.sleep(delay)
        deadline = time.time() + seconds
        rounds = 0
        while time.time() < deadline:
            self.round()
            rounds += 1
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return {"fid": self.fid, "rounds": rounds, "answers": self.client.answers, "failures": self.failures,
                "cpu": usage.ru_utime + usage.ru_stime}


def worker_main(argv):
    directory, url, dbfile, fid, size, start, seconds, out = argv
    worker = Worker(directory, url, dbfile, int(fid), int(size))
    result = worker.run(float(start), float(seconds))
    worker.client.close()
    with open(out, "w") as f:
        json.dump(result, f)
    return 0


def host_cpu_seconds(process):
    """The processor time tavrin_host has used so far, or None when the wrapper runs it as a child."""
    try:
        with open("/proc/%d/comm" % process.pid) as f:
            if f.read().strip() != "tavrin_host":
                return None
        with open("/proc/%d/stat" % process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return None


def run_configuration(programs, size, clients, args):
    d = Demo(programs, max(args.clients), args.rows, args.workers, host_wrapper(args))
    work = tempfile.mkdtemp(prefix="tavrin-many-clients-", dir=CLIENT_SCRATCH)
    try:
        host_cpu_before = host_cpu_seconds(d.process)
        start = time.time() + 3 + clients * 0.3
        processes, outputs = [], []
        for fid in range(1, clients + 1):
            out = os.path.join(work, "worker-%d.json" % fid)
            outputs.append(out)
            processes.append(subprocess.Popen(
                client_wrapper(args) + [sys.executable, os.path.abspath(__file__), "worker", work, d.url,
                                        demo.DBFILE, str(fid), str(size), repr(start), str(args.seconds), out],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=client_env()))
        profiler = start_wait_profile(args, programs, size, clients, start) if args.wait_profile else None
        results = []
        for process, out in zip(processes, outputs):
            _, err = process.communicate(timeout=args.seconds + 600)
            if process.returncode != 0:
                sys.exit("sync_many_bench: worker %s failed: %s" % (out, err.decode("utf-8", "replace")[-2000:]))
            with open(out) as f:
                results.append(json.load(f))
        waits = finish_wait_profile(profiler)
        host_cpu_after = host_cpu_seconds(d.process)
    finally:
        d.stop(args.keep)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    answers = [a for r in results for a in r["answers"]]
    failures = [f for r in results for f in r["failures"]]
    begin = min(a[1] for a in answers)
    end = max(a[1] + a[2] for a in answers)
    changed = sum(a[4] for a in answers if a[0] == "push" and a[3] == 200)
    # The clients' processor time against the window: more than the client cpus can give means the
    # clients, not the server, set the pace.
    cpu = sum(r["cpu"] for r in results) / (end - begin)
    # The host's processor time per push with its pull: on a machine shared with other work the
    # rates drift with the load, this much less.
    pushes = sum(1 for a in answers if a[0] == "push")
    host_cpu = None
    if host_cpu_before is not None and host_cpu_after is not None and pushes:
        host_cpu = (host_cpu_after - host_cpu_before) * 1000 / pushes
    return {"answers": answers, "failures": failures, "rate": changed / (end - begin), "client_cpus": cpu,
            "waits": waits, "host_cpu_ms": host_cpu}


def start_wait_profile(args, programs, size, clients, start):
    """With --wait-profile, a recording of the scheduler's switches on the host's cpus through the
    middle half of the run of the most clients (wait_profile.py reads it), or None."""
    if clients != max(args.clients) or programs is not args.builds[0][1]:
        return None
    path = os.path.join(args.wait_profile, "waits-%d-rows-%d-clients.data" % (size, clients))
    delay = max(0.0, start + args.seconds / 4 - time.time())
    cpus = ["-C", args.host_cpus] if args.host_cpus else []
    command = ["sh", "-c", 'sleep "$0" && exec "$@"', "%.1f" % delay, "perf", "record", "-q", "-e",
               "sched:sched_switch", "--call-graph", "dwarf,16384", "-a"] + cpus + [
        "-o", path, "--", "sleep", "%.1f" % (args.seconds / 2)]
    return path, subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def finish_wait_profile(profiler):
    """The summary of a recording (while the host still runs, so that its symbols resolve)."""
    if profiler is None:
        return None
    path, process = profiler
    if process.wait() != 0:
        print("sync_many_bench: perf could not record the scheduler's switches", file=sys.stderr)
        return None
    script = subprocess.run(["perf", "script", "-i", path, "-F", "tid,time,event,trace,ip,sym"],
                            capture_output=True, text=True, errors="replace")
    return wait_profile.summarise(script.stdout.splitlines())


def summarise(runs):
    answers = [a for run in runs for a in run["answers"]]
    figures = {"rate": statistics.median(run["rate"] for run in runs),
               "500": [a[5] or "" for a in answers if a[3] == 500],
               "other failures": sum(1 for a in answers if a[3] not in OK_STATUSES + (500,))}
    host_cpu = [run["host_cpu_ms"] for run in runs if run["host_cpu_ms"] is not None]
    figures["host cpu"] = statistics.median(host_cpu) if host_cpu else float("nan")
    for kind in ("push", "pull"):
        times = [a[2] * 1000 for a in answers if a[0] == kind]
        figures[kind] = (len(times), percentile(times, 0.5), percentile(times, 0.99))
    return figures


def small_requests(programs, args, count):
    """One client: `args.small_rounds` 3-row pushes, 50-row pushes and stateless 3-row pulls.
    Returns {figure: [values]}: executions when count, else milliseconds."""
    d = Demo(programs, 2, max(args.rows, 60), args.workers, host_wrapper(args), count=count)
    work = tempfile.mkdtemp(prefix="tavrin-many-clients-", dir=CLIENT_SCRATCH)
    figures = {"push3": [], "push50": [], "pull3": []}
    try:
        pusher = Worker(work, d.url, demo.DBFILE, 1, 3)
        puller = RecordingClient(os.path.join(work, "puller.sqlite"), d.url, demo.DBFILE, 2)
        pusher.pull()
        puller.pull()
        for _ in range(args.small_rounds):
            for size in (3, 50):
                pusher.size = size
                pusher.change()
                before = d.executions()
                result = pusher.client.push()
                after = d.executions()
                if result.status != 200:
                    sys.exit("sync_many_bench: a %d-row push answered %r" % (size, result))
                post = pusher.client.answers[-1]
                figures["push%d" % size].append((after[0] - before[0], after[1] - before[1]) if count
                                                else post[2] * 1000)
                pusher.client.pull()
                if size == 3:
                    # The other client's pull of those 3 rows, with its baseline alone.
                    before = d.executions()
                    result = puller.pull()
                    after = d.executions()
                    if result.status != 200 or result.applied != 3:
                        sys.exit("sync_many_bench: the incremental pull answered %r" % (result,))
                    get = puller.answers[-1]
                    figures["pull3"].append((after[0] - before[0], after[1] - before[1]) if count
                                            else get[2] * 1000)
                else:
                    puller.pull()
        pusher.client.close()
        puller.close()
    finally:
        d.stop(args.keep)
        shutil.rmtree(work, ignore_errors=True)
    return figures


def host_wrapper(args):
    return (["taskset", "-c", args.host_cpus] if args.host_cpus else []) + args.host_wrapper


def client_wrapper(args):
    return ["taskset", "-c", args.client_cpus] if args.client_cpus else []


def default_cpus():
    """The first half of the processors for the host, the rest for the clients."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        return None, None
    half = len(cpus) // 2
    return ",".join(map(str, cpus[:half])), ",".join(map(str, cpus[half:]))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "worker":
        return worker_main(sys.argv[2:])
    # The clients of this process (the small requests) keep their work files in memory too.
    tempfile.tempdir = CLIENT_SCRATCH
    host_cpus, client_cpus = default_cpus()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the plain build tree")
    parser.add_argument("--reference", help="another build tree (e.g. of the code before a change), run in turn "
                                            "with --build and printed next to it")
    parser.add_argument("--clients", type=lambda t: [int(x) for x in t.split(",") if x], default=[1, 4, 16])
    parser.add_argument("--sizes", type=lambda t: [int(x) for x in t.split(",") if x], default=[3, 50],
                        help="rows each push changes, one workload per size")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--repeat", type=int, default=3, help="rounds of all configurations")
    parser.add_argument("--rows", type=int, default=200, help="rows each client owns at the start")
    parser.add_argument("--workers", type=int, default=16, help="tavrin_host's worker threads")
    parser.add_argument("--host-cpus", default=host_cpus, help="taskset's cpu list for the host ('' for none)")
    parser.add_argument("--client-cpus", default=client_cpus, help="taskset's cpu list for the clients")
    parser.add_argument("--small-rounds", type=int, default=30, help="requests of each kind from one client "
                        "(0: none)")
    parser.add_argument("--wait-profile", metavar="DIR", help="record with perf where the host's threads wait in "
                        "the runs of the most clients (first build only) and print the summaries")
    parser.add_argument("--keep", action="store_true", help="keep the demo and client directories")
    parser.add_argument("--host-wrapper", type=str.split, default=[],
                        help="a command the host runs under, e.g. a profiler")
    args = parser.parse_args()
    if any(size < 2 for size in args.sizes):
        parser.error("a push changes at least 2 rows (one inserted, one deleted)")
    args.rows = max(args.rows, 2 * max(args.sizes))
    builds = [("build", Programs(args.build))]
    if args.reference:
        builds.append(("reference", Programs(args.reference)))
    args.builds = builds
    if args.wait_profile:
        os.makedirs(args.wait_profile, exist_ok=True)
    print("host on cpus %s, clients on cpus %s" % (args.host_cpus or "any", args.client_cpus or "any"),
          file=sys.stderr)

    small = {}
    if args.small_rounds:
        for name, programs in builds:
            small[name, "count"] = small_requests(programs, args, True)
            small[name, "time"] = small_requests(programs, args, False)
            print("  small requests %s: 3-row push p50 %.1f ms, stateless 3-row pull p50 %.1f ms" % (
                name, percentile(small[name, "time"]["push3"], 0.5), percentile(small[name, "time"]["pull3"], 0.5)),
                file=sys.stderr)

    # The configurations take turns, round after round, so that a machine whose speed drifts
    # during the run weighs on all of them alike.
    runs = {}
    for round_number in range(args.repeat):
        for size in args.sizes:
            for n in args.clients:
                for name, programs in builds:
                    run = run_configuration(programs, size, n, args)
                    runs.setdefault((name, size, n), []).append(run)
                    print("  round %d %s %d-row pushes N=%d: %.0f changed rows/s, %d answers 500, clients busy "
                          "%.1f cpus, host cpu %.1f ms a push" % (
                              round_number + 1, name, size, n, run["rate"],
                              sum(1 for a in run["answers"] if a[3] == 500), run["client_cpus"],
                              run["host_cpu_ms"] if run["host_cpu_ms"] is not None else float("nan")),
                          file=sys.stderr)
    results = {key: summarise(value) for key, value in runs.items()}

    if small:
        print("\nsmall requests from one client (%d of each; executions = parameter sets, round trips in brackets)"
              % args.small_rounds)
        print("| build | 3-row push executions | 3-row push p50 ms | 50-row push executions | 50-row push p50 ms "
              "| stateless 3-row pull executions | stateless 3-row pull p50 ms |")
        print("|---|---|---|---|---|---|---|")
        for name, _ in builds:
            counts, times = small[name, "count"], small[name, "time"]
            cells = []
            for kind in ("push3", "push50", "pull3"):
                sets = [c[1] for c in counts[kind]]
                trips = [c[0] for c in counts[kind]]
                cells.append("%s (%s)" % (span(sets), span(trips)))
                cells.append("%.1f" % percentile(times[kind], 0.5))
            print("| %s | %s |" % (name, " | ".join(cells)))

    if runs:
        print("\n%g s per configuration and round, %d rounds (rows/s: median of the rounds), tavrin_host with %d "
              "workers on cpus %s, clients on cpus %s" % (args.seconds, args.repeat, args.workers,
                                                          args.host_cpus or "any", args.client_cpus or "any"))
        print("| build | rows/push | N | changed rows/s | x N=1 | pushes | push p50 ms | push p99 ms | p99/p50 "
              "| pulls | pull p50 ms | pull p99 ms | 500s | other failures | host cpu ms/push |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for name, _ in builds:
            for size in args.sizes:
                single = results[name, size, args.clients[0]]
                for n in args.clients:
                    f = results[name, size, n]
                    push_n, push_p50, push_p99 = f["push"]
                    pull_n, pull_p50, pull_p99 = f["pull"]
                    print("| %s | %d | %d | %.0f | %.2f | %d | %.1f | %.1f | %.1f | %d | %.1f | %.1f | %d | %d | %.1f |"
                          % (name, size, n, f["rate"], f["rate"] / single["rate"], push_n, push_p50, push_p99,
                             push_p99 / push_p50 if push_p50 else float("nan"), pull_n, pull_p50, pull_p99,
                             len(f["500"]), f["other failures"], f["host cpu"]))
        if len(builds) > 1:
            for size in args.sizes:
                for n in args.clients:
                    mine, theirs = results["build", size, n], results["reference", size, n]
                    print("%d-row pushes, N=%d: build / reference changed rows/s %.2fx, push p50 %.2fx, "
                          "push p99 %.2fx" % (size, n, mine["rate"] / theirs["rate"],
                                              mine["push"][1] / theirs["push"][1], mine["push"][2] / theirs["push"][2]))
        for key, value in sorted(runs.items()):
            waits = collections.Counter()
            for run in value:
                waits.update(run["waits"] or {})
            if waits:
                print("\nwhere the host's threads wait: %s, %d-row pushes, N=%d (middle half of each round)"
                      % key)
                print(wait_profile.report(waits))
        for key, f in sorted(results.items()):
            if f["500"]:
                print("\n%s, %d-row pushes, N=%d: %d answers 500:" % (key[0], key[1], key[2], len(f["500"])))
                texts = {}
                for text in f["500"]:
                    texts[text] = texts.get(text, 0) + 1
                for text, number in sorted(texts.items(), key=lambda kv: -kv[1])[:5]:
                    print("  %dx %s" % (number, text.replace("\n", " | ")[:300]))
    return 0


def span(values):
    """The median of counts, with their range when they vary."""
    if not values:
        return "-"
    low, high, middle = min(values), max(values), statistics.median(values)
    return ("%g" % middle) if low == high else "%g [%g-%g]" % (middle, low, high)


if __name__ == "__main__":
    sys.exit(main())
