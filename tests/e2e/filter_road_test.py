#!/usr/bin/python3
"""Row filters over the whole road: filtered users pulling and pushing through tavrin_host,
rows moving into and out of a filter, a user's filter changing under clients of every package
version, and a history purge. A client must always end holding exactly the server's rows
inside its filter: the rows a new client of the same version gets, whose keys the server's own
query confirms."""
import json
import os
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo  # noqa: E402
import harness  # noqa: E402

VERSIONS = (3, 4, 5, 6)
MORE_CUSTOMERS_SQL = """\
INSERT INTO dbo.customers (name, balance, joined, active) VALUES (N'Hopper', 7.25, '2020-05-06 07:08:09', 1)
INSERT INTO dbo.customers (name, balance, active) VALUES (N'Lamarr', 1.00, 0)
INSERT INTO dbo.orders (customer_id, amount, note) VALUES (2, 5, N'grace order')
INSERT INTO dbo.orders (customer_id, amount, note) VALUES (3, 6, N'hopper order')
"""


class FilterCase(unittest.TestCase):
    """One demo per class; filters are added once and assigned to everybody per test."""

    @classmethod
    def setUpClass(cls):
        cls.demo = harness.RunningDemo()
        cls.demo.sql(MORE_CUSTOMERS_SQL)
        cls.tables = cls.demo.facts["table_ids"]
        customers, stock = cls.tables["dbo.customers"], cls.tables["dbo.stock"]
        columns = cls.column_ids("dbo.customers")
        cls.filters = {
            "active": {"tbls": {customers: {"where": "active = 1"}}},
            "inactive": {"tbls": {customers: {"where": "active = 0"}}},
            # Without the balance column and the stock table...
            "active-narrow": {"tbls": {customers: {"where": "active = 1",
                                                   "cols": {columns["balance"]: {"exclude": True}}},
                                       stock: {"exclude": True}}},
            # ...then with them, but without the joined column.
            "inactive-narrow": {"tbls": {customers: {"where": "active = 0",
                                                     "cols": {columns["joined"]: {"exclude": True}}}}},
        }
        cls.filter_ids = {}
        for number, (name, document) in enumerate(sorted(cls.filters.items()), start=3):
            cls.cli("add-filter", number, json.dumps(document))
            cls.filter_ids[name] = number
        cls.cli("assign-filter", "", "anyone", cls.filter_ids["active"], 1)
        # The helper, alice, sees everything.
        cls.cli("add-filter", 99, "{}")
        cls.cli("assign-filter", cls.demo.facts["scheme"], "user:alice", 99, 2)
        cls.helper = cls.demo.client("helper", fid=99, user="alice", password=cls.demo.facts["users"]["alice"],
                                     scheme=cls.demo.facts["scheme"])
        cls.clients = 0

    @classmethod
    def tearDownClass(cls):
        cls.helper.close()
        cls.demo.stop()
        cls.demo.remove()

    @classmethod
    def cli(cls, command, *args):
        facts = cls.demo.facts
        return demo.cli(cls.demo.standin, command, facts["data_dir"], facts["dbfile_db"], facts["dbfile"], *args)

    @classmethod
    def column_ids(cls, table):
        rows = cls.demo.sql("SELECT name, column_id FROM sys.columns WHERE object_id = OBJECT_ID('%s')" % table)
        return {name: column_id for name, column_id in rows}

    def assign(self, name):
        """Gives everybody the filter; None takes the assignment away."""
        script = "DELETE FROM tavrin.[demo$t$uf] WHERE who = 'anyone'"
        if name is not None:
            filter_id = self.filter_ids.get(name, name)
            script += ";INSERT INTO tavrin.[demo$t$uf] (scheme, who, filter, priority) VALUES ('', 'anyone', %d, 1)" % (
                filter_id)
        self.demo.sql(script)

    def client(self, pv=6, source=None):
        """A new client of the version; with source, one holding what that client holds."""
        type(self).clients += 1
        name = "c%d" % self.clients
        if source is not None:
            target = sqlite3.connect(os.path.join(self.demo.directory, name + ".sqlite"))
            source.db.backup(target)
            target.close()
        client = self.demo.client(name, fid=100 + self.clients, version=pv)
        # Nothing of a test client's database has to outlive a crash.
        client.db.execute("PRAGMA synchronous = OFF")
        return client

    def helper_push(self, change):
        """A change made through a push, so that the newest server transaction carries a stamp
        (a txid client's baseline must name one to push)."""
        self.helper.pull()
        change(self.helper)
        self.assertEqual(self.helper.push().status, 200)

    def new_generation(self):
        """A pull closes the generation of the server's changes so far; its number."""
        self.helper.pull()
        return int(self.demo.sql("SELECT MAX(generation) FROM tavrin.[demo$t$gen]")[0][0])

    @staticmethod
    def holdings(client):
        """Everything the client holds for its schema: {table: (columns, sorted rows)}."""
        held = {}
        for _, (name, cols, _, _) in sorted(client.tables().items()):
            rows = sorted(tuple(r[c] for c in cols) for r in client.rows(name))
            held[name] = (cols, rows)
        return held

    def assert_holds_server_rows(self, client, filter_name):
        """The client holds what a new client of its version gets under the filter (None: no
        filter), and its customers are the server's rows inside the filter."""
        fresh = self.client(client.version)
        try:
            self.assertEqual(fresh.pull().status, 200)
            self.assertEqual(self.holdings(client), self.holdings(fresh))
        finally:
            fresh.close()
        where = "1 = 1"
        if filter_name is not None:
            where = self.filters[filter_name]["tbls"][self.tables["dbo.customers"]]["where"]
        self.assertEqual(sorted(r["name"] for r in client.rows("customers")),
                         sorted(r[0] for r in self.demo.sql("SELECT name FROM dbo.customers WHERE " + where)))


