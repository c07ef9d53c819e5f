#!/usr/bin/python3
"""Whole pull and push roads: the test client against tavrin_host with the sync module, on
loopback, over the SQL Server stand-in with the provisioned demo dbfile."""
import hashlib
import http.client
import json
import os
import sqlite3
import sys
import tempfile
import unittest
import urllib.parse
import uuid
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from tavrin_client import ProtocolError  # noqa: E402


class DemoCase(harness.DemoTestCase):
    def names(self, table="dbo.customers"):
        return sorted(r[0] for r in self.demo.sql("SELECT name FROM %s" % table))

    def assert_temp_directory_empty(self):
        self.assertEqual(os.listdir(self.demo.facts["temp_directory"]), [])


class MainRoadTest(DemoCase):
    def test_pull_server_change_push_and_pull_again(self):
        self.demo.require("pull")
        self.demo.require("push")
        client = self.demo.client("a")
        first = client.pull()
        self.assertEqual(first.status, 200)
        self.assertEqual([(r["id"], r["name"]) for r in client.rows("customers")], [(1, "Ada"), (2, "Grace")])
        self.assertEqual([r["photo"] for r in client.rows("customers")], [b"\x01\x02\xff", None])
        self.assertEqual([(r["customer_id"], r["note"]) for r in client.rows("orders")], [(1, "first order")])
        self.assertEqual([(r["warehouse"], r["sku"], r["qty"]) for r in client.rows("stock")],
                         [("WH01", "bolt-6", 120), ("WH02", "bolt-6", 7)])
        self.assertRegex(client.baseline, r"^\d+g\d+$")
        self.assertEqual(client.pull().status, 304)

        self.demo.sql("INSERT INTO dbo.customers (name) VALUES (N'Hopper')")
        self.assertEqual(client.pull().status, 200)
        self.assertIn("Hopper", [r["name"] for r in client.rows("customers")])

        new = client.insert("customers", {"name": "Linus", "balance": 3})
        client.insert("orders", {"customer_id": client.rows("customers")[-1]["id"], "amount": 1.5, "note": "linked"})
        client.update("stock", client.find("stock", warehouse="WH02", sku="bolt-6"), {"qty": 8})
        client.delete("orders", client.find("orders", note="first order"))
        pushed = client.push()
        self.assertEqual((pushed.status, pushed.pushed), (200, 4))
        self.assertEqual(client.pending_changes(), 0)

        server_id = self.demo.sql("SELECT id FROM dbo.customers WHERE name = N'Linus'")[0][0]
        self.assertEqual(self.demo.sql("SELECT c.name FROM dbo.orders o JOIN dbo.customers c ON c.id = o.customer_id"
                                       " WHERE o.note = N'linked'"), [["Linus"]])
        self.assertEqual(self.demo.sql("SELECT COUNT(*) FROM dbo.orders WHERE note = N'first order'"), [["0"]])
        self.assertEqual(self.demo.sql("SELECT qty FROM dbo.stock WHERE warehouse = 'WH02'"), [["8"]])
        # The follow-up gave the client's row the identity value the server chose.
        linus = [r for r in client.rows("customers") if r["z_rid"] == new]
        self.assertEqual([r["id"] for r in linus], [int(server_id)])
        self.assertEqual(client.pull().status, 304)
        self.assert_temp_directory_empty()


