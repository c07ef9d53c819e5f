#!/usr/bin/python3
"""Big pushes and pulls through tavrin_host on the SQL Server stand-in, side by side in one run.

The bench table has six columns: the key `id int`, two nvarchar, a decimal(12,2), a datetime and
a nullable int. Its key is an identity column (`--keys identity`, the default), a plain int
(`--keys plain`), or each in turn (`--keys identity,plain`); the two variants differ in nothing
else.

Pushes: a synchronised bench table of BASE rows is pulled by the test client; then pushes of
each size (default 1k and 10k rows) are timed for inserts, clean updates, and updates of rows
that the server changed meanwhile (every row conflicting) under the rule "server wins" and under
the column merge. Only the POST is timed. Printed per push: seconds, rows/s, the per-row time
against the smallest size, and, when the stand-in's driver counts them, statement round trips
and executions (parameter sets) per pushed row.

Pulls: for each size (default 10k, 100k, 400k rows) an initial pull (the GET alone) next to
the bare pipeline (bench/sync_bulk/bare_pull: the same rows with row ids and versions fetched
through the same ODBC driver, inserted into a fresh SQLite file, compressed). Printed: both
times, their ratio, and the per-row time against the smallest size.

With --reference the same runs of a second build tree (e.g. the code before a change) take
turns with those of the first: each push or pull runs on both builds before the next, and the
tables gain a column naming the build.

usage: sync_bulk_bench.py --build BUILD_DIR [--reference BUILD_DIR] [--keys identity,plain]
                          [--push-sizes 1000,10000] [--pull-sizes ...] [--base N] [--repeat N]
                          [--kinds ...] [--keep] [--host-wrapper "perf record -g -o FILE"]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import demo  # noqa: E402
from tavrin_client import Client, quote_name, UPDATED, INSERTED  # noqa: E402

TABLE = "dbo.bench"
# The same six columns under both kinds of key.
KEY_COLUMN = {"identity": "id int IDENTITY(1,1) NOT NULL PRIMARY KEY", "plain": "id int NOT NULL PRIMARY KEY"}
KEYS = list(KEY_COLUMN)
COLUMNS_SQL = ("name nvarchar(50) NOT NULL, note nvarchar(100) NULL, price decimal(12,2) NULL, stamp datetime NULL,"
               " qty int NULL")
# The stand-in's driver adds its execution counts to the file this names.
COUNTER_ENV = "SQLSERVER_STANDIN_EXECUTION_COUNTS"
KINDS = ["inserts", "clean updates", "server wins", "column merge"]


class Programs:
    def __init__(self, build, bare_pull=None):
        build = os.path.abspath(build)
        self.host = os.path.join(build, "standin", "iis", "tavrin_host")
        self.standin = os.path.join(build, "standin", "sqlserver", "sqlserver-standin")
        self.driver = os.path.join(build, "standin", "sqlserver", "libsqlserver_standin_odbc.so")
        self.module = os.path.join(build, "src", "servers", "iis", "libtavrin_server.so")
        # A reference tree older than the bare pipeline borrows it; it still uses its own driver.
        self.bare_pull = bare_pull or os.path.join(build, "bench", "sync_bulk", "bare_pull")
        for path in (self.host, self.standin, self.driver, self.module, self.bare_pull):
            if not os.path.exists(path):
                sys.exit("sync_bulk_bench: %s is missing (build the plain tree first)" % path)


def table_sql(key):
    return "CREATE TABLE dbo.bench (%s, %s)" % (KEY_COLUMN[key], COLUMNS_SQL)


def rows_sql(key, first, count):
    """INSERT statements of rows first .. first+count-1, 1000 rows a statement. An identity key
    numbers a fresh table's rows from 1 in the order given, so first is 1 there."""
    assert key == "plain" or first == 1
    out = []
    for start in range(first, first + count, 1000):
        end = min(start + 1000, first + count)
        columns = "name, note, price, stamp, qty" if key == "identity" else "id, name, note, price, stamp, qty"
        out.append("INSERT INTO dbo.bench (%s) VALUES " % columns + ", ".join(
            "(%sN'item %d', N'note of row %d', %d.25, '2024-01-%02d 10:00:00', %s)" % (
                "" if key == "identity" else "%d, " % i, i, i, i % 1000, 1 + i % 28,
                "NULL" if i % 10 == 0 else str(i % 97))
            for i in range(start, end)))
    return "\n".join(out) + "\n"