class FilteredUserTest(FilterCase):
    def test_first_pull_then_rows_moving_into_and_out_of_the_filter(self):
        self.assign("active")
        for pv in VERSIONS:
            with self.subTest(pv=pv):
                client = self.client(pv)
                self.assertEqual(client.pull().status, 200)
                self.assertEqual(sorted(r["name"] for r in client.rows("customers")), ["Ada", "Hopper"])
                self.assertEqual(sorted(r["note"] for r in client.rows("orders")), ["first order", "hopper order"])
                self.assert_holds_server_rows(client, "active")

                # Another user's push moves Grace in and Hopper out; the client's own moves Ada
                # out and brings a new row in.
                self.helper_push(lambda h: [h.update("customers", h.find("customers", name=name), {"active": active})
                                            for name, active in (("Grace", 1), ("Hopper", 0))])
                self.assertEqual(client.pull().status, 200)
                self.assertEqual(sorted(r["name"] for r in client.rows("customers")), ["Ada", "Grace"])
                self.assertEqual(sorted(r["note"] for r in client.rows("orders")), ["first order", "grace order"])
                client.update("customers", client.find("customers", name="Ada"), {"active": 0})
                client.insert("customers", {"name": "Noether %d" % pv, "active": 1})
                self.assertEqual(client.push().status, 200)
                self.assertEqual(sorted(r["name"] for r in client.rows("customers")), ["Grace", "Noether %d" % pv])
                self.assert_holds_server_rows(client, "active")
                self.demo.sql("UPDATE dbo.customers SET active = 1 WHERE name IN (N'Ada', N'Hopper');"
                              "UPDATE dbo.customers SET active = 0 WHERE name = N'Grace' OR name LIKE N'Noether%'")
                client.close()

    def test_history_purge_and_the_pull_after_it(self):
        self.assign("active")
        client = self.client()
        self.assertEqual(client.pull().status, 200)
        # Two generations of changes the client has not seen, then the history up to the
        # newer one is purged: the client's baseline lies in purged history.
        self.demo.sql("UPDATE dbo.customers SET balance = 11 WHERE name = N'Ada'")
        self.new_generation()
        self.demo.sql("DELETE FROM dbo.orders WHERE note = N'hopper order';"
                      "INSERT INTO dbo.stock (warehouse, sku, qty) VALUES ('WH09', N'gear', 3)")
        self.cli("purge", self.new_generation())
        self.assertEqual(client.pull().status, 200)
        self.assertEqual([r["balance"] for r in client.rows("customers") if r["name"] == "Ada"], [1100])
        self.assertEqual(sorted(r["note"] for r in client.rows("orders")), ["first order"])
        self.assertIn("WH09", [r["warehouse"] for r in client.rows("stock")])
        self.assert_holds_server_rows(client, "active")
        client.close()


class FilterChangeTest(FilterCase):
    """The user's filter changes after a client synced: its next pull or push names the filter
    its rows were built with, and the answer turns them into the rows of the new filter."""

    CHANGES = (("active", "inactive"), ("active-narrow", "inactive-narrow"), ("inactive-narrow", "active-narrow"),
               ("active-narrow", "active"))

    def test_pull_after_a_filter_change(self):
        for pv in VERSIONS:
            for old, new in self.CHANGES:
                with self.subTest(pv=pv, old=old, new=new):
                    self.assign(old)
                    client = self.client(pv)
                    self.assertEqual(client.pull().status, 200)
                    self.assert_holds_server_rows(client, old)
                    self.assign(new)
                    self.assertEqual(client.pull().status, 200)
                    self.assert_holds_server_rows(client, new)
                    # The client now names the new filter: nothing changes any more.
                    before = self.holdings(client)
                    self.assertIn(client.pull().status, (200, 304))
                    self.assertEqual(self.holdings(client), before)
                    client.close()

    def test_push_after_a_filter_change(self):
        for pv in VERSIONS:
            for old, new in self.CHANGES:
                with self.subTest(pv=pv, old=old, new=new):
                    tag = "%d-%s" % (pv, new)
                    self.helper_push(lambda h: h.update("stock", h.find("stock", warehouse="WH01", sku="bolt-6"),
                                                        {"qty": pv * 10 + len(new)}))
                    self.assign(old)
                    client = self.client(pv)
                    self.assertEqual(client.pull().status, 200)
                    active = 1 if old.startswith("active") else 0
                    name = client.rows("customers")[0]["name"]
                    client.update("customers", client.find("customers", name=name), {"name": name + "+"})
                    client.insert("customers", {"name": "new " + tag, "active": active})
                    self.assign(new)
                    pushed = client.push()
                    self.assertEqual((pushed.status, pushed.pushed), (200, 2))
                    self.assertEqual(self.demo.sql("SELECT active FROM dbo.customers WHERE name = N'new %s'" % tag),
                                     [[str(active)]])
                    self.assertEqual(self.demo.sql("SELECT COUNT(*) FROM dbo.customers WHERE name = N'%s+'" % name),
                                     [["1"]])
                    self.assertEqual(client.pending_changes(), 0)
                    self.assert_holds_server_rows(client, new)
                    self.demo.sql("UPDATE dbo.customers SET name = N'%s' WHERE name = N'%s+'" % (name, name))
                    client.close()


if __name__ == "__main__":
    unittest.main()
