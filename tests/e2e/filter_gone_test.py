#!/usr/bin/python3
"""Filters that go away and come back, and filters deleted under their clients, through
tavrin_host: every short sequence of pulls and pushes across the changes, for clients of every
package version. A client must always end holding what a new client of its version gets under
its last filter."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import filter_road_test  # noqa: E402


class FilterGoneTest(filter_road_test.FilterCase):
    """A user's filter taken away and given again (the same or another), and a filter deleted
    after its users were given another: a client's set digests must never vouch for rows it
    received outside a filter, and a filter the server no longer knows tells nothing of what
    the client holds. Sequences that share their first steps share a client up to there: each
    step runs on a copy of the client's local database."""

    PUSHES = 0

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The newest transaction carries a stamp, which a txid client's push must name.
        cls.helper.pull()
        cls.helper.update("stock", cls.helper.find("stock", warehouse="WH02", sku="bolt-6"), {"qty": 8})
        assert cls.helper.push().status == 200

    def step(self, client, operation):
        """A pull, or a push of a new customer beside the first one the client holds (so inside
        the filter its rows came from)."""
        if operation == "pull":
            self.assertIn(client.pull().status, (200, 304))
            return
        type(self).PUSHES += 1
        client.insert("customers", {"name": "step %d" % self.PUSHES, "active": client.rows("customers")[0]["active"]})
        self.assertEqual(client.push().status, 200)

    def walk(self, client, levels, done=()):
        """Every sequence of one (assignment, operation) per level from the client's state; each
        must leave the client as a new client under its last assignment, and a later pull must
        leave it so."""
        for assignment, operation in levels[0]:
            steps = done + ((assignment, operation),)
            branch = self.client(client.version, source=client)
            try:
                with self.subTest(pv=client.version, steps=steps):
                    self.assign(assignment)
                    self.step(branch, operation)
                    if len(levels) > 1:
                        self.walk(branch, levels[1:], steps)
                        continue
                    self.assert_holds_server_rows(branch, assignment)
                    before = self.holdings(branch)
                    self.assertIn(branch.pull().status, (200, 304))
                    self.assertEqual(self.holdings(branch), before)
            finally:
                branch.close()

    def synced_client(self, pv, filter_name):
        self.assign(filter_name)
        client = self.client(pv)
        self.assertEqual(client.pull().status, 200)
        return client

    def test_every_three_steps_over_a_filter_and_none(self):
        choices = [(assignment, operation) for assignment in ("active", None) for operation in ("pull", "push")]
        for pv in filter_road_test.VERSIONS:
            client = self.synced_client(pv, "active")
            self.walk(client, [choices] * 3)
            client.close()

    def test_a_filter_none_then_another_filter(self):
        for pv in filter_road_test.VERSIONS:
            for start, end in (("active", "inactive"), ("active-narrow", "inactive-narrow"),
                               ("inactive-narrow", "active"), ("active", "active-narrow")):
                client = self.synced_client(pv, start)
                self.walk(client, [[(None, "pull"), (None, "push")], [(end, "pull"), (end, "push")]])
                client.close()

    def test_a_deleted_old_filter(self):
        # The filter the client synced under leaves out the balance column and the stock
        # table; its users get another filter (or none), then it is deleted.
        for pv in filter_road_test.VERSIONS:
            for new in ("inactive", "active-narrow", None):
                self.cli("add-filter", 8, json.dumps(self.filters["active-narrow"]))
                try:
                    client = self.synced_client(pv, 8)
                    self.assign(new)
                finally:
                    self.demo.sql("DELETE FROM tavrin.[demo$t$f] WHERE id = 8")
                self.assertNotIn("stock", [info[0] for info in client.tables().values()])
                self.walk(client, [[(new, "pull"), (new, "push")]])
                client.close()


if __name__ == "__main__":
    unittest.main()
