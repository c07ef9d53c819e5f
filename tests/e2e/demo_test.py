#!/usr/bin/python3
"""The demo as a newcomer uses it: scripts/run.sh run twice with one DEMO_DIR serves the kept
demo again, and the test client's command line shows the rows and makes the local changes that
a push then brings to the server."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import demo  # noqa: E402
import harness  # noqa: E402

CLIENT = os.path.join(HERE, "tavrin_client.py")


class KeptDemoTest(unittest.TestCase):
    """scripts/run.sh with the programs of this build (nothing is built)."""
    SCRIPT = os.path.join(HERE, "..", "..", "scripts", "run.sh")

    def test_a_kept_demo_is_served_again(self):
        harness.module_path()
        directory = tempfile.mkdtemp(prefix="tavrin-kept-")
        self.addCleanup(shutil.rmtree, directory, True)
        environment = dict(os.environ, DEMO_DIR=os.path.join(directory, "demo"))
        outputs = []
        for _ in range(2):
            run = subprocess.run([self.SCRIPT, "--exit-after-demo"], env=environment, capture_output=True,
                                 text=True, timeout=300)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            self.assertIn("push: SyncResult(status=200", run.stdout)
            outputs.append(run.stdout)
        self.assertIn("demo provisioned in", outputs[0])
        self.assertIn("demo kept in", outputs[1])
        # Each run's local change reached the kept database, next to the rows it started with.
        customers = demo.sql(harness.tool("SQLSERVER_STANDIN"), os.path.join(directory, "demo", "data"),
                             demo.DBFILE_DB, "SELECT name FROM dbo.customers ORDER BY id", directory)
        self.assertEqual(customers, [["Ada"], ["Grace"], ["Demo customer"], ["Demo customer"]])

    def test_help_names_the_environment(self):
        run = subprocess.run([self.SCRIPT, "--help"], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0)
        for name in ("DEMO_DIR", "JOBS", "--exit-after-demo"):
            self.assertIn(name, run.stdout)


class ClientCommandsTest(unittest.TestCase):
    def setUp(self):
        self.running = harness.RunningDemo()
        self.addCleanup(self.running.remove)
        self.addCleanup(self.running.stop)
        self.copy = os.path.join(self.running.directory, "mine.sqlite")

    def client(self, *arguments):
        run = subprocess.run([sys.executable, CLIENT, self.copy, self.running.url, "demo"] + list(arguments),
                             capture_output=True, text=True, timeout=120)
        return run.returncode, run.stdout + run.stderr

    def ok(self, *arguments):
        code, output = self.client(*arguments)
        self.assertEqual(code, 0, output)
        return output

    def test_local_changes_by_hand_are_shown_and_pushed(self):
        self.ok("pull")
        self.ok("insert", "customers", '{"name": "Mine", "balance": "12.34", "photo": "0xABCD"}')
        self.ok("update", "customers", '{"id": 1, "balance": 11}')
        self.ok("update", "stock", '{"warehouse": "WH01", "sku": "bolt-6", "qty": 5}')
        self.ok("delete", "stock", '{"warehouse": "WH02", "sku": "bolt-6"}')
        shown = self.ok("show")
        for line in ('{"id": 1, "name": "Ada", "balance": "11.00", "photo": "0x0102FF", '
                     '"joined": "2024-01-02 03:04:05.0000000", "active": 1}  (updated, not pushed)',
                     '"name": "Mine", "balance": "12.34", "photo": "0xABCD"',
                     '{"warehouse": "WH02", "sku": "bolt-6", "qty": 7}  (deleted, not pushed)',
                     "stock (", "): 1 rows"):
            self.assertIn(line, shown)
        self.assertIn("push: SyncResult(status=200", self.ok("push"))
        self.assertEqual(self.running.sql("SELECT name, balance, photo FROM dbo.customers ORDER BY id"),
                         [["Ada", "11.00", "0x0102FF"], ["Grace", "NULL", "NULL"], ["Mine", "12.34", "0xABCD"]])
        self.assertEqual(self.running.sql("SELECT warehouse, sku, qty FROM dbo.stock"), [["WH01", "bolt-6", "5"]])
        # After the push the copy holds the server's rows, with no local change left.
        self.assertNotIn("not pushed", self.ok("show", "customers"))

    def test_changes_that_cannot_be_made_are_refused(self):
        self.ok("pull")
        cases = [
            (("insert", "customers", "not json"), "not a JSON object"),
            (("insert", "customers", "[1]"), "not a JSON object of columns"),
            (("insert", "customers", '{"nme": "x"}'), "customers has no column nme"),
            (("insert", "customers", '{"name": "x", "balance": "1.234"}'), "balance: more than 2 decimal places"),
            (("insert", "customers", '{"name": "x", "photo": "ABCD"}'), "photo: a blob is written 0x"),
            (("update", "customers", '{"name": "Ada"}'), "give the key column id"),
            (("update", "customers", '{"id": 1}'), "no value to change besides the key"),
            (("update", "customers", '{"id": 99, "name": "x"}'), "0 rows match"),
            (("delete", "stock", '{"warehouse": "WH01"}'), "give the key columns sku"),
            (("delete", "nothing", '{"id": 1}'), "no synchronised table 'nothing'"),
            (("insert", "customers"), "insert takes TABLE and a row as JSON"),
        ]
        for arguments, message in cases:
            code, output = self.client(*arguments)
            self.assertEqual(code, 1, arguments)
            self.assertIn(message, output, arguments)
        self.assertNotIn("not pushed", self.ok("show"))


if __name__ == "__main__":
    unittest.main()
