#!/usr/bin/python3
"""Values on the whole sync road: texts with NUL characters reach clients of every version
whole and come back whole, and the date, time and floating-point forms a client may write
are taken or refused as SQL Server takes or refuses them. The server's texts are written as
CAST(0x... AS varchar(max)), which holds NULs in SQL Server as in the stand-in, and read back
through the stand-in's management tool, which prints them byte for byte."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo  # noqa: E402
import harness  # noqa: E402
from tavrin_client import ProtocolError  # noqa: E402

TEXT_COLUMNS = ["c", "v", "nc", "nv", "vm", "nvm", "tx", "ntx"]
TEXTS_TABLE = """\
CREATE TABLE dbo.texts (id int NOT NULL PRIMARY KEY, c char(6) NULL, v varchar(10) NULL, nc nchar(6) NULL,
  nv nvarchar(10) NULL, vm varchar(max) NULL, nvm nvarchar(max) NULL, tx text NULL, ntx ntext NULL, other int NULL)
"""
TIMES_TABLE = """\
CREATE TABLE dbo.times (id int NOT NULL PRIMARY KEY, dt datetime NULL, sdt smalldatetime NULL, dt2 datetime2(7) NULL,
  d date NULL, t time(7) NULL, f float NULL)
"""
# Embedded and trailing NULs, a value of NULs alone, and a long one read in pieces.
SERVER_TEXTS = {1: "a\0b\0", 2: "\0\0", 3: ("\0xyz" * 700) + "\0"}


def padded(column, value):
    """A value as SQL Server hands it out: char(6) and nchar(6) pad with blanks."""
    return value.ljust(6) if column in ("c", "nc") else value


def fits(column, value):
    """The value in a column of 6 or 10 characters: the long one is kept for the large types."""
    return value if len(value) <= 6 or column in ("vm", "nvm", "tx", "ntx") else value[:6]


class ValuesCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.demo = harness.RunningDemo()
        facts = cls.demo.facts
        cls.demo.sql(TEXTS_TABLE + TIMES_TABLE)
        for table in ("dbo.texts", "dbo.times"):
            demo.cli(cls.demo.standin, "add-table", facts["data_dir"], facts["dbfile_db"], facts["dbfile"], table)

    @classmethod
    def tearDownClass(cls):
        cls.demo.stop()
        cls.demo.remove()


def literal(text):
    """A T-SQL expression of the text (ASCII and NULs)."""
    return "CAST(0x%s AS varchar(max))" % text.encode("ascii").hex() if text else "''"


class NulTextTest(ValuesCase):
    def set_server_texts(self):
        self.demo.sql("DELETE FROM dbo.texts\n" + "".join(
            "INSERT INTO dbo.texts (id, %s) VALUES (%d, %s)\n" % (
                ", ".join(TEXT_COLUMNS), key, ", ".join(literal(fits(c, value)) for c in TEXT_COLUMNS))
            for key, value in SERVER_TEXTS.items()))

    def server_texts(self):
        rows = self.demo.sql("SELECT id, %s FROM dbo.texts ORDER BY id" % ", ".join(TEXT_COLUMNS))
        return {int(r[0]): dict(zip(TEXT_COLUMNS, r[1:])) for r in rows}

    def expected(self, key, value):
        return {c: padded(c, fits(c, value)) for c in TEXT_COLUMNS}

    def assert_client_texts(self, client, expected):
        held = {r["id"]: {c: r[c] for c in TEXT_COLUMNS} for r in client.rows("texts")}
        self.assertEqual(held, expected)

    def test_pulls_and_pushes_keep_every_character(self):
        self.demo.require("pull")
        self.demo.require("push")
        for version in (3, 5, 6):
            with self.subTest(version=version):
                self.set_server_texts()
                self.assertEqual(self.demo.sql("SELECT LEN(nv), DATALENGTH(nv), DATALENGTH(v) FROM dbo.texts"
                                               " WHERE id = 1"), [["4", "8", "4"]])
                expected = {k: self.expected(k, v) for k, v in SERVER_TEXTS.items()}
                client = self.demo.client("nul-v%d" % version, fid=100 + version, version=version)
                self.assertEqual(client.pull().status, 200)
                self.assert_client_texts(client, expected)

                # A change of another column of the row leaves its texts as they are.
                client.update("texts", client.find("texts", id=1), {"other": version})
                self.assertEqual(client.push().status, 200)
                self.assertEqual(self.server_texts(), expected)
                self.assertEqual(self.demo.sql("SELECT other FROM dbo.texts WHERE id = 1"), [[str(version)]])

                # Texts the client writes are stored as they were sent.
                written = {c: fits(c, "\0%d\0z\0" % version) for c in TEXT_COLUMNS}
                client.update("texts", client.find("texts", id=2), written)
                self.assertEqual(client.push().status, 200)
                expected[2] = {c: padded(c, v) for c, v in written.items()}
                self.assertEqual(self.server_texts(), expected)
                self.assert_client_texts(client, expected)
                self.assertIn(client.pull().status, (200, 304))
                self.assert_client_texts(client, expected)

    def test_a_conflict_settles_rows_with_their_nul_characters(self):
        """The row documents of a conflict carry the texts whole: the server's change of a text
        and the client's change of another column of the row merge without cutting either."""
        self.demo.require("pull")
        self.demo.require("push")
        self.set_server_texts()
        client = self.demo.client("nul-conflict", fid=200)
        client.pull()
        self.demo.sql("UPDATE dbo.texts SET nv = %s, ntx = %s WHERE id = 1" % (literal("s\0e\0"), literal("s\0e\0rv\0")))
        client.update("texts", client.find("texts", id=1), {"other": 7, "vm": "c\0l\0"})
        self.assertEqual(client.push().status, 200)
        row = self.server_texts()[1]
        self.assertEqual((row["nv"], row["ntx"], row["vm"], row["tx"]), ("s\0e\0", "s\0e\0rv\0", "c\0l\0", "a\0b\0"))
        self.assertEqual(self.demo.sql("SELECT other FROM dbo.texts WHERE id = 1"), [["7"]])
        held = [r for r in client.rows("texts") if r["id"] == 1][0]
        self.assertEqual((held["nv"], held["ntx"], held["vm"]), ("s\0e\0", "s\0e\0rv\0", "c\0l\0"))


