#!/usr/bin/env python3
"""The statements one small request runs, and the time of a few of them.

Serves the bench table of sync_many_bench.py, makes two clients (a pusher and a stateless puller),
then for ROUNDS rounds: a 3-row push, the pusher's own pull, the other client's pull of those rows.
The last round's batches are written, one line each (parameter sets, text), between '==== name'
markers to the file given by --log; the p50 times of the POSTs and GETs are printed.

  bench/sync_many/statement_trace.py --build build/plain [--rounds 40] [--log statements.log]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sync_many_bench as bench  # noqa: E402

LOG_ENV = "SQLSERVER_STANDIN_STATEMENT_LOG"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--log", default="statements.log")
    parser.add_argument("--host-cpus", default="", help="taskset's cpu list for the host")
    args = parser.parse_args()
    log = os.path.abspath(args.log)
    if not os.path.isfile(log) and os.path.exists(log):
        sys.exit("statement_trace: --log must name a regular file")
    if os.path.exists(log):
        os.remove(log)

    def mark(name):
        with open(log, "a") as f:
            f.write("==== %s\n" % name)

    tempfile.tempdir = bench.CLIENT_SCRATCH
    wrapper = ["taskset", "-c", args.host_cpus] if args.host_cpus else []
    # Every batch of the host is logged; the file is emptied before the last round.
    os.environ[LOG_ENV] = log
    d = bench.Demo(bench.Programs(args.build), 2, 60, 2, wrapper)
    work = tempfile.mkdtemp(prefix="tavrin-trace-", dir=bench.CLIENT_SCRATCH)
    times = {"3-row push": [], "stateless 3-row pull": []}
    try:
        pusher = bench.Worker(work, d.url, bench.demo.DBFILE, 1, 3)
        puller = bench.RecordingClient(os.path.join(work, "puller.sqlite"), d.url, bench.demo.DBFILE, 2)
        pusher.pull()
        puller.pull()
        for round_ in range(args.rounds):
            last = round_ == args.rounds - 1
            pusher.change()
            if last and os.path.isfile(log):
                os.remove(log)
            mark("3-row push")
            result = pusher.client.push()
            if result.status != 200:
                sys.exit("statement_trace: the push answered %r" % (result,))
            times["3-row push"].append(pusher.client.answers[-1][2] * 1000)
            mark("the pusher's pull")
            pusher.client.pull()
            mark("stateless 3-row pull")
            result = puller.pull()
            if result.status != 200 or result.applied != 3:
                sys.exit("statement_trace: the pull answered %r" % (result,))
            times["stateless 3-row pull"].append(puller.answers[-1][2] * 1000)
            mark("end")
    finally:
        d.stop(False)
        shutil.rmtree(work, ignore_errors=True)
    for name, values in times.items():
        print("%s p50 %.1f ms" % (name, statistics.median(values)))
    with open(log) as f:
        section = None
        counts = {}
        for line in f:
            if line.startswith("==== "):
                section = line[5:].strip()
                counts.setdefault(section, [0, 0])
            elif section:
                counts[section][0] += 1
                counts[section][1] += int(line.split("\t", 1)[0])
    for name, (trips, sets) in counts.items():
        if name != "end":
            print("%s: %d round trips, %d executions" % (name, trips, sets))
    print("statements: %s" % log)


if __name__ == "__main__":
    main()
