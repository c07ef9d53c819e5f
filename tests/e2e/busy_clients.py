#!/usr/bin/python3
"""Many sync clients at once against the demo dbfile: the workload of the concurrency test and
of the many-clients benchmark.

Each worker is one process with its own client database. In the mixed workload every round
makes one to three changes to the worker's own customers (insert, update to a new unique name,
delete), often updates one of the two shared stock rows to a unique quantity, pushes and pulls.
In the pull workload it asks for the whole dbfile again and again without applying it. Every
HTTP answer is recorded (kind, start, seconds, status) and so is every push: its stamp, the
changes it carried and whether the server acknowledged it. A refused push is not sent again:
the worker drops its local rows and pulls the dbfile afresh.

Worker command line (the parent starts it; the result is one JSON document in OUT):
  busy_clients.py worker DIR DBFILE FID SEED START SECONDS ROUNDS mixed|pull OUT URL [URL...]
START is the wall-clock time (time.time()) at which to begin, so that all workers start
together; the worker stops after SECONDS or ROUNDS rounds, whichever comes first. With several
URLs (hosts serving the same data) each request goes to one of them at random.
"""
import json
import os
import random
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tavrin_client import (Client, ClientError, ProtocolError, DELETED, INSERTED,  # noqa: E402
                           quote_name)

SHARED_ROWS = [("WH01", "bolt-6"), ("WH02", "bolt-6")]
STATE_NAMES = {INSERTED: "insert", 2: "update", DELETED: "delete"}


def own_prefix(fid):
    return "c%d-" % fid


class RoutedClient(Client):
    """The test client, sending each request to one of several hosts at random and recording
    every answer; it remembers the stamp of the push it builds."""

    def __init__(self, path, urls, dbfile, fid, rng):
        super().__init__(path, urls[0], dbfile, fid)
        self.ports = [int(u.split("://", 1)[1].split("/", 1)[0].rsplit(":", 1)[1]) for u in urls]
        self.rng = rng
        self.answers = []
        self.stamp = None

    def request(self, method, path, query, body=b"", headers=None):
        self.port = self.rng.choice(self.ports)
        start = time.time()
        status = 0
        try:
            answer = super().request(method, path, query, body, headers)
            status = answer.status
            return answer
        finally:
            self.answers.append([path.strip("/"), start, time.time() - start, status])

    def build_push_package(self, path, stamp):
        self.stamp = stamp
        return super().build_push_package(path, stamp)