class TimeFormsTest(ValuesCase):
    def test_utc_forms_are_taken_and_a_subnormal_float_is_refused(self):
        self.demo.require("pull")
        self.demo.require("push")
        for version in (3, 6):
            with self.subTest(version=version):
                key = 10 * version
                client = self.demo.client("times-v%d" % version, fid=300 + version, version=version)
                client.pull()
                # What JavaScript's toISOString() writes, and a time of day in UTC.
                client.insert("times", {"id": key, "dt": "2024-01-02T03:04:05.000Z", "sdt": "2024-01-02T03:04:05Z",
                                        "dt2": "2024-01-02T03:04:05.1234567+01:00", "d": "2024-01-02T03:04:05Z",
                                        "t": "12:34:56.123Z"})
                self.assertEqual(client.push().status, 200)
                self.assertEqual(self.demo.sql("SELECT dt, sdt, dt2, d, t FROM dbo.times WHERE id = %d" % key),
                                 [["2024-01-02 03:04:05.000", "2024-01-02 03:04:00", "2024-01-02 03:04:05.1234567",
                                   "2024-01-02", "12:34:56.1230000"]])

                # A subnormal number is the client's fault: refused, nothing of the push applied,
                # and the client pushes again once it has changed it.
                client.insert("times", {"id": key + 1, "f": 1.5})
                client.update("times", client.find("times", id=key), {"f": 5e-324})
                with self.assertRaises(ProtocolError) as refused:
                    client.push()
                self.assertEqual(refused.exception.status, 400)
                self.assertIn(b"subnormal", refused.exception.body)
                self.assertEqual(self.demo.sql("SELECT COUNT(*) FROM dbo.times WHERE id = %d OR (id = %d AND f IS NOT NULL)"
                                               % (key + 1, key)), [["0"]])
                client.update("times", client.find("times", id=key), {"f": 2.5})
                self.assertEqual(client.push().status, 200)
                self.assertEqual(self.demo.sql("SELECT id, f FROM dbo.times WHERE id >= %d AND id <= %d ORDER BY id"
                                               % (key, key + 1)), [[str(key), "2.5"], [str(key + 1), "1.5"]])


if __name__ == "__main__":
    unittest.main()
