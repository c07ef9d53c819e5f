#!/usr/bin/python3
"""A SELECT of every row of a 100k-row table through the SQL Server stand-in's driver, side by
side with the driver built from another revision (default: main) and with the same rows read
straight from the SQLite file (the floor). Runs alternate A, B, floor; the medians and the
ratios to the reference are printed.

Usage: bench/standin_select/run.py [--rows N] [--runs N] [--reference REV] [--build DIR]
(--build is the build directory holding this revision's driver and standin_select_bench.)
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DRIVER = "standin/sqlserver/libsqlserver_standin_odbc.so"


def build_reference(revision):
    """The driver of `revision`, built once per commit in the temporary directory."""
    commit = subprocess.check_output(["git", "-C", REPO, "rev-parse", revision], text=True).strip()
    root = os.path.join(tempfile.gettempdir(), "standin-select-reference-" + commit[:12])
    driver = os.path.join(root, "build", DRIVER)
    if os.path.exists(driver):
        return driver, commit
    source = os.path.join(root, "source")
    os.makedirs(source, exist_ok=True)
    archive = subprocess.Popen(["git", "-C", REPO, "archive", commit], stdout=subprocess.PIPE)
    subprocess.check_call(["tar", "-x", "-C", source], stdin=archive.stdout)
    if archive.wait() != 0:
        sys.exit("git archive failed")
    build = os.path.join(root, "build")
    subprocess.check_call(["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                           "-DTAVRIN_TESTS=OFF", "-DTAVRIN_BENCH=OFF"], stdout=subprocess.DEVNULL)
    subprocess.check_call(["cmake", "--build", build, "-j4", "--target", "sqlserver_standin_odbc"],
                          stdout=subprocess.DEVNULL)
    return driver, commit


def run(bench, target, data, rows, environment):
    out = subprocess.check_output([bench, target, data, str(rows)], env=environment, text=True)
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--reference", default="main")
    parser.add_argument("--build", default=os.path.join(REPO, "build", "plain"))
    args = parser.parse_args()

    bench = os.path.join(args.build, "bench", "standin_select", "standin_select_bench")
    current = os.path.join(args.build, DRIVER)
    reference, commit = build_reference(args.reference)
    work = tempfile.mkdtemp(prefix="standin-select-")
    try:
        ini = os.path.join(work, "ini")
        data = os.path.join(work, "data")
        os.makedirs(ini)
        os.makedirs(data)
        with open(os.path.join(ini, "odbcinst.ini"), "w") as f:
            f.write("[ODBC]\nTrace=No\n")
        environment = dict(os.environ, ODBCSYSINI=ini, ODBCINSTINI="odbcinst.ini")
        run(bench, current, data, args.rows, environment)  # creates the table, and warms the file cache
        targets = [("this revision", current), ("reference " + commit[:10], reference), ("SQLite file (floor)", "sqlite")]
        results = {name: [] for name, _ in targets}
        for _ in range(args.runs):
            for name, target in targets:
                result = run(bench, target, data, args.rows, environment)
                if result["rows"] != args.rows:
                    sys.exit("%s read %d rows, not %d" % (name, result["rows"], args.rows))
                results[name].append(result)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    def median(name, key):
        return statistics.median(r[key] for r in results[name])

    base = targets[1][0]
    print("SELECT of %d rows, medians of %d runs" % (args.rows, args.runs))
    print("%-26s %14s %14s %12s %16s %14s" % ("", "first row ms", "last row ms", "rows/s", "peak growth MB",
                                               "time / ref"))
    for name, _ in targets:
        last = median(name, "last_row_ms")
        print("%-26s %14.2f %14.1f %12.0f %16.1f %14.2f" % (
            name, median(name, "first_row_ms"), last, args.rows / last * 1000, median(name, "peak_growth_mb"),
            last / median(base, "last_row_ms")))


if __name__ == "__main__":
    main()
