#!/usr/bin/python3
"""Many clients at once through tavrin_host (16 workers) on the SQL Server stand-in, side by side
in one run: N = 1, 4 and 16 client processes for a fixed time each, in two workloads.

mixed: every round changes the client's own customers and often one of two shared stock rows,
pushes, and pulls (tests/e2e/busy_clients.py). pull: stateless pulls of the whole dbfile.
Each configuration runs on a freshly provisioned demo, the configurations in turn for several
rounds. Printed per configuration: requests/s (the median of the rounds),
p50 and p99 of pushes and pulls in milliseconds, the answers with status 500 and the other
failures, and the ratios the many-client goals are judged by: throughput against one client,
and the push p99 against N times the single-client push median. With --reference the same runs
of a second build tree (e.g. the code before a change) take turns with those of the first.

usage: sync_many_bench.py --build BUILD_DIR [--reference BUILD_DIR] [--clients 1,4,16]
                          [--seconds 20] [--repeat 3] [--keep]
"""
import argparse
import os
import shutil
import statistics
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


def use_build(build):
    """Points the demo harness at the programs of a build tree."""
    os.environ["TAVRIN_HOST"] = os.path.join(build, "standin", "iis", "tavrin_host")
    os.environ["SQLSERVER_STANDIN"] = os.path.join(build, "standin", "sqlserver", "sqlserver-standin")
    os.environ["STANDIN_ODBC"] = os.path.join(build, "standin", "sqlserver", "libsqlserver_standin_odbc.so")
    os.environ["TAVRIN_MODULE"] = os.path.join(build, "src", "servers", "iis", "libtavrin_server.so")


def run_configuration(build, mode, clients, seconds, keep):
    use_build(build)
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
    return answers, len(answers) / (end - begin)


def summarise(runs):
    """Figures of the runs of one configuration: the median rate, latencies over all answers."""
    answers = [a for run, _ in runs for a in run]
    figures = {"rate": statistics.median(rate for _, rate in runs),
               "500": sum(1 for a in answers if a[3] == 500),
               "other failures": sum(1 for a in answers if a[3] not in (200, 204, 244, 245, 246, 304, 500))}
    for kind in ("push", "pull"):
        times = [a[2] * 1000 for a in answers if a[0] == kind]
        figures[kind] = (len(times), percentile(times, 0.5), percentile(times, 0.99))
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the plain build tree")
    parser.add_argument("--reference", help="another build tree (e.g. of the code before a change), run in turn "
                                            "with --build and printed next to it")
    parser.add_argument("--clients", default="1,4,16")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--repeat", type=int, default=3, help="rounds of all configurations")
    parser.add_argument("--keep", action="store_true", help="keep the demo and client directories")
    args = parser.parse_args()
    builds = [("build", os.path.abspath(args.build))]
    if args.reference:
        builds.append(("reference", os.path.abspath(args.reference)))
    counts = [int(x) for x in args.clients.split(",") if x]

    # The configurations take turns, round after round, so that a machine whose speed drifts
    # during the run weighs on all of them alike.
    runs = {}
    for round_number in range(args.repeat):
        for mode in ("mixed", "pull"):
            for n in counts:
                for name, build in builds:
                    answers, rate = run_configuration(build, mode, n, args.seconds, args.keep)
                    runs.setdefault((name, mode, n), []).append((answers, rate))
                    print("  round %d %s %s N=%d: %.1f req/s, %d answers 500" % (
                        round_number + 1, name, mode, n, rate, sum(1 for a in answers if a[3] == 500)),
                        file=sys.stderr)
    results = {key: summarise(value) for key, value in runs.items()}

    print("\n%g s per configuration and round, %d rounds (req/s: median of the rounds), tavrin_host with %d workers"
          % (args.seconds, args.repeat, WORKERS))
    print("| build | workload | N | req/s | x N=1 | push n | push p50 ms | push p99 ms | p99 / (N x p50 at N=1) "
          "| pull n | pull p50 ms | pull p99 ms | 500s | other failures |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for name, _ in builds:
        for mode in ("mixed", "pull"):
            single = results[name, mode, counts[0]]
            for n in counts:
                f = results[name, mode, n]
                push_n, push_p50, push_p99 = f["push"]
                pull_n, pull_p50, pull_p99 = f["pull"]
                bound = "%.2f" % (push_p99 / (n * single["push"][1])) if push_n and single["push"][0] else "-"
                print("| %s | %s | %d | %.1f | %.2f | %d | %.0f | %.0f | %s | %d | %.0f | %.0f | %d | %d |" % (
                    name, mode, n, f["rate"], f["rate"] / single["rate"], push_n, push_p50, push_p99, bound,
                    pull_n, pull_p50, pull_p99, f["500"], f["other failures"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