class TwoClientsTest(DemoCase):
    def test_second_client_sees_the_first_and_a_conflict_merges_columns(self):
        self.demo.require("pull")
        self.demo.require("push")
        a, b = self.demo.client("a", fid=1), self.demo.client("b", fid=2)
        a.pull()
        b.pull()
        # Clients hold decimals as integers scaled by the column's scale: 500 is 5.00.
        a.update("customers", a.find("customers", name="Grace"), {"balance": 500})
        b.update("customers", b.find("customers", name="Grace"), {"active": True})
        self.assertEqual(a.push().status, 200)
        # b's change meets a's on the same row: the columns merge.
        self.assertEqual(b.push().status, 200)
        balance, active = self.demo.sql("SELECT balance, active FROM dbo.customers WHERE name = N'Grace'")[0]
        self.assertEqual((float(balance), active), (5.0, "1"))
        # The merge is audited in the configuration database; the dbfile lives in its own.
        audited = self.demo.config_sql("SELECT dbfile, tbl, result FROM tavrin.audit")
        self.assertEqual([(dbfile, tbl) for dbfile, tbl, _ in audited],
                         [("demo", self.demo.facts["table_ids"]["dbo.customers"])])
        self.assertEqual(json.loads(audited[0][2])["name"], "Grace")
        grace_b = [r for r in b.rows("customers") if r["name"] == "Grace"][0]
        self.assertEqual((grace_b["balance"], grace_b["active"]), (500, 1))
        self.assertEqual(a.pull().status, 200)
        self.assertEqual([r["active"] for r in a.rows("customers") if r["name"] == "Grace"], [1])

        b.insert("stock", {"warehouse": "WH03", "sku": "nut-2", "qty": 1})
        b.push()
        a.pull()
        self.assertIn(("WH03", "nut-2"), [(r["warehouse"], r["sku"]) for r in a.rows("stock")])


class TransactionClientTest(DemoCase):
    def server_and_client_rows(self, client):
        server = (self.demo.sql("SELECT id, name FROM dbo.customers ORDER BY id"),
                  self.demo.sql("SELECT warehouse, sku, qty FROM dbo.stock ORDER BY warehouse, sku"))
        local = ([[str(r["id"]), r["name"]] for r in client.rows("customers")],
                 [[r["warehouse"], r["sku"], str(r["qty"])] for r in client.rows("stock")])
        return server, local

    def test_server_side_changes_between_every_sync(self):
        """Clients of versions 3 to 5 name their baseline by the stamp of the server's newest
        transaction, which here an application made directly (no push) before every sync."""
        self.demo.require("pull")
        self.demo.require("push")
        for version in (5, 4, 3):
            with self.subTest(version=version):
                client = self.demo.client("v%d" % version, fid=10 + version, version=version)
                self.demo.sql("UPDATE dbo.stock SET qty = %d WHERE warehouse = 'WH01'" % (100 + version))
                self.assertEqual(client.pull().status, 200)
                for step in range(2):
                    tag = "%d-%d" % (version, step)
                    self.demo.sql("INSERT INTO dbo.customers (name) VALUES (N'server-%s')" % tag)
                    client.update("stock", client.find("stock", warehouse="WH02", sku="bolt-6"),
                                  {"qty": 10 * version + step})
                    client.insert("customers", {"name": "client-" + tag})
                    self.assertEqual(client.push().status, 200)
                    self.assertEqual(self.demo.sql("SELECT qty FROM dbo.stock WHERE warehouse = 'WH02'"),
                                     [[str(10 * version + step)]])
                    self.demo.sql("UPDATE dbo.stock SET qty = qty + 1 WHERE warehouse = 'WH01'")
                    self.assertEqual(client.pull().status, 200)
                server, local = self.server_and_client_rows(client)
                self.assertEqual(local, server)
                self.assertIn(["WH01", "bolt-6", str(100 + version + 2)], local[1])


