#!/usr/bin/python3
"""The test client on its own, without a server: push packages, applying download packages,
VCDIFF answers and the HTTP side against a scripted server."""
import hashlib
import http.server
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import pkg_inspect  # noqa: E402
import tavrin_client  # noqa: E402
from tavrin_client import Client, ClientError, ProtocolError  # noqa: E402

SCHEMA = {
    "compat_level": 1, "backend": {"indistinct_unique_nulls": True, "name": "mssql", "api": "odbc"},
    "filter_id": 0,
    "tbls": {
        "101": {"name": "customers", "txid": 3,
                "cols": {"1": {"name": "id", "type": {"name": "identity"}},
                         "2": {"name": "name", "type": {"name": "text", "width": 100}},
                         "3": {"name": "photo", "type": {"name": "blob", "width": 0}}},
                "pk": {"name": "PK_c", "cols": {"1": None}}},
        "202": {"name": "stock", "txid": 4,
                "cols": {"1": {"name": "warehouse", "type": {"name": "text", "width": 4}},
                         "2": {"name": "sku", "type": {"name": "text", "width": 20}},
                         "3": {"name": "qty", "type": {"name": "sint32"}}},
                "pk": {"name": "PK_s", "cols": {"1": None, "2": None}}},
    },
}
RID = [bytes([i]) * 16 for i in range(1, 10)]


def make_download(path, header, generations, rows):
    """A version-6 download package: rows = {table id: [(rid, gen_del, gen_add, values...)]}."""
    db = sqlite3.connect(path)
    db.execute("PRAGMA page_size = 4096")
    db.execute("CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER)")
    db.execute("INSERT INTO p$gen VALUES (0, ?)", (json.dumps(header),))
    db.executemany("INSERT INTO p$gen VALUES (?, ?)", generations)
    for tbl_id, table_rows in rows.items():
        cols = [c["name"] for c in SCHEMA["tbls"][tbl_id]["cols"].values()]
        db.execute('CREATE TABLE "p$u$%s" (z_rid BLOB, z_gen_del INT, z_gen_add INT%s)' % (
            tbl_id, "".join(', "%s"' % c for c in cols)))
        db.executemany('INSERT INTO "p$u$%s" VALUES (%s)' % (tbl_id, ",".join("?" * (3 + len(cols)))), table_rows)
    db.commit()
    db.close()


def make_txid_download(path, pv, header, rows, schema=None, tx_rows=()):
    """A download package of versions 3 to 5: header = (row 0's rstamp, rebaseid);
    rows = {table id: [(rid, txid_rec_add, txid_rec_del, txid, values or None)]}, a text rid
    being a marker, a None rid a column-dump row (its values keyed by column name)."""
    db = sqlite3.connect(path)
    db.execute("PRAGMA page_size = 4096")
    db.execute("CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER)")
    db.execute("INSERT INTO p$tx VALUES (0, ?, ?, ?)", (pv,) + header)
    db.executemany("INSERT INTO p$tx VALUES (?, NULL, ?, ?)", tx_rows)
    if schema and pv >= 4:
        db.execute("INSERT INTO p$tx (txid, scheme) VALUES (-1, ?)", (json.dumps(schema),))
    elif schema:
        db.execute('CREATE TABLE "p$s" ("txid" INTEGER NOT NULL, "json" TEXT NOT NULL)')
        db.execute("INSERT INTO p$s VALUES (?, ?)", (schema["tbls"]["101"]["txid"], json.dumps(schema)))
    for tbl_id, table_rows in rows.items():
        cols = [c["name"] for c in SCHEMA["tbls"][tbl_id]["cols"].values()]
        db.execute('CREATE TABLE "p$rd$%s" (rid BLOB NOT NULL, txid_rec_add INTEGER NULL, txid_rec_del INTEGER NULL,'
                   ' txid INTEGER NOT NULL)' % tbl_id)
        db.execute('CREATE TABLE "p$u$%s" (z_rid BLOB, z_txid INTEGER%s)' % (
            tbl_id, "".join(', "%s"' % c for c in cols)))
        for rid, added, replaced, txid, values in table_rows:
            if rid is None:
                db.execute('INSERT INTO "p$u$%s" (%s) VALUES (%s)' % (
                    tbl_id, ", ".join('"%s"' % c for c in values), ",".join("?" * len(values))), list(values.values()))
                continue
            db.execute('INSERT INTO "p$rd$%s" VALUES (?, ?, ?, ?)' % tbl_id, (rid, added, replaced, txid))
            if values is not None:
                db.execute('INSERT INTO "p$u$%s" VALUES (%s)' % (tbl_id, ",".join("?" * (2 + len(cols)))),
                           (rid, added) + tuple(values))
    db.commit()
    db.close()


class ClientCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrin-client-test-")
        self.client = Client(os.path.join(self.dir, "local.sqlite"), "http://127.0.0.1:9/sync", "demo")

    def tearDown(self):
        self.client.close()
        shutil.rmtree(self.dir)

    def package(self, name, header, generations, rows):
        path = os.path.join(self.dir, name)
        make_download(path, header, generations, rows)
        return path

    def first_pull(self):
        return self.client.apply_package(self.package("first", {"pv": 6, "schema": SCHEMA}, [(1, 11), (2, 12)], {
            "101": [(RID[0], None, 1, 1, "Ada", b"\x01\x02"), (RID[1], None, 2, 2, "Grace", None)],
            "202": [(RID[2], None, 2, "WH01", "bolt", 120)]}))


class DownloadPackageTest(ClientCase):
    def test_first_package_creates_the_tables_and_sets_the_baseline(self):
        self.assertEqual(self.first_pull(), 3)
        self.assertEqual(self.client.baseline, "2g12")
        rows = self.client.rows("customers")
        self.assertEqual([(r["z_rid"], r["z_gen"], r["id"], r["name"], r["photo"]) for r in rows],
                         [(RID[0], 1, 1, "Ada", b"\x01\x02"), (RID[1], 2, 2, "Grace", None)])
        self.assertEqual(self.client.table_by_name("stock")[1][2], ["warehouse", "sku"])

    def test_later_package_updates_deletes_discards_and_dumps(self):
        self.first_pull()
        later = self.package("later", {"pv": 6}, [(3, 13)], {
            # An update of Ada, Grace deleted (every user column NULL); stock discarded and sent again.
            "101": [(RID[0], 1, 3, 1, "Ada L.", None), (RID[1], 2, 3, None, None, None)],
            "202": [("filter-discard", -1, -1, None, None, None), (RID[3], None, 3, "WH02", "nut", 5),
                    ("column-dump: qty", -1, -1, None, None, None), (None, None, None, "WH02", "nut", 6)]})
        self.assertEqual(self.client.apply_package(later), 4)
        self.assertEqual(self.client.baseline, "3g13")
        self.assertEqual([(r["name"], r["z_gen"]) for r in self.client.rows("customers")], [("Ada L.", 3)])
        self.assertEqual([(r["z_rid"], r["sku"], r["qty"]) for r in self.client.rows("stock")], [(RID[3], "nut", 6)])

    def test_markers_after_the_rows_discard_first_and_a_dump_fills_every_named_column(self):
        self.first_pull()
        # The server writes a table's rows first, then its markers, then the dumped values.
        later = self.package("later", {"pv": 6}, [(3, 13)], {
            "202": [(RID[3], None, 3, "WH02", "nut", 5), ("filter-discard", -1, -1, None, None, None)],
            "101": [("column-dump: name", -1, -1, None, None, None), ("column-dump: photo", -1, -1, None, None, None),
                    (None, None, None, 1, "Ada D.", b"\x09"), (None, None, None, 2, "Grace D.", None)]})
        self.assertEqual(self.client.apply_package(later), 3)
        self.assertEqual([(r["z_rid"], r["sku"]) for r in self.client.rows("stock")], [(RID[3], "nut")])
        self.assertEqual([(r["name"], r["photo"]) for r in self.client.rows("customers")],
                         [("Ada D.", b"\x09"), ("Grace D.", None)])

    def test_bad_packages_change_nothing(self):
        self.first_pull()
        cases = [
            ("v4", lambda p: sqlite3.connect(p).executescript(
                "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER);"
                "INSERT INTO p$tx VALUES (0, 4, NULL, 0);"), "version 4"),
            ("unknown table", lambda p: make_download(p, {"pv": 6}, [(4, 14)], {"101": []}) or
             sqlite3.connect(p).executescript('CREATE TABLE "p$u$999" (z_rid BLOB, z_gen_del INT, z_gen_add INT)'),
             "999"),
            ("short rid", lambda p: make_download(p, {"pv": 6}, [(4, 14)], {"101": [(b"x", None, 4, 9, "x", None)]}),
             "16 bytes"),
        ]
        for name, build, message in cases:
            with self.subTest(name):
                path = os.path.join(self.dir, name)
                build(path)
                with self.assertRaisesRegex(ClientError, message):
                    self.client.apply_package(path)
                self.assertEqual(self.client.baseline, "2g12")
                self.assertEqual(len(self.client.rows("customers")), 2)


