"""Common ODBC tools against the SQL Server stand-in: a pyodbc session and an isql session.

The driver comes from STANDIN_ODBC (ctest sets it). Each test skips with "tool not installed"
only when pyodbc or isql is missing; CI installs both (python3-pyodbc, unixodbc).
"""
import datetime
import decimal
import os
import shutil
import subprocess
import tempfile
import unittest
import uuid

try:
    import pyodbc
except ImportError:
    pyodbc = None

SKIP_MESSAGE = "tool not installed: %s"


def driver_path():
    path = os.environ.get("STANDIN_ODBC")
    if not path:
        raise unittest.SkipTest("STANDIN_ODBC is not set (run the tests through ctest)")
    return path


class DataDirectory:
    """A fresh data directory and a private odbcinst.ini/odbc.ini naming it as DSN "standin"."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="standin-tools-")
        self.ini = os.path.join(self.path, "ini")
        os.mkdir(self.ini)
        with open(os.path.join(self.ini, "odbcinst.ini"), "w") as f:
            f.write("[ODBC]\nTrace=No\n")
        with open(os.path.join(self.ini, "odbc.ini"), "w") as f:
            f.write("[standin]\nDriver=%s\nServer=%s\nDatabase=app\n" % (driver_path(), self.path))
        self.environment = dict(os.environ, ODBCSYSINI=self.ini, ODBCINSTINI="odbcinst.ini")
        self.connection_string = "Driver=%s;Server=%s;Database=app" % (driver_path(), self.path)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


@unittest.skipIf(pyodbc is None, SKIP_MESSAGE % "python3-pyodbc")
class PyodbcSession(unittest.TestCase):
    def setUp(self):
        self.data = DataDirectory()
        os.environ["ODBCSYSINI"] = self.data.ini
        self.cnxn = pyodbc.connect(self.data.connection_string, autocommit=True)
        self.cur = self.cnxn.cursor()
        self.cur.execute(
            "CREATE TABLE dbo.items (id int PRIMARY KEY, name nvarchar(40), amount decimal(9,2), ratio float,"
            " stamp datetime2(7), day date, data varbinary(max), flag bit, ref uniqueidentifier, big bigint)")

    def tearDown(self):
        self.cnxn.close()
        self.data.remove()

    def test_parameters_round_trip_with_their_descriptions(self):
        row = (1, "Grüße 𝄞", decimal.Decimal("12.34"), 0.5, datetime.datetime(2024, 2, 29, 13, 14, 15, 123456),
               datetime.date(2024, 1, 2), b"\x00\xff", True, uuid.UUID("6f9619ff-8b86-d011-b42d-00c04fc964ff"), 2 ** 40)
        self.cur.execute("INSERT INTO dbo.items VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", *row)
        self.assertEqual(self.cur.rowcount, 1)
        self.cur.execute("INSERT INTO dbo.items (id, name) VALUES (?, ?)", 2, None)
        self.cur.execute("SELECT * FROM dbo.items WHERE id = ? OR name = ? ORDER BY id", 1, "nobody")
        described = [(d[0], d[1], d[4], d[5]) for d in self.cur.description]
        self.assertEqual(described, [
            ("id", int, 10, 0), ("name", str, 40, 0), ("amount", decimal.Decimal, 9, 2), ("ratio", float, 53, 0),
            ("stamp", datetime.datetime, 27, 7), ("day", datetime.date, 10, 0), ("data", bytearray, 2147483647, 0),
            ("flag", bool, 1, 0), ("ref", str, 36, 0), ("big", int, 19, 0)])
        got = self.cur.fetchall()
        self.assertEqual(len(got), 1)
        self.assertEqual(tuple(got[0])[:8], row[:8])
        self.assertEqual(got[0].ref, str(row[8]).upper())
        self.assertEqual(got[0].big, row[9])
        self.assertEqual(tuple(self.cur.execute("SELECT * FROM dbo.items WHERE id = ?", 2).fetchone()),
                         (2,) + (None,) * 9)
        self.cur.execute("UPDATE dbo.items SET amount = ? WHERE id IN (?, ?)", decimal.Decimal("1.5"), 1, 2)
        self.assertEqual(self.cur.rowcount, 2)

    def test_many_rows_results_and_errors(self):
        self.cur.executemany("INSERT INTO dbo.items (id, name, amount) VALUES (?, ?, ?)",
                             [(i, "n%d" % i, decimal.Decimal(i) / 4) for i in range(1, 201)])
        # Parameter arrays: one execution of the statement per row.
        self.cur.fast_executemany = True
        self.cur.executemany("INSERT INTO dbo.items (id, name, big) VALUES (?, ?, ?)",
                             [(i, "f%d" % i, i * 1000) for i in range(1000, 1100)])
        self.assertEqual(tuple(self.cur.execute("SELECT COUNT(*), SUM(amount), SUM(big) FROM dbo.items").fetchone()),
                         (300, decimal.Decimal("5025.00"), 104950000))
        with self.assertRaises(pyodbc.IntegrityError) as caught:
            self.cur.executemany("INSERT INTO dbo.items (id) VALUES (?)", [(5000,), (7,), (5001,)])
        self.assertIn("Violation of PRIMARY KEY constraint", str(caught.exception))
        self.assertEqual(self.cur.execute("SELECT COUNT(*) FROM dbo.items WHERE id >= 5000").fetchval(), 2)

        names = [r.name for r in self.cur.execute("SELECT name FROM dbo.items WHERE id <= ? ORDER BY id", 150)]
        self.assertEqual(names[:3], ["n1", "n2", "n3"])
        self.assertEqual(len(names), 150)
        self.cur.execute("SELECT 1 AS a; SELECT N'two' AS b, 3 AS c")
        self.assertEqual(self.cur.fetchall()[0].a, 1)
        self.assertTrue(self.cur.nextset())
        self.assertEqual([d[0] for d in self.cur.description], ["b", "c"])
        self.assertEqual(tuple(self.cur.fetchone()), ("two", 3))
        self.assertFalse(self.cur.nextset())
        with self.assertRaises(pyodbc.ProgrammingError) as caught:
            self.cur.execute("SELEC 1")
        self.assertIn("Incorrect syntax near 'SELEC'", str(caught.exception))

    def test_a_second_cursor_runs_once_the_first_one_has_read_its_rows(self):
        self.cur.executemany("INSERT INTO dbo.items (id) VALUES (?)", [(i,) for i in range(1, 4)])
        other = self.cnxn.cursor()
        self.assertEqual(self.cur.execute("SELECT id FROM dbo.items ORDER BY id").fetchone().id, 1)
        with self.assertRaises(pyodbc.Error) as caught:
            other.execute("SELECT COUNT(*) FROM dbo.items")
        self.assertEqual(caught.exception.args[0], "HY000")
        self.assertIn("Connection is busy with results for another hstmt", str(caught.exception))
        self.assertEqual([r.id for r in self.cur.fetchall()], [2, 3])
        self.assertEqual(other.execute("SELECT COUNT(*) FROM dbo.items").fetchval(), 3)

    def test_catalog_functions(self):
        self.cur.execute("CREATE TABLE dbo.item_tags (tag nvarchar(10) NOT NULL, item_id int NOT NULL,"
                         " CONSTRAINT pk_item_tags PRIMARY KEY (item_id, tag))")
        self.assertEqual([tuple(t) for t in self.cur.tables(schema="dbo")],
                         [("app", "dbo", "item_tags", "TABLE", None), ("app", "dbo", "items", "TABLE", None)])
        self.assertEqual([(t.table_schem, t.table_name) for t in self.cur.tables(table="t%", tableType="VIEW")],
                         [("sys", "tables"), ("sys", "types")])
        self.assertEqual([t.table_type for t in self.cur.tables(tableType="%", catalog="", schema="", table="")],
                         ["SYSTEM TABLE", "TABLE", "VIEW"])
        columns = [(c.column_name, c.data_type, c.type_name, c.column_size, c.decimal_digits, c.nullable,
                    c.is_nullable, c.ordinal_position) for c in self.cur.columns(table="items", schema="dbo")]
        self.assertEqual(columns[:3], [("id", pyodbc.SQL_INTEGER, "int", 10, 0, 0, "NO", 1),
                                       ("name", pyodbc.SQL_WVARCHAR, "nvarchar", 40, None, 1, "YES", 2),
                                       ("amount", pyodbc.SQL_DECIMAL, "decimal", 9, 2, 1, "YES", 3)])
        # The sizes a query's description gives for the same columns.
        self.cur.execute("SELECT * FROM dbo.items")
        self.assertEqual([(d[0], d[4]) for d in self.cur.description],
                         [(c.column_name, c.column_size) for c in self.cur.columns(table="items")])
        self.assertEqual([(k.table_name, k.column_name, k.key_seq, k.pk_name) for k in self.cur.primaryKeys("item_tags")],
                         [("item_tags", "item_id", 1, "pk_item_tags"), ("item_tags", "tag", 2, "pk_item_tags")])

    def test_fast_executemany_sizes_parameters_by_their_columns(self):
        rows = [(1, "Grüße 𝄞", decimal.Decimal("1234567.89")), (2, "x" * 40, decimal.Decimal("-0.01")),
                (3, "", decimal.Decimal("0.00")), (4, None, None), (5, "ä", decimal.Decimal("-9999999.99"))]
        self.cur.fast_executemany = True
        self.cur.executemany("INSERT INTO dbo.items (id, name, amount) VALUES (?, ?, ?)", rows)
        got = [tuple(r) for r in self.cur.execute("SELECT id, name, amount FROM dbo.items ORDER BY id")]
        self.assertEqual([(i, n, str(a)) for i, n, a in got], [(i, n, str(a)) for i, n, a in rows])
        self.cur.executemany("UPDATE dbo.items SET amount = ?, name = ? WHERE id = ?",
                             [(decimal.Decimal("12.50"), "neu", 1), (decimal.Decimal("-3.07"), None, 4)])
        self.assertEqual([tuple(r) for r in self.cur.execute("SELECT name, amount FROM dbo.items WHERE id IN (1, 4) ORDER BY id")],
                         [("neu", decimal.Decimal("12.50")), (None, decimal.Decimal("-3.07"))])

    def test_transactions_and_driver_information(self):
        self.assertEqual(self.cnxn.getinfo(pyodbc.SQL_DATABASE_NAME), "app")
        self.assertEqual(self.cnxn.getinfo(pyodbc.SQL_MAX_CONCURRENT_ACTIVITIES), 1)
        self.cnxn.autocommit = False
        self.cur.execute("INSERT INTO dbo.items (id) VALUES (?)", 1)
        self.cnxn.rollback()
        self.cur.execute("INSERT INTO dbo.items (id) VALUES (?)", 2)
        self.cnxn.commit()
        self.assertEqual([r.id for r in self.cur.execute("SELECT id FROM dbo.items")], [2])


@unittest.skipIf(shutil.which("isql") is None, SKIP_MESSAGE % "isql (unixodbc)")
class IsqlSession(unittest.TestCase):
    def setUp(self):
        self.data = DataDirectory()

    def tearDown(self):
        self.data.remove()

    def isql(self, script, *arguments):
        done = subprocess.run(["isql", *arguments, "-b"], input=script, capture_output=True, text=True,
                              env=self.data.environment, timeout=60)
        return done.stdout + done.stderr

    def test_statements_through_a_data_source_name(self):
        out = self.isql(
            "CREATE TABLE dbo.items (id int PRIMARY KEY, name nvarchar(20), amount decimal(9,2))\n"
            "INSERT INTO dbo.items VALUES (1, N'Grüße', 1.50), (2, NULL, 2.25)\n"
            "SELECT id, name, amount FROM dbo.items ORDER BY id\n"
            "SELEC 1\n"
            "SELECT COUNT(*) AS n FROM dbo.items\n",
            "standin", "-v", "-3", "-d|", "-c")
        self.assertEqual(out.splitlines()[:6], [
            "id|name|amount", "1|Grüße|1.50", "2||2.25",
            "[42000]Incorrect syntax near 'SELEC'.", "n", "2"])

    def test_help_lists_tables_and_their_columns(self):
        out = self.isql(
            "CREATE TABLE dbo.items (id int PRIMARY KEY, name nvarchar(40) NOT NULL DEFAULT N'none', amount decimal(9,2))\n"
            "CREATE TABLE dbo.item_tags (item_id int NOT NULL, tag varchar(10) NOT NULL)\n"
            "help\n"
            "help dbo.items\n",
            "standin", "-v", "-d|", "-c")
        lines = out.splitlines()
        self.assertEqual(lines[:3], ["TABLE_CAT|TABLE_SCHEM|TABLE_NAME|TABLE_TYPE|REMARKS",
                                     "app|dbo|item_tags|TABLE|", "app|dbo|items|TABLE|"])
        self.assertIn("app|sys|tables|VIEW|", lines)
        header = lines.index("TABLE_CAT|TABLE_SCHEM|TABLE_NAME|COLUMN_NAME|DATA_TYPE|TYPE_NAME|COLUMN_SIZE|BUFFER_LENGTH|"
                             "DECIMAL_DIGITS|NUM_PREC_RADIX|NULLABLE|REMARKS|COLUMN_DEF|SQL_DATA_TYPE|SQL_DATETIME_SUB|"
                             "CHAR_OCTET_LENGTH|ORDINAL_POSITION|IS_NULLABLE")
        self.assertEqual(lines[header + 1:header + 4], [
            "app|dbo|items|id|4|int|10|4|0|10|0|||4|||1|NO",
            "app|dbo|items|name|-9|nvarchar|40|80|||0||(N'none')|-9||80|2|NO",
            "app|dbo|items|amount|3|decimal|9|11|2|10|1|||3|||3|YES"])

    def test_tables_and_row_counts_through_a_connection_string(self):
        out = self.isql(
            "CREATE TABLE t (a int, b varchar(10))\n"
            "INSERT INTO t VALUES (1, 'x'), (2, 'yy')\n"
            "UPDATE t SET b = 'z' WHERE a = 2\n"
            "SELECT a, b FROM t ORDER BY a\n",
            "-k", self.data.connection_string, "-v")
        self.assertIn("SQLRowCount returns 2", out)
        self.assertIn("SQLRowCount returns 1", out)
        self.assertIn("| a          | b         |", out)
        self.assertIn("| 2          | z         |", out)
        self.assertIn("2 rows fetched", out)


if __name__ == "__main__":
    unittest.main()
