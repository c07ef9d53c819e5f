#!/usr/bin/python3
"""Many clients at once through tavrin_host: parallel client processes insert, update and delete
their own customers, update two shared stock rows, push and pull (tests/e2e/busy_clients.py);
afterwards every client equals SQL Server, every acknowledged change is there unless a later
acknowledged one replaced it, nothing of a refused push is there, no row is duplicated and no
answer was 500. The same with two hosts serving one data directory, the clients choosing a host
at random for each request; and two copies of one push sent at once apply once.

BUSY_SECONDS (default 20) and BUSY_ROUNDS (default 400 a client) bound each run."""
import http.client
import os
import shutil
import sys
import tempfile
import threading
import unittest
import urllib.parse
import uuid
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import busy_clients  # noqa: E402
import harness  # noqa: E402
from tavrin_client import sha1_hex  # noqa: E402

CLIENTS = 8
SECONDS = float(os.environ.get("BUSY_SECONDS", "20"))
ROUNDS = int(os.environ.get("BUSY_ROUNDS", "400"))
OK_STATUSES = (200, 204, 244, 245, 246, 304)


def guid_bytes(text):
    """The 16 bytes of a stamp as SQL Server shows them in GUID text."""
    return uuid.UUID(text).bytes_le.hex()


class ManyClientsTest(unittest.TestCase):
    def setUp(self):
        self.demo = harness.RunningDemo(workers=16)
        self.require()
        self.work = tempfile.mkdtemp(prefix="tavrin-busy-")

    def tearDown(self):
        self.demo.stop()
        self.demo.remove()
        shutil.rmtree(self.work, ignore_errors=True)

    def require(self):
        self.demo.require("pull")
        self.demo.require("push")

    def run_clients(self, urls):
        processes, outputs = busy_clients.start_workers(self.work, urls, self.demo.facts["dbfile"],
                                                        range(1, CLIENTS + 1), "mixed", SECONDS, ROUNDS)
        return busy_clients.collect(processes, outputs, SECONDS + 600)

    def server_rows(self, sql):
        return [tuple(r) for r in self.demo.sql(sql)]

    def check(self, results, urls):
        answers = [a for r in results for a in r["answers"]]
        failed = sorted({(a[0], a[3]) for a in answers if a[3] not in OK_STATUSES})
        self.assertEqual(failed, [], "answers other than success: %s\nfirst failures: %s" % (
            failed, [f for r in results for f in r["failures"]][:5]))
        self.assertEqual([f for r in results for f in r["failures"]], [])
        pushes = [(r["fid"], p) for r in results for p in r["pushes"]]
        self.assertTrue(all(p["outcome"] in ("acked", "refused") for _, p in pushes),
                        [p for _, p in pushes if p["outcome"] not in ("acked", "refused")][:3])
        for r in results:
            self.assertGreater(sum(1 for p in r["pushes"] if p["outcome"] == "acked"), 0, "client %d" % r["fid"])

        # Each stamp of an acknowledged push names exactly one server transaction; a refused
        # push left none.
        txids = {}
        for txid, rstamp in self.server_rows("SELECT txid, rstamp FROM tavrin.demo$t$tx WHERE rstamp IS NOT NULL"):
            txids.setdefault(guid_bytes(rstamp), []).append(int(txid))
        for fid, push in pushes:
            expected = 1 if push["outcome"] == "acked" else 0
            self.assertEqual(len(txids.get(push["stamp"], [])), expected, "client %d push %s" % (fid, push))

        # Own rows: the server holds exactly the newest acknowledged value of each row the client
        # made, and no row twice.
        names = [r[0] for r in self.server_rows("SELECT name FROM dbo.customers")]
        self.assertEqual(len(names), len(set(names)), "duplicated customers")
        for r in results:
            fid = r["fid"]
            newest, acked, refused = {}, set(), set()
            for push in r["pushes"]:
                for table, rid, kind, value in push["changes"]:
                    if table != "customers":
                        continue
                    if push["outcome"] == "acked":
                        newest[rid] = None if kind == "delete" else value
                        acked.add(value)
                    else:
                        refused.add(value)
            expected = sorted(v for v in newest.values() if v is not None)
            mine = sorted(n for n in names if n.startswith(busy_clients.own_prefix(fid)))
            self.assertEqual(mine, expected, "own customers of client %d" % fid)
            self.assertEqual((refused - acked) & set(names), set(), "client %d" % fid)

        # Shared rows: the value of the acknowledged push that the server applied last.
        tid = self.demo.facts["table_ids"]["dbo.stock"]
        shared = {guid_bytes(rid): (warehouse.strip(), sku) for rid, warehouse, sku in self.server_rows(
            "SELECT rv.rid, z.warehouse, z.sku FROM tavrin.\"demo$z$%s\" z JOIN tavrin.\"demo$z$rv$%s\" rv"
            " ON rv.z_rv = z.z_rv" % (tid, tid))}
        newest = {}
        for _, push in pushes:
            if push["outcome"] != "acked":
                continue
            txid = txids[push["stamp"]][0]
            for table, rid, kind, value in push["changes"]:
                if table == "stock" and kind == "update" and txid > newest.get(shared[rid], (0, None))[0]:
                    newest[shared[rid]] = (txid, value)
        stock = {(w.strip(), s): int(q) for w, s, q in self.server_rows("SELECT warehouse, sku, qty FROM dbo.stock")}
        for row, (_, value) in newest.items():
            self.assertEqual(stock[row], value, "shared row %s" % (row,))

        # After a last pull every client holds what the server holds.
        server = {
            "customers": sorted(self.server_rows("SELECT id, name FROM dbo.customers")),
            "stock": sorted((w.strip(), s, q) for w, s, q in
                            self.server_rows("SELECT warehouse, sku, qty FROM dbo.stock")),
            "orders": sorted(self.server_rows("SELECT id, customer_id FROM dbo.orders")),
        }
        for r in results:
            worker = busy_clients.Worker(self.work, urls, self.demo.facts["dbfile"], r["fid"], 0)
            worker.pull()
            self.assertEqual(worker.failures, [])
            client = worker.client
            mine = {
                "customers": sorted((str(x["id"]), x["name"]) for x in client.rows("customers")),
                "stock": sorted((x["warehouse"], x["sku"], str(x["qty"])) for x in client.rows("stock")),
                "orders": sorted((str(x["id"]), str(x["customer_id"])) for x in client.rows("orders")),
            }
            client.close()
            self.assertEqual(mine, server, "client %d after its last pull" % r["fid"])

    def test_clients_at_once_on_one_host(self):
        self.check(self.run_clients([self.demo.url]), [self.demo.url])

    def test_clients_alternating_between_two_hosts(self):
        urls = [self.demo.url, self.demo.add_host()]
        self.check(self.run_clients(urls), urls)

    def test_two_copies_of_one_push_apply_once(self):
        client = self.demo.client("twin")
        client.pull()
        for round_number in range(5):
            name = "twin-%d" % round_number
            client.insert("customers", {"name": name})
            client.update("stock", client.find("stock", warehouse="WH01", sku="bolt-6"), {"qty": round_number})
            stamp = os.urandom(16)
            path = os.path.join(self.work, "push-%d" % round_number)
            client.build_push_package(path, stamp)
            with open(path, "rb") as f:
                upload = f.read()
            query = client.query(h=sha1_hex(upload), **{"from": client.baseline})
            answers = [None, None]
            start = threading.Barrier(2)

            def send(slot):
                start.wait()
                answers[slot] = client_request(self.demo.url, query, zlib.compress(upload))

            threads = [threading.Thread(target=send, args=(slot,)) for slot in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual([a[0] for a in answers], [200, 200], [a[1][:300] for a in answers])
            self.assertEqual(self.server_rows("SELECT COUNT(*) FROM dbo.customers WHERE name = N'%s'" % name),
                             [("1",)])
            self.assertEqual(self.server_rows("SELECT COUNT(*) FROM tavrin.demo$t$tx WHERE rstamp = '%s'"
                                              % uuid.UUID(bytes_le=stamp)), [("1",)])
            client.mark_pushed()
            client.pull()
        self.assertEqual(self.server_rows("SELECT qty FROM dbo.stock WHERE warehouse = 'WH01'"), [("4",)])


def client_request(url, query, body):
    parsed = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parsed.hostname, parsed.port, timeout=120)
    try:
        connection.request("POST", parsed.path + "/push?" + query, body=body,
                           headers={"Content-Length": str(len(body))})
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


if __name__ == "__main__":
    unittest.main()