class PushPackageTest(ClientCase):
    def test_local_changes_make_a_sound_version_6_push_package(self):
        self.first_pull()
        new = self.client.insert("customers", {"name": "Linus"})
        self.client.update("customers", RID[0], {"name": "Ada L."})
        self.client.delete("stock", RID[2])
        path = os.path.join(self.dir, "push")
        stamp = bytes(range(16))
        self.assertEqual(self.client.build_push_package(path, stamp), 3)
        self.assertEqual(pkg_inspect.inspect(path, version=6, schema=SCHEMA), [])
        db = sqlite3.connect(path)
        self.assertEqual(db.execute("SELECT generation, id FROM p$gen ORDER BY generation").fetchall(),
                         [(-2, stamp), (0, '{"pv": 6}'), (2, 12)])
        self.assertEqual(sorted(db.execute('SELECT * FROM "p$u$101"').fetchall(), key=lambda r: r[3]),
                         [(RID[0], 1, -2, 1, "Ada L.", b"\x01\x02"), (new, None, -2, 3, "Linus", None)])
        self.assertEqual(db.execute('SELECT * FROM "p$u$202"').fetchall(), [(RID[2], 2, -2, None, None, None)])
        db.close()

    def test_push_needs_a_baseline_and_a_row_inserted_then_deleted_is_never_sent(self):
        with self.assertRaisesRegex(ClientError, "pull before"):
            self.client.build_push_package(os.path.join(self.dir, "p"), bytes(16))
        self.first_pull()
        self.client.delete("customers", self.client.insert("customers", {"name": "gone"}))
        self.assertEqual(self.client.pending_changes(), 0)


