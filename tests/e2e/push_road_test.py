#!/usr/bin/python3
"""Pushes through tavrin_host right after a schema change: the first request after `add-table`
or `prepare-column` may be a push, before any pull has put the change into a generation, and
it is applied at once for clients of every package version."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo  # noqa: E402
import harness  # noqa: E402


class PushAfterSchemaChangeTest(harness.DemoTestCase):
    def change_schema(self, kind, name):
        facts = self.demo.facts
        if kind == "add-table":
            self.demo.sql("CREATE TABLE dbo.%s (id int NOT NULL PRIMARY KEY, v int NULL)\n"
                          "INSERT INTO dbo.%s (id, v) VALUES (1, 1)" % (name, name))
            demo.cli(self.demo.standin, "add-table", facts["data_dir"], facts["dbfile_db"], facts["dbfile"],
                     "dbo." + name)
        else:
            self.demo.sql("ALTER TABLE dbo.stock ADD %s int NULL" % name)
            demo.cli(self.demo.standin, "prepare-column", facts["data_dir"], facts["dbfile_db"], facts["dbfile"],
                     "dbo.stock", name)

    def test_the_first_request_after_a_schema_change_is_a_push(self):
        self.demo.require("pull")
        self.demo.require("push")
        qty = 500
        for version in (3, 5, 6):
            for kind in ("add-table", "prepare-column"):
                with self.subTest(version=version, change=kind):
                    qty += 1
                    client = self.demo.client("v%d-%s" % (version, kind), fid=qty, version=version)
                    self.assertEqual(client.pull().status, 200)
                    self.change_schema(kind, "%s_v%d" % (kind.replace("-", "_"), version))
                    client.update("stock", client.find("stock", warehouse="WH01", sku="bolt-6"), {"qty": qty})
                    self.assertEqual(client.push().status, 200)
                    self.assertEqual(self.demo.sql("SELECT qty FROM dbo.stock WHERE warehouse = 'WH01'"),
                                     [[str(qty)]])
                    self.assertEqual(client.pending_changes(), 0)
                    # The client learns of the change on its next pull and pushes on.
                    self.assertIn(client.pull().status, (200, 304))
                    client.update("stock", client.find("stock", warehouse="WH02", sku="bolt-6"), {"qty": qty})
                    self.assertEqual(client.push().status, 200)
                    self.assertEqual(self.demo.sql("SELECT qty FROM dbo.stock WHERE warehouse = 'WH02'"),
                                     [[str(qty)]])

    def test_a_filter_base_header_that_is_no_object_is_refused(self):
        """The header is the client's input: 400 naming it, for a pull as for a push."""
        self.demo.require("pull")
        self.demo.require("push")
        client = self.demo.client("filter-base", fid=900, version=6)
        self.assertEqual(client.pull().status, 200)
        client.update("stock", client.find("stock", warehouse="WH01", sku="bolt-6"), {"qty": 900})
        for header in ("[]", '"x"', "{", "5"):
            with self.subTest(header=header):
                client.set_meta("filter_base", header)
                for method, road in (("GET", "/pull"), ("POST", "/push")):
                    answer = client.request(method, road, client.query(pv="6", **{"from": client.baseline}),
                                            b"x" if method == "POST" else b"")
                    self.assertEqual(answer.status, 400, answer.body)
                    self.assertIn(b"invalid header 'x-tavrin-filter-base' (not a JSON object)", answer.body)
        self.assertNotEqual(self.demo.sql("SELECT qty FROM dbo.stock WHERE warehouse = 'WH01'"), [["900"]])


if __name__ == "__main__":
    unittest.main()