class Demo:
    """A provisioned demo with the bench table of `rows` rows, served by tavrin_host."""

    def __init__(self, programs, key, rows, wrapper=()):
        self.p = programs
        self.directory = tempfile.mkdtemp(prefix="tavrin-bench-")
        self.facts = demo.provision(self.directory, programs.standin, programs.driver, programs.module)
        self.sql(table_sql(key) + "\n" + rows_sql(key, 1, rows))
        self.table_id = demo.cli(programs.standin, "add-table", self.facts["data_dir"], demo.DBFILE_DB,
                                 demo.DBFILE, TABLE).splitlines()[0].strip()
        self.counter = os.path.join(self.directory, "executions")
        env = dict(os.environ, **{COUNTER_ENV: self.counter})
        self.process = subprocess.Popen(list(wrapper) + [programs.host, "--config", self.facts["host_config"], "--workers", "4",
                                         "--timeout", "600", "--log", os.path.join(self.directory, "host.log")],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        self.port = self.wait_for_port()
        self.url = "http://127.0.0.1:%d%s" % (self.port, self.facts["app_path"])

    def wait_for_port(self):
        port, _ = demo.wait_for_listening(self.process, 30)
        if port is None:
            sys.exit("sync_bulk_bench: tavrin_host did not start")
        return port

    def sql(self, script):
        return demo.sql(self.p.standin, self.facts["data_dir"], demo.DBFILE_DB, script, self.directory)

    def cli(self, *args):
        return demo.cli(self.p.standin, *args)

    def executions(self):
        """(round trips, parameter sets) the driver counted so far, or None when it does not count."""
        try:
            with open(self.counter) as f:
                counts = dict(line.split() for line in f if line.strip())
            return int(counts["round_trips"]), int(counts["parameter_sets"])
        except (OSError, ValueError, KeyError):
            return None

    def stop(self, keep):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        if keep:
            print("kept %s" % self.directory)
        else:
            shutil.rmtree(self.directory, ignore_errors=True)


class TimedClient(Client):
    """The test client, remembering how long its last POST took; a big push may take minutes."""

    def __init__(self, path, url, dbfile):
        super().__init__(path, url, dbfile, timeout=3600)

    def request(self, method, path, query, body=b"", headers=None):
        start = time.perf_counter()
        answer = super().request(method, path, query, body, headers)
        if method == "POST":
            self.post_seconds = time.perf_counter() - start
        return answer


def local(client, sql, args=()):
    client.db.execute(sql.replace("@t", quote_name("bench")), args)


def push_case(d, client, kind, first, count, next_id):
    """Prepares one push of `count` rows starting at row id `first` and returns (seconds, executions)."""
    if kind == "inserts":
        client.db.execute("BEGIN")
        for i in range(next_id, next_id + count):
            # Decimals are kept scaled by their scale (2.50 is 250). Under an identity key the id
            # is the client's temporary one; the server gives the row its own.
            local(client, "INSERT INTO @t (z_rid, z_gen, z_state, id, name, note, price, stamp, qty)"
                          " VALUES (?, NULL, %d, ?, ?, 'pushed', 250, '2024-02-01 00:00:00', 1)" % INSERTED,
                  (os.urandom(16), i, "new %d" % i))
        client.db.execute("COMMIT")
    else:
        last = first + count - 1
        if kind != "clean updates":
            rule = {"server wins": 4, "column merge": 8}[kind]
            d.cli("set-record-rule", d.facts["data_dir"], demo.DBFILE_DB, TABLE, 3, rule)
            # A text of this push's own, so that every row really changes on the server.
            d.sql("UPDATE dbo.bench SET note = N'server %s ' + CAST(id AS nvarchar(20)) WHERE id BETWEEN %d AND %d"
                  % (os.urandom(4).hex(), first, last))
        local(client, "UPDATE @t SET qty = COALESCE(qty, 0) + 1, z_state = %d WHERE id BETWEEN ? AND ?" % UPDATED,
              (first, last))
    if client.pending_changes() != count:
        sys.exit("sync_bulk_bench: %s: %d pending changes, expected %d" % (kind, client.pending_changes(), count))
    before = d.executions()
    result = client.push()
    after = d.executions()
    if result.status != 200 or result.pushed != count:
        sys.exit("sync_bulk_bench: %s push of %d answered %r" % (kind, count, result))
    # Catch up with the server's own changes before the next case.
    client.pull()
    return client.post_seconds, (tuple(a - b for a, b in zip(after, before)) if before and after else None)


class PushRun:
    """One build's demo and synchronised client, through which the pushes of every case run."""

    def __init__(self, programs, key, base, wrapper):
        self.d = Demo(programs, key, base, wrapper)
        self.client = TimedClient(os.path.join(self.d.directory, "client.sqlite"), self.d.url, demo.DBFILE)
        self.client.pull()
        self.base, self.next_id, self.window = base, base + 1, 1

    def push(self, kind, size):
        if self.window + size - 1 > self.base:
            self.window = 1
        result = push_case(self.d, self.client, kind, self.window, size, self.next_id)
        if kind == "inserts":
            self.next_id += size
        else:
            self.window += size
        return result

    def close(self, keep):
        self.client.close()
        self.d.stop(keep)


def bench_pushes(builds, key, sizes, base, repeat, keep, kinds, wrapper):
    runs, results = [], {}
    try:
        for programs in builds:
            runs.append(PushRun(programs, key, base, wrapper))
        for kind in kinds:
            for size in sizes:
                times, executions = {b: [] for b in range(len(runs))}, {}
                for _ in range(repeat):
                    for b, run in enumerate(runs):
                        seconds, executions[b] = run.push(kind, size)
                        times[b].append(seconds)
                for b in range(len(runs)):
                    results[b, kind, size] = (statistics.median(times[b]), executions[b])
                    print("  %s %s key %-14s %6d rows: %8.2f s" % (label(b), key, kind, size,
                                                                    results[b, kind, size][0]), file=sys.stderr)
    finally:
        for run in runs:
            run.close(keep)
    small = min(sizes)
    print("\npush, %s key (base table %d rows, median of %d)" % (key, base, repeat))
    print("|%s push | rows | seconds | rows/s | per-row vs %d | round trips/row | executions/row |"
          % (" build |" if len(builds) > 1 else "", small))
    print("|%s---|---|---|---|---|---|---|" % ("---|" if len(builds) > 1 else ""))
    for b in range(len(builds)):
        for kind in kinds:
            for size in sizes:
                seconds, count = results[b, kind, size]
                ratio = (seconds / size) / (results[b, kind, small][0] / small)
                per_row = ["%.3f" % (n / size) for n in count] if count else ["n/a", "n/a"]
                print("|%s %s | %d | %.2f | %.0f | %.2fx | %s | %s |" % (
                    column(builds, b), kind, size, seconds, size / seconds, ratio, *per_row))
    for b in range(len(builds)):
        for size in sizes if "clean updates" in kinds else ():
            clean = results[b, "clean updates", size][0]
            for kind in [k for k in ("server wins", "column merge") if k in kinds]:
                print("%s%s key: %s / clean updates at %d rows: %.2fx" % (
                    label(b) + ": " if len(builds) > 1 else "", key, kind, size, results[b, kind, size][0] / clean))
    if len(builds) > 1:
        for kind in kinds:
            for size in sizes:
                print("%s key: %s at %d rows, build / reference rows/s: %.2fx" % (
                    key, kind, size, results[1, kind, size][0] / results[0, kind, size][0]))
    return results


def label(b):
    return "build" if b == 0 else "reference"


def column(builds, b):
    return " %s |" % label(b) if len(builds) > 1 else ""


def bench_pulls(builds, key, sizes, repeat, keep, wrapper):
    results = {}
    for size in sizes:
        demos = []
        try:
            for programs in builds:
                d = Demo(programs, key, size, wrapper)
                demos.append((d, TimedClient(os.path.join(d.directory, "client.sqlite"), d.url, demo.DBFILE)))
            pulls, bares = {b: [] for b in range(len(builds))}, {b: [] for b in range(len(builds))}
            for _ in range(repeat):
                for b, (d, client) in enumerate(demos):
                    programs = builds[b]
                    start = time.perf_counter()
                    answer = client.request("GET", "/pull", client.query(pv="6"))
                    pulls[b].append(time.perf_counter() - start)
                    if answer.status != 200:
                        sys.exit("sync_bulk_bench: pull of %d rows answered %d" % (size, answer.status))
                    out = os.path.join(d.directory, "bare.sqlite")
                    start = time.perf_counter()
                    subprocess.run([programs.bare_pull, demo.connection_string(programs.driver, d.facts["data_dir"],
                                                                               demo.DBFILE_DB),
                                    demo.DBFILE, d.table_id, out], check=True, stdout=subprocess.DEVNULL)
                    bares[b].append(time.perf_counter() - start)
            for b in range(len(builds)):
                results[b, size] = (statistics.median(pulls[b]), statistics.median(bares[b]))
                print("  %s pull %7d rows: %.2f s, bare %.2f s" % (label(b), size, *results[b, size]),
                      file=sys.stderr)
        finally:
            for d, client in demos:
                client.close()
                d.stop(keep)
    small = min(sizes)
    print("\ninitial pull, %s key (median of %d)" % (key, repeat))
    print("|%s rows | pull s | bare s | pull/bare | pull rows/s | pull per-row vs %d | bare per-row vs %d |"
          % (" build |" if len(builds) > 1 else "", small, small))
    print("|%s---|---|---|---|---|---|---|" % ("---|" if len(builds) > 1 else ""))
    for b in range(len(builds)):
        for size in sizes:
            pull, bare = results[b, size]
            print("|%s %d | %.2f | %.2f | %.2fx | %.0f | %.2fx | %.2fx |" % (
                column(builds, b), size, pull, bare, pull / bare, size / pull,
                (pull / size) / (results[b, small][0] / small), (bare / size) / (results[b, small][1] / small)))


def sizes_arg(text):
    return [int(x) for x in text.split(",") if x]


def keys_arg(text):
    keys = [x for x in text.split(",") if x]
    for key in keys:
        if key not in KEYS:
            raise argparse.ArgumentTypeError("unknown key %r (one of %s)" % (key, ",".join(KEYS)))
    return keys


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the plain build tree")
    parser.add_argument("--reference", help="another build tree (e.g. of the code before a change), run in turn "
                        "with the first")
    parser.add_argument("--keys", "--key", type=keys_arg, default=["identity"],
                        help="the bench table's key, one or more of: " + ",".join(KEYS) + " (default identity)")
    parser.add_argument("--push-sizes", type=sizes_arg, default=[1000, 10000])
    parser.add_argument("--pull-sizes", type=sizes_arg, default=[10000, 100000, 400000])
    parser.add_argument("--base", type=int, default=20000, help="rows of the table the pushes change")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--kinds", type=lambda t: t.split(","), default=KINDS,
                        help="pushes to run, of: " + ",".join(KINDS))
    parser.add_argument("--keep", action="store_true", help="keep the demo directories")
    parser.add_argument("--host-wrapper", type=str.split, default=[],
                        help="a command the host runs under, e.g. a profiler")
    args = parser.parse_args()
    builds = [Programs(args.build)]
    if args.reference:
        builds.append(Programs(args.reference, builds[0].bare_pull if not os.path.exists(
            os.path.join(args.reference, "bench", "sync_bulk", "bare_pull")) else None))
    for kind in args.kinds:
        if kind not in KINDS:
            parser.error("unknown push %r (one of %s)" % (kind, ",".join(KINDS)))
    for key in args.keys:
        if args.push_sizes:
            bench_pushes(builds, key, args.push_sizes, args.base, args.repeat, args.keep, args.kinds,
                         args.host_wrapper)
        if args.pull_sizes:
            bench_pulls(builds, key, args.pull_sizes, args.repeat, args.keep, args.host_wrapper)
    return 0


if __name__ == "__main__":
    sys.exit(main())