class Worker:
    def __init__(self, directory, urls, dbfile, fid, seed):
        self.fid = fid
        self.rng = random.Random(seed)
        self.client = RoutedClient(os.path.join(directory, "client-%d.sqlite" % fid), urls, dbfile, fid, self.rng)
        self.serial = 0
        self.pushes = []
        self.failures = []

    def unique(self):
        self.serial += 1
        return self.serial

    def own_rows(self):
        return [r for r in self.client.rows("customers") if str(r["name"]).startswith(own_prefix(self.fid))]

    def change_own(self):
        rows = self.own_rows()
        choice = "insert" if len(rows) < 2 else self.rng.choice(["insert", "update", "update", "delete"])
        if choice == "insert":
            self.client.insert("customers", {"name": "%sn%d" % (own_prefix(self.fid), self.unique())})
        elif choice == "update":
            row = self.rng.choice(rows)
            self.client.update("customers", row["z_rid"], {"name": "%su%d" % (own_prefix(self.fid), self.unique())})
        else:
            self.client.delete("customers", self.rng.choice(rows)["z_rid"])

    def change_shared(self):
        warehouse, sku = self.rng.choice(SHARED_ROWS)
        rid = self.client.find("stock", warehouse=warehouse, sku=sku)
        self.client.update("stock", rid, {"qty": self.fid * 1000000 + self.unique()})

    def pending(self):
        """The local changes a push would carry: [table, row id hex, kind, value]."""
        out = []
        for table, column in (("customers", "name"), ("stock", "qty")):
            _, (name, _, _, _) = self.client.table_by_name(table)
            for rid, state, value in self.client.db.execute(
                    "SELECT z_rid, z_state, %s FROM %s WHERE z_state <> 0" % (quote_name(column), quote_name(name))):
                out.append([table, rid.hex(), STATE_NAMES[state], value])
        return out

    def push(self):
        changes = self.pending()
        if not changes:
            return
        record = {"changes": changes, "stamp": None, "outcome": "unknown", "status": 0, "code": None}
        self.pushes.append(record)
        try:
            result = self.client.push()
            record["status"] = result.status
            acked = result.status == 200 or bool(result.status_doc and result.status_doc.get("push-succeeded"))
            record["outcome"] = "acked" if acked else "refused"
        except ProtocolError as error:
            record.update(status=error.status, code=error.code)
            record["outcome"] = "unknown" if error.status >= 500 else "refused"
            self.failures.append(str(error))
        except ClientError as error:
            self.failures.append(str(error))
        record["stamp"] = self.client.stamp.hex() if self.client.stamp else None
        if record["outcome"] != "acked":
            self.resync()

    def pull(self):
        try:
            self.client.pull()
        except ClientError as error:
            self.failures.append(str(error))

    def resync(self):
        """Forgets every local row, the pending ones too, and pulls the dbfile afresh."""
        for name, _, _, _ in self.client.tables().values():
            self.client.db.execute("DELETE FROM %s" % quote_name(name))
        for key in ("baseline", "filter_base", "pending"):
            self.client.set_meta(key, None)
        self.pull()

    def mixed_round(self):
        try:
            for _ in range(self.rng.randint(1, 3)):
                self.change_own()
            if self.rng.random() < 0.6:
                self.change_shared()
        except ClientError as error:
            # No usable local copy (its last pull failed): start again from the server's.
            self.failures.append(str(error))
            self.resync()
            return
        self.push()
        self.pull()

    def pull_round(self):
        try:
            self.client.request("GET", "/pull", self.client.query(pv="6"))
        except ClientError as error:
            self.failures.append(str(error))

    def run(self, mode, start, seconds, rounds):
        if mode == "mixed":
            self.pull()
            self.client.answers.clear()
        delay = start - time.time()
        if delay > 0:
            time.sleep(delay)
        deadline = time.time() + seconds
        done = 0
        while done < rounds and time.time() < deadline:
            if mode == "mixed":
                self.mixed_round()
            else:
                self.pull_round()
            done += 1
        if mode == "mixed":
            self.pull()
        return {"fid": self.fid, "rounds": done, "answers": self.client.answers, "pushes": self.pushes,
                "failures": self.failures}


def start_workers(directory, urls, dbfile, fids, mode, seconds, rounds, lead=3.0):
    """Starts one worker process per fid; returns (processes, result paths)."""
    start = time.time() + lead
    processes, outputs = [], []
    for fid in fids:
        out = os.path.join(directory, "worker-%d.json" % fid)
        outputs.append(out)
        processes.append(subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "worker", directory, dbfile, str(fid), str(fid * 7919),
             repr(start), str(seconds), str(rounds), mode, out] + list(urls),
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
    return processes, outputs


def collect(processes, outputs, timeout):
    """Waits for the workers; returns their results. A worker that fails raises RuntimeError."""
    results = []
    deadline = time.time() + timeout
    for process, out in zip(processes, outputs):
        try:
            _, err = process.communicate(timeout=max(1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            for p in processes:
                p.kill()
            raise RuntimeError("a worker did not finish in %d s" % timeout)
        if process.returncode != 0:
            raise RuntimeError("worker %s failed: %s" % (out, err.decode("utf-8", "replace")[-2000:]))
        with open(out) as f:
            results.append(json.load(f))
    return results


def main(argv):
    if len(argv) < 12 or argv[1] != "worker":
        print(__doc__, file=sys.stderr)
        return 2
    directory, dbfile, fid, seed, start, seconds, rounds, mode, out = argv[2:11]
    worker = Worker(directory, argv[11:], dbfile, int(fid), int(seed))
    result = worker.run(mode, float(start), float(seconds), int(rounds))
    worker.client.close()
    with open(out, "w") as f:
        json.dump(result, f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