class TxidClientTest(unittest.TestCase):
    """The client of package versions 3 to 5: download packages of the transaction form and
    its push packages."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrin-client-test-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def client(self, pv):
        return Client(os.path.join(self.dir, "local%d.sqlite" % pv), "http://127.0.0.1:9/sync", "demo", version=pv)

    def download(self, client, name, pv, header, rows, schema=None, tx_rows=()):
        path = os.path.join(self.dir, name)
        make_txid_download(path, pv, header, rows, schema, tx_rows)
        return client.apply_package(path)

    def test_deltas_markers_and_baselines_of_versions_3_and_4(self):
        stamp = bytes(range(16))
        text = "7,000102030405060708090A0B0C0D0E0F,5,%d,3"
        # Version 4 names its baseline in row 0; version 3 lists the transactions.
        for pv, header, tx_rows, baseline in ((4, (text % 7, '{"101":"#abc"}'), (), text % 7),
                                              (3, (None, 0), [(6, None, 0), (7, stamp, 5)], text % 0)):
            with self.subTest(pv=pv):
                client = self.client(pv)
                self.assertEqual(self.download(client, "first%d" % pv, pv, header, {
                    "101": [(RID[0], 6, None, 6, (1, "Ada", None)), (RID[1], 7, None, 7, (2, "Grace", b"\x01"))],
                    "202": [(RID[2], 7, None, 7, ("WH01", "bolt", 120))]}, SCHEMA, tx_rows), 3)
                self.assertEqual(client.baseline, baseline)
                self.assertEqual(client.meta("filter_base"), '{"101":"#abc"}' if pv == 4 else None)
                # Ada updated, Grace deleted, stock discarded and sent again, a dump of the names.
                later = {"101": [(RID[0], 8, 6, 8, (1, "Ada L.", None)), (RID[1], None, 7, 8, None),
                                 ("column-dump: name", None, None, -1, None),
                                 (None, None, None, None, {"id": 1, "name": "Ada D."})],
                         "202": [(RID[3], 8, None, 8, ("WH02", "nut", 5)), ("filter-discard", None, None, -1, None)]}
                header = ("8,%s,9,8,3" % ("AB" * 16), 0) if pv == 4 else (None, 0)
                tx_rows = [(8, b"\xab" * 16, 9)] if pv == 3 else ()
                self.assertEqual(self.download(client, "later%d" % pv, pv, header, later, tx_rows=tx_rows), 4)
                self.assertEqual([(r["z_rid"], r["z_gen"], r["name"]) for r in client.rows("customers")],
                                 [(RID[0], 8, "Ada D.")])
                self.assertEqual([r["z_rid"] for r in client.rows("stock")], [RID[3]])
                self.assertEqual(client.baseline, "8,%s,9,%d,3" % ("AB" * 16, 8 if pv == 4 else 0))
                client.close()

    def test_push_package_of_a_version_3_client(self):
        client = self.client(3)
        self.download(client, "first", 3, (None, 0), {"101": [(RID[0], 6, None, 6, (1, "Ada", None))]}, SCHEMA,
                      [(6, bytes(range(16)), 5)])
        new = client.insert("customers", {"name": "Linus"})
        client.update("customers", RID[0], {"name": "Ada L."})
        path = os.path.join(self.dir, "push")
        stamp = b"\x77" * 16
        self.assertEqual(client.build_push_package(path, stamp), 2)
        self.assertEqual(pkg_inspect.inspect(path, version=3, schema=SCHEMA), [])
        db = sqlite3.connect(path)
        placeholder = 2 ** 63 - 16
        self.assertEqual(sorted(db.execute("SELECT txid, scheme, rstamp, rebaseid FROM p$tx").fetchall(), key=repr),
                         sorted([(0, "3", None, 0), (placeholder, None, stamp, 0),
                                 (6, "last_sync_txid", bytes(range(16)), 5)], key=repr))
        self.assertEqual(sorted(db.execute('SELECT * FROM "p$rd$101"').fetchall()),
                         sorted([(RID[0], placeholder, 6, placeholder), (new, placeholder, None, placeholder)]))
        self.assertEqual(db.execute("SELECT rid, ipk, tbl FROM p$ipk").fetchall(), [(new, 2, "101")])
        db.close()
        client.close()


class VcdiffTest(unittest.TestCase):
    def test_xdelta3_delta_decodes_to_its_target_and_a_broken_one_fails(self):
        source = os.urandom(5000) + b"shared tail " * 400
        target = source[:3000] + b"changed" + source[3000:] + os.urandom(100)
        with tempfile.TemporaryDirectory() as work:
            for name, data in (("s", source), ("t", target)):
                with open(os.path.join(work, name), "wb") as f:
                    f.write(data)
            subprocess.run(["xdelta3", "-e", "-S", "none", "-s", os.path.join(work, "s"), os.path.join(work, "t"),
                            os.path.join(work, "d")], check=True)
            with open(os.path.join(work, "d"), "rb") as f:
                delta = f.read()
        self.assertEqual(tavrin_client.vcdiff_decode(source, delta), target)
        with self.assertRaisesRegex(ClientError, "VCDIFF"):
            tavrin_client.vcdiff_decode(source, delta[:len(delta) // 2])


class ScriptedServer(http.server.BaseHTTPRequestHandler):
    """Answers each request with the next scripted (status, headers, body or callable)."""
    script, seen = [], []

    def handle_one(self):
        length = int(self.headers.get("Content-Length", 0))
        body = self.rfile.read(length)
        type(self).seen.append((self.command, self.path, dict(self.headers), body))
        status, headers, answer = type(self).script.pop(0)
        if callable(answer):
            answer = answer(body)
        self.send_response(status, "TODO")
        for k, v in headers.items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    do_GET = do_POST = handle_one

    def log_message(self, *args):
        pass


class HttpTest(ClientCase):
    def setUp(self):
        super().setUp()
        self.server = http.server.HTTPServer(("127.0.0.1", 0), ScriptedServer)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        ScriptedServer.script, ScriptedServer.seen = [], []
        self.client.close()
        self.client = Client(os.path.join(self.dir, "local.sqlite"), "http://127.0.0.1:%d/sync" %
                             self.server.server_address[1], "demo", fid=7, user="alice", password="pw",
                             scheme='{"scheme_type":"table2","table":"users"}')

    def tearDown(self):
        self.server.shutdown()
        self.server.server_close()
        super().tearDown()

    def compressed(self, name, header, generations, rows):
        with open(self.package(name, header, generations, rows), "rb") as f:
            return zlib.compress(f.read())

    def test_pull_then_push_with_a_delta_answer(self):
        def delta_answer(body):
            # The follow-up gives the pushed row its server identity value under its own row id.
            work = tempfile.mkdtemp(dir=self.dir)
            upload = os.path.join(work, "upload")
            with open(upload, "wb") as f:
                f.write(zlib.decompress(body))
            rid = sqlite3.connect(upload).execute('SELECT z_rid FROM "p$u$101"').fetchone()[0]
            followup = self.package("followup", {"pv": 6}, [(3, 13)], {"101": [(rid, None, 3, 5, "Linus", None)]})
            return zlib.compress(subprocess.run(["xdelta3", "-e", "-c", "-s", upload, followup],
                                                capture_output=True, check=True).stdout)

        ScriptedServer.script = [
            (200, {}, self.compressed("first", {"pv": 6, "schema": SCHEMA}, [(2, 12)],
                                      {"101": [(RID[0], None, 2, 1, "Ada", None)]})),
            (304, {}, b""),
            (200, {}, delta_answer),
        ]
        self.assertEqual(self.client.pull().status, 200)
        self.assertEqual(self.client.pull().status, 304)
        new = self.client.insert("customers", {"name": "Linus"})
        result = self.client.push()
        self.assertEqual((result.status, result.pushed, result.applied), (200, 1, 1))
        pull_query = urllib.parse.parse_qs(urllib.parse.urlsplit(ScriptedServer.seen[1][1]).query)
        self.assertEqual(pull_query, {"db": ["demo"], "fid": ["7"], "pv": ["6"], "from": ["2g12"],
                                      "s": ['{"scheme_type":"table2","table":"users"}'], "u": ["alice"]})
        method, target, headers, body = ScriptedServer.seen[2]
        self.assertEqual((method, urllib.parse.urlsplit(target).path), ("POST", "/sync/push"))
        push_query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
        self.assertEqual(push_query["h"], [hashlib.sha1(zlib.decompress(body)).hexdigest()])
        self.assertEqual(headers["x-tavrin-password"], "pw")
        self.assertEqual([(r["z_rid"], r["id"], r["z_state"]) for r in self.client.rows("customers")],
                         [(RID[0], 1, 0), (new, 5, 0)])
        self.assertEqual(self.client.baseline, "3g13")
        self.assertIsNone(self.client.meta("pending"))

    def test_refusals_keep_local_changes_and_report_status_code_and_text(self):
        ScriptedServer.script = [(200, {}, self.compressed("first", {"pv": 6, "schema": SCHEMA}, [(2, 12)], {}))]
        self.client.pull()
        self.client.insert("customers", {"name": "x"})
        cases = [(406, {"X-Tavrin-Error-Code": "3016"}, b"Violation of UNIQUE KEY\0", 406, "3016", "UNIQUE"),
                 (500, {"X-Tavrin-Error-Code": "4808"}, b"Server database busy. Please try again.\0", 500, "4808",
                  "busy"),
                 (403, {}, b"", 403, None, "")]
        for status, headers, body, want_status, want_code, text in cases:
            with self.subTest(status):
                ScriptedServer.script = [(status, headers, body)]
                with self.assertRaises(ProtocolError) as caught:
                    self.client.push()
                self.assertEqual((caught.exception.status, caught.exception.code), (want_status, want_code))
                self.assertIn(text, str(caught.exception))
                self.assertEqual(self.client.pending_changes(), 1)

    def test_a_push_without_answer_is_settled_by_the_next_pull(self):
        ScriptedServer.script = [(200, {}, self.compressed("first", {"pv": 6, "schema": SCHEMA}, [(2, 12)], {}))]
        self.client.pull()
        self.client.insert("customers", {"name": "x"})
        self.server.shutdown()
        self.server.server_close()
        with self.assertRaises(ClientError):
            self.client.push()
        stamp = self.client.meta("pending")
        self.assertEqual(len(stamp), 32)
        self.server = http.server.HTTPServer(("127.0.0.1", self.server.server_address[1]), ScriptedServer)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        for status, succeeded, left in ((244, False, 1), (244, True, 0)):
            with self.subTest(succeeded=succeeded):
                self.client.set_meta("pending", stamp)
                ScriptedServer.script = [(status, {}, self.compressed(
                    "status-%s" % succeeded, {"push-succeeded": succeeded, "pv": 6}, [], {}))]
                self.assertEqual(self.client.pull().status_doc["push-succeeded"], succeeded)
                self.assertIn("pending=" + stamp, ScriptedServer.seen[-1][1])
                self.assertIsNone(self.client.meta("pending"))
                self.assertEqual(self.client.pending_changes(), left)

    def test_status_answer_of_a_push_whose_baseline_the_server_lacks(self):
        ScriptedServer.script = [(200, {}, self.compressed("first", {"pv": 6, "schema": SCHEMA}, [(2, 12)], {}))]
        self.client.pull()
        self.client.insert("customers", {"name": "x"})
        status = {"first-rstamp": "ab" * 16, "push-succeeded": False, "pv": 6}
        ScriptedServer.script = [(244, {}, self.compressed("status", status, [(1, 11)], {}))]
        result = self.client.push()
        self.assertEqual((result.status, result.status_doc, result.pushed), (244, status, 0))
        self.assertEqual(self.client.pending_changes(), 1)


if __name__ == "__main__":
    unittest.main()
