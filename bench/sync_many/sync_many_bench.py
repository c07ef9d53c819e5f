#!/usr/bin/python3
"""Many clients at once through tavrin_host (16 workers) on the SQL Server stand-in, side by side
in one run: N = 1, 4 and 16 client processes for a fixed time each, in two workloads.

mixed: every round changes the client's own customers and often one of two shared stock rows,
pushes, and pulls (tests/e2e/busy_clients.py). pull: stateless pulls of the whole dbfile.
Each configuration runs on a freshly provisioned demo. Printed per configuration: requests/s,
p50 and p99 of pushes and pulls in milliseconds, the answers with status 500 and the other
failures, and the ratios the many-client goals are judged by: throughput against one client,
and the push p99 against N times the single-client push median.

usage: sync_many_bench.py --build BUILD_DIR [--clients 1,4,16] [--seconds 20] [--keep]
"""
import argparse
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import busy_clients  # noqa: E402
import harness  # noqa: E402

WORKERS = 16


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def run_configuration(mode, clients, seconds, keep):
    running = harness.RunningDemo(workers=WORKERS)
    work = tempfile.mkdtemp(prefix="tavrin-many-")
    try:
        processes, outputs = busy_clients.start_workers(work, [running.url], running.facts["dbfile"],
                                                        range(1, clients + 1), mode, seconds, 10 ** 9)
        results = busy_clients.collect(processes, outputs, seconds + 300)
    finally:
        running.stop()
        if keep:
            print("kept %s and %s" % (running.directory, work), file=sys.stderr)
        else:
            running.remove()
            shutil.rmtree(work, ignore_errors=True)
    answers = [a for r in results for a in r["answers"]]
    # Throughput over the common window: from the first start to the last answer.
    begin = min(a[1] for a in answers)
    end = max(a[1] + a[2] for a in answers)
    figures = {"requests": len(answers), "rate": len(answers) / (end - begin),
               "500": sum(1 for a in answers if a[3] == 500),
               "other failures": sum(1 for a in answers if a[3] not in (200, 204, 244, 245, 246, 304, 500))}
    for kind in ("push", "pull"):
        times = [a[2] * 1000 for a in answers if a[0] == kind]
        figures[kind] = (len(times), percentile(times, 0.5), percentile(times, 0.99))
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the plain build tree")
    parser.add_argument("--clients", default="1,4,16")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--keep", action="store_true", help="keep the demo and client directories")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ.setdefault("TAVRIN_HOST", os.path.join(build, "standin", "iis", "tavrin_host"))
    os.environ.setdefault("SQLSERVER_STANDIN", os.path.join(build, "standin", "sqlserver", "sqlserver-standin"))
    os.environ.setdefault("STANDIN_ODBC", os.path.join(build, "standin", "sqlserver", "libsqlserver_standin_odbc.so"))
    os.environ.setdefault("TAVRIN_MODULE", os.path.join(build, "src", "servers", "iis", "libtavrin_server.so"))
    counts = [int(x) for x in args.clients.split(",") if x]

    results = {}
    for mode in ("mixed", "pull"):
        for n in counts:
            results[mode, n] = run_configuration(mode, n, args.seconds, args.keep)
            f = results[mode, n]
            print("  %s N=%d: %.1f req/s, %d answers 500" % (mode, n, f["rate"], f["500"]), file=sys.stderr)

    print("\n%d s per configuration, tavrin_host with %d workers" % (args.seconds, WORKERS))
    print("| workload | N | req/s | x N=1 | push n | push p50 ms | push p99 ms | p99 / (N x p50 at N=1) "
          "| pull n | pull p50 ms | pull p99 ms | 500s | other failures |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for mode in ("mixed", "pull"):
        single = results[mode, counts[0]]
        for n in counts:
            f = results[mode, n]
            push_n, push_p50, push_p99 = f["push"]
            pull_n, pull_p50, pull_p99 = f["pull"]
            bound = "%.2f" % (push_p99 / (n * single["push"][1])) if push_n and single["push"][0] else "-"
            print("| %s | %d | %.1f | %.2f | %d | %.0f | %.0f | %s | %d | %.0f | %.0f | %d | %d |" % (
                mode, n, f["rate"], f["rate"] / single["rate"], push_n, push_p50, push_p99, bound,
                pull_n, pull_p50, pull_p99, f["500"], f["other failures"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