class ManyIdentityRowsTest(DemoCase):
    """Pushes of many rows of identity-key tables: more rows than one statement stages or
    looks up, children that name their new parents by temporary keys, conflicts and deletes."""
    ROWS = 1200

    def server_rows(self):
        return (self.demo.sql("SELECT id, name, balance FROM dbo.customers ORDER BY id"),
                self.demo.sql("SELECT id, customer_id, note FROM dbo.orders ORDER BY id"))

    @staticmethod
    def client_rows(client):
        def money(scaled):
            return "NULL" if scaled is None else "%d.%02d" % divmod(scaled, 100)
        return ([[str(r["id"]), r["name"], money(r["balance"])] for r in client.rows("customers")],
                [[str(r["id"]), str(r["customer_id"]), r["note"]] for r in client.rows("orders")])

    def test_inserts_updates_deletes_and_conflicts_of_many_identity_rows(self):
        self.demo.require("pull")
        self.demo.require("push")
        a, b = self.demo.client("many-a", fid=31), self.demo.client("many-b", fid=32)
        a.pull()
        b.pull()
        # The server's next keys move past a's temporary ones: every one of them is taken.
        b.insert("customers", {"name": "from b"})
        self.assertEqual(b.push().status, 200)
        for i in range(self.ROWS):
            a.insert("customers", {"name": "many-%04d" % i, "balance": i})
        new = {r["name"]: r["id"] for r in a.rows("customers") if r["name"].startswith("many-")}
        for i in range(self.ROWS):
            a.insert("orders", {"customer_id": new["many-%04d" % i], "note": "order-%04d" % i})
        pushed = a.push()
        self.assertEqual((pushed.status, pushed.pushed), (200, 2 * self.ROWS))
        # Every order names its own customer under the key the server gave it, here and there.
        self.assertEqual(self.demo.sql("SELECT COUNT(*) FROM dbo.orders o JOIN dbo.customers c ON c.id = o.customer_id"
                                       " WHERE SUBSTRING(o.note, 7, 4) = SUBSTRING(c.name, 6, 4)"),
                         [[str(self.ROWS)]])
        self.assertEqual(self.demo.sql("SELECT MIN(id), COUNT(*) FROM dbo.customers WHERE name LIKE N'many-%'"),
                         [["4", str(self.ROWS)]])
        server = self.server_rows()
        self.assertEqual(self.client_rows(a), server)
        self.assertEqual(a.pull().status, 304)

        # Updates of every new row, half of which the server changed meanwhile (the columns
        # merge), and deletes of a hundred orders.
        self.assertEqual(b.pull().status, 200)
        self.demo.sql("UPDATE dbo.customers SET name = name + N'*' WHERE name LIKE N'many-%' AND id % 2 = 0")
        for r in a.rows("customers"):
            if r["name"].startswith("many-"):
                a.update("customers", r["z_rid"], {"balance": r["balance"] + 100})
        for r in a.rows("orders")[-100:]:
            a.delete("orders", r["z_rid"])
        pushed = a.push()
        self.assertEqual((pushed.status, pushed.pushed), (200, self.ROWS + 100))
        self.assertEqual(self.demo.sql("SELECT COUNT(*), SUM(CASE WHEN name LIKE N'%*' THEN 1 ELSE 0 END),"
                                       " CAST(SUM(balance) * 100 AS bigint) FROM dbo.customers WHERE name LIKE N'many-%'"),
                         [[str(self.ROWS), str(self.ROWS // 2), str(sum(range(self.ROWS)) + 100 * self.ROWS)]])
        self.assertEqual(self.demo.sql("SELECT COUNT(*) FROM dbo.orders"), [[str(self.ROWS - 99)]])
        # The push's follow-up brought a the merged rows already.
        self.assertEqual(a.pull().status, 304)
        self.assertEqual(b.pull().status, 200)
        server = self.server_rows()
        self.assertEqual(self.client_rows(a), server)
        self.assertEqual(self.client_rows(b), server)

        # A client of version 5 names its temporary keys in its own map; the server logs its keys.
        c = self.demo.client("many-c", fid=33, version=5)
        self.assertEqual(c.pull().status, 200)
        for i in range(700):
            c.insert("customers", {"name": "v5-%04d" % i})
        self.assertEqual(c.push().status, 200)
        self.assertEqual(c.pull().status, 304)
        self.assertEqual(self.demo.sql("SELECT COUNT(*) FROM dbo.customers WHERE name LIKE N'v5-%'"), [["700"]])
        self.assertEqual(self.client_rows(c), self.server_rows())

class ListedTxidsTest(DemoCase):
    LISTED = 1200

    def user_rows(self, client):
        return {table: [{k: v for k, v in r.items() if not k.startswith("z_")} for r in client.rows(table)]
                for _, (table, _, _, _) in client.tables().items()}

    def test_a_client_listing_many_missing_transactions_gets_them(self):
        """A client of versions 3 to 5 may name the transactions below its baseline that it
        lacks; listing more than a statement could carry as parameters, it still gets them."""
        self.demo.require("pull")
        for version in (3, 4, 5):
            with self.subTest(version=version):
                client = self.demo.client("listing%d" % version, fid=20 + version, version=version)
                self.assertEqual(client.pull().status, 200)
                schema_txid = client.baseline.split(",")[4]
                # Server-side changes, one transaction each; the client is told of none of them.
                self.demo.sql("UPDATE dbo.stock SET qty = qty + 1 WHERE warehouse = 'WH01'\nGO\n" * self.LISTED)
                self.demo.sql("INSERT INTO dbo.customers (name) VALUES (N'Listed %d')" % version)
                txids = [int(r[0]) for r in self.demo.sql(
                    "SELECT TOP (%d) txid FROM tavrin.demo$t$tx WHERE txid < (SELECT MAX(txid) FROM tavrin.demo$t$tx) "
                    "ORDER BY txid DESC" % self.LISTED)]
                newest = max(txids)
                # Stamped as the export that handed it out as a baseline would have stamped it.
                self.demo.sql("UPDATE tavrin.demo$t$tx SET rstamp = NEWID(), rebaseid = 7 "
                              "WHERE txid = %d AND rstamp IS NULL" % newest)
                rstamp, rebaseid, count = self.demo.sql(
                    "SELECT rstamp, rebaseid, (SELECT COUNT(*) FROM tavrin.demo$t$tx WHERE txid <= %d) "
                    "FROM tavrin.demo$t$tx WHERE txid = %d" % (newest, newest))[0]
                # The client claims the newest of them as its baseline and lists them all as missing.
                stamp = uuid.UUID(rstamp).bytes_le.hex().upper()  # the 16 bytes as SQL Server orders them
                client.set_meta("baseline", "%d,%s,%s,%d,%s" % (newest, stamp, rebaseid, int(count) - len(txids),
                                                                 schema_txid)
                                + "".join("m%d" % t for t in txids))
                self.assertEqual(client.pull().status, 200)
                fresh = self.demo.client("fresh%d" % version, fid=30 + version, version=version)
                self.assertEqual(fresh.pull().status, 200)
                self.assertEqual(self.user_rows(client), self.user_rows(fresh))
                self.assertEqual(client.pull().status, 304)


class RefusalTest(DemoCase):
    def raw(self, target):
        connection = http.client.HTTPConnection("127.0.0.1", self.demo.port, timeout=30)
        try:
            connection.request("GET", target)
            response = connection.getresponse()
            return response.status, response.reason, response.getheader("X-Tavrin-Error-Code"), response.read()
        finally:
            connection.close()

    def test_credentials(self):
        self.demo.require("pull")
        scheme = self.demo.facts["scheme"]
        good = self.demo.client("alice", user="alice", password="alice-secret", scheme=scheme)
        self.assertEqual(good.pull().status, 200)
        for name, password in (("wrong", "nope"), ("empty", "")):
            with self.subTest(name):
                bad = self.demo.client("bad-" + name, user="alice", password=password, scheme=scheme)
                with self.assertRaises(ProtocolError) as caught:
                    bad.pull()
                self.assertEqual((caught.exception.status, caught.exception.reason), (401, "Unauthorized"))

    def test_host_answers(self):
        app = self.demo.facts["app_path"]
        cases = [
            ("unknown dbfile", app + "/pull?db=nosuch&fid=1&pv=6", (400, "DBFile Not Found", "4552", b"")),
            ("no query", app + "/pull", (400, "Missing/Invalid Query String", None, b"")),
            ("no db", app + "/pull?fid=1", (400, "Missing/Invalid Query String", None, b"")),
            ("bad path", app + "/pulls?db=demo&fid=1&pv=6", (404, "TODO", None, b"")),
            ("path case", app + "/PULL?db=demo&fid=1&pv=6", (404, "TODO", None, b"")),
            ("push without h", app + "/push?db=demo&fid=1",
             (400, "TODO", None, b"parameter 'h' in query string is required\0")),
        ]
        for name, target, expected in cases:
            with self.subTest(name):
                if name.startswith("push"):
                    self.demo.require("push")
                self.assertEqual(self.raw(target), expected)
        self.assert_temp_directory_empty()


if __name__ == "__main__":
    unittest.main()
