#!/usr/bin/python3
"""Checks a package file against the package layout of its format version (2 to 6).

Written against the layout alone, with python's sqlite3 module, so that tests of the server
and of test clients can judge a package without trusting the C++ code that wrote it.

Usage: pkg_inspect.py PACKAGE [--version N] [--schema SCHEMA.json] [--work]
  --version N   the package must be of version N
  --schema F    the schema JSON the package was built for: the user columns of every row
                table must be that table's columns, by name, in the schema's order
  --work        also accept the columns and tables the server adds to a pushed package
                while it works on it (z_txid in generation rows, txid_rec_undel and
                purged_flag in delta tables, delta tables beside generation rows)
Prints "ok" and exits 0, or prints one problem per line and exits 1.
"""
import argparse
import json
import re
import sqlite3
import sys

PAGE_SIZE = 4096
TABLE_ID = r"([0-9]+)"

# Columns as PRAGMA table_info gives them: (name, declared type, notnull, pk).
TX_COLUMNS = [("txid", "INTEGER", 1, 0), ("scheme", "VARCHAR", 0, 0), ("rstamp", "BLOB", 0, 0),
              ("rebaseid", "INTEGER", 0, 0)]
TX_UPGRADE_COLUMN = ("generation", "INTEGER", 0, 0)
GEN_COLUMNS = [("generation", "INTEGER", 0, 1), ("id", "INTEGER", 0, 0)]
SCHEMA_COLUMNS = [("txid", "INTEGER", 1, 0), ("json", "TEXT", 1, 0)]
ROWS_TX_INTERNAL = [("z_rid", "BLOB", 0, 0), ("z_txid", "INTEGER", 0, 0)]
ROWS_GEN_INTERNAL = [("z_rid", "BLOB", 0, 0), ("z_gen_del", "INT", 0, 0), ("z_gen_add", "INT", 0, 0)]
ROWS_GEN_WORK_COLUMN = ("z_txid", "INT", 0, 0)
DELTA_COLUMNS = [("rid", "BLOB", 1, 0), ("txid_rec_add", "INTEGER", 0, 0), ("txid_rec_del", "INTEGER", 0, 0),
                 ("txid", "INTEGER", 1, 0)]
DELTA_WORK_COLUMNS = {"txid_rec_undel", "purged_flag"}
VERSION_COLUMNS = [("rid", "BLOB", 1, 0), ("txid", "INTEGER", 1, 0)]
IDENTITY_MAP_COLUMNS = [("z$$naked", "INTEGER", 0, 1), ("z$$decorated", "TEXT", 0, 0)]
AUDIT_COLUMNS = [("rid", "BLOB", 1, 0), ("txid", "INTEGER", 1, 0), ("tbl", "TEXT", 0, 0),
                 ("ancestor", "TEXT", 0, 0), ("already", "TEXT", 0, 0), ("incoming", "TEXT", 0, 0),
                 ("result", "TEXT", 0, 0)]
CLIENT_IDENTITY_NAMES = ["rid", "ipk", "tbl"]
INTERNAL_NAMES = {"z_rid", "z_txid", "z_rv", "z_gen_del", "z_gen_add"}


class Inspection:
    def __init__(self, db, version, schema, work):
        self.db = db
        self.expected_version = version
        self.schema = schema
        self.work = work
        self.problems = []
        self.version = None
        self.upgrade = False

    def fail(self, text):
        self.problems.append(text)

    def columns(self, table):
        return [(r[1], r[2].upper(), r[3], r[5]) for r in self.db.execute('PRAGMA table_info("%s")' % table)]

    def expect_columns(self, table, expected):
        found = self.columns(table)
        if found != expected:
            self.fail("%s: columns %s, expected %s" % (table, found, expected))
        return found == expected

    # ---- file and header ----

    def check_file(self):
        page_size = self.db.execute("PRAGMA page_size").fetchone()[0]
        if page_size != PAGE_SIZE:
            self.fail("page size %d, expected %d" % (page_size, PAGE_SIZE))
        encoding = self.db.execute("PRAGMA encoding").fetchone()[0]
        if encoding != "UTF-8":
            self.fail("text encoding %s, expected UTF-8" % encoding)
        check = self.db.execute("PRAGMA integrity_check").fetchone()[0]
        if check != "ok":
            self.fail("integrity check: %s" % check)
        for kind, name in self.db.execute("SELECT type, name FROM sqlite_master"):
            if kind not in ("table", "index"):
                self.fail("%s %s: a package holds only tables and indexes" % (kind, name))

    def tables(self):
        return [r[0] for r in self.db.execute(
            "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
            "ORDER BY name")]

    def header_version(self, tables):
        has_tx, has_gen = "p$tx" in tables, "p$gen" in tables
        if not has_tx and not has_gen:
            self.fail("no header table (p$tx or p$gen)")
            return None
        if has_tx:
            tx_columns = self.columns("p$tx")
            self.upgrade = has_gen and tx_columns == TX_COLUMNS + [TX_UPGRADE_COLUMN]
            if not self.expect_columns("p$tx", TX_COLUMNS + [TX_UPGRADE_COLUMN] if self.upgrade else TX_COLUMNS):
                return None
            rows = self.db.execute("SELECT scheme, rstamp, rebaseid FROM p$tx WHERE txid = 0").fetchall()
            if len(rows) != 1:
                self.fail("p$tx: %d header rows (txid 0), expected 1" % len(rows))
                return None
            scheme, rstamp, _ = rows[0]
            try:
                version = int(scheme)
            except (TypeError, ValueError):
                self.fail("p$tx: header scheme %r is not a version" % (scheme,))
                return None
            if has_gen and not self.upgrade:
                self.fail("p$tx and p$gen together, but p$tx lacks the upgrade column generation")
            if self.upgrade:
                if not self.expect_columns("p$gen", GEN_COLUMNS):
                    return None
                if version != 5 or rstamp != "*UPGRADING*":
                    self.fail("upgrade package: header (%r, %r), expected (5, '*UPGRADING*')" % (scheme, rstamp))
                # The upgrade's header is the p$tx row; its p$gen lists the server's generations and
                # holds a header row only when a status document was written into it.
                if self.db.execute("SELECT count(*) FROM p$gen WHERE generation = 0").fetchone()[0]:
                    self.check_gen_header()
            return version
        if not self.expect_columns("p$gen", GEN_COLUMNS):
            return None
        return self.check_gen_header()

    def check_gen_header(self):
        rows = self.db.execute("SELECT id FROM p$gen WHERE generation = 0").fetchall()
        if len(rows) != 1:
            self.fail("p$gen: %d header rows (generation 0), expected 1" % len(rows))
            return None
        try:
            header = json.loads(rows[0][0])
        except (TypeError, ValueError):
            self.fail("p$gen: header id %r is not JSON" % (rows[0][0],))
            return None
        if not isinstance(header, dict) or not isinstance(header.get("pv"), int):
            self.fail("p$gen: header %r has no version \"pv\"" % (rows[0][0],))
            return None
        if not self.upgrade and header["pv"] != 6:
            self.fail("p$gen: header version %r, expected 6" % header["pv"])
        return header["pv"]

    # ---- rows of the header tables ----

    def check_tx_rows(self):
        for txid, scheme, rstamp in self.db.execute("SELECT txid, scheme, rstamp FROM p$tx"):
            if scheme == "HTTP 244":
                try:
                    json.loads(txid)
                except (TypeError, ValueError):
                    self.fail("p$tx: status row without status JSON: %r" % (txid,))
            elif txid == "first":
                if self.version not in (4, 5):
                    self.fail("p$tx: a 'first' row in version %d" % self.version)
                if not (isinstance(rstamp, bytes) and len(rstamp) == 16):
                    self.fail("p$tx: 'first' row rstamp %r is not 16 bytes" % (rstamp,))
            elif not isinstance(txid, int):
                self.fail("p$tx: txid %r is neither a number, 'first' nor a status" % (txid,))
            elif txid == -1:
                if self.version not in (4, 5):
                    self.fail("p$tx: a schema row (-1) in version %d" % self.version)
                try:
                    json.loads(scheme)
                except (TypeError, ValueError):
                    self.fail("p$tx: schema row holds no JSON")
            elif txid > 0 and isinstance(rstamp, bytes) and len(rstamp) != 16:
                self.fail("p$tx: txid %d rstamp of %d bytes" % (txid, len(rstamp)))

    def check_gen_rows(self):
        for generation, ident in self.db.execute("SELECT generation, id FROM p$gen WHERE generation <> 0"):
            if generation <= -2 and ident is not None and not (isinstance(ident, bytes) and len(ident) == 16):
                self.fail("p$gen: generation %d id %r is not a 16-byte rstamp" % (generation, ident))

    # ---- per-table tables ----

    def schema_columns(self, tbl_id):
        tbl = self.schema.get("tbls", {}).get(tbl_id.lower())
        if tbl is None:
            self.fail("p$u$%s: table id not in the schema" % tbl_id)
            return None
        return [col["name"] for col in tbl.get("cols", {}).values()]

    def check_rows_table(self, table, tbl_id):
        found = self.columns(table)
        generation_form = self.version == 6 and not self.upgrade
        internal = ROWS_GEN_INTERNAL if generation_form else ROWS_TX_INTERNAL
        if found[:len(internal)] != internal:
            self.fail("%s: leading columns %s, expected %s" % (table, found[:len(internal)], internal))
            return
        user = found[len(internal):]
        if generation_form and self.work and user and user[-1] == ROWS_GEN_WORK_COLUMN:
            user = user[:-1]
        for name, decl, notnull, pk in user:
            if name in INTERNAL_NAMES:
                self.fail("%s: internal column %s among the user columns" % (table, name))
            elif (decl, notnull, pk) != ("", 0, 0):
                self.fail("%s: user column %s declared %r%s" % (table, name, decl, " NOT NULL" if notnull else ""))
        if self.schema is not None:
            expected = self.schema_columns(tbl_id)
            if expected is not None and [c[0] for c in user] != expected:
                self.fail("%s: user columns %s, expected %s" % (table, [c[0] for c in user], expected))
        if generation_form:
            self.check_generation_rows(table)

    def check_generation_rows(self, table):
        query = 'SELECT z_rid, z_gen_del, z_gen_add FROM "%s"' % table
        for rid, gen_del, gen_add in self.db.execute(query):
            if isinstance(rid, str):
                if not (rid == "filter-discard" or rid.startswith("column-dump: ")):
                    self.fail("%s: unknown marker row %r" % (table, rid))
                elif gen_del != -1 or gen_add != -1:
                    self.fail("%s: marker %r at generations (%r, %r), expected (-1, -1)" % (table, rid, gen_del, gen_add))
            elif rid is not None and not (isinstance(rid, bytes) and len(rid) == 16):
                self.fail("%s: row id %r is not 16 bytes" % (table, rid))
            elif rid is not None and not isinstance(gen_add, int):
                self.fail("%s: row change without generation: %r" % (table, gen_add))

    def check_delta_table(self, table):
        found = self.columns(table)
        if found[:len(DELTA_COLUMNS)] != DELTA_COLUMNS or (
                found[len(DELTA_COLUMNS):] and not (self.work and {c[0] for c in found[4:]} <= DELTA_WORK_COLUMNS)):
            self.fail("%s: columns %s, expected %s" % (table, found, DELTA_COLUMNS))
            return
        query = 'SELECT rid, txid_rec_add, txid_rec_del, txid FROM "%s"' % table
        for rid, add, dele, txid in self.db.execute(query):
            if isinstance(rid, str):
                if self.version == 2:
                    self.fail("%s: marker row %r in version 2" % (table, rid))
                elif not (rid == "filter-discard" or rid.startswith("column-dump: ")):
                    self.fail("%s: unknown marker row %r" % (table, rid))
                elif (add, dele, txid) != (None, None, -1):
                    self.fail("%s: marker %r as (%r, %r, %r), expected (NULL, NULL, -1)" % (table, rid, add, dele, txid))
            elif not (isinstance(rid, bytes) and len(rid) == 16):
                self.fail("%s: row id %r is not 16 bytes" % (table, rid))
            elif add is None and dele is None:
                self.fail("%s: a change that neither adds nor deletes a version" % table)

    def check_tables(self, tables):
        transaction_versions = self.version in (2, 3, 4, 5) or self.upgrade
        for table in tables:
            if table in ("p$tx", "p$gen"):
                continue
            if not table.startswith("p$"):
                self.fail("%s: table name does not start with p$" % table)
            elif table == "p$s":
                if self.version not in (2, 3):
                    self.fail("p$s in version %d" % self.version)
                self.expect_columns(table, SCHEMA_COLUMNS)
            elif table == "p$audit":
                self.expect_columns(table, AUDIT_COLUMNS)
            elif table == "p$ipk":
                if not transaction_versions:
                    self.fail("p$ipk in version %d" % self.version)
                names = [c[0] for c in self.columns(table)]
                if names != CLIENT_IDENTITY_NAMES:
                    self.fail("p$ipk: columns %s, expected %s" % (names, CLIENT_IDENTITY_NAMES))
            elif re.fullmatch(r"p\$u\$" + TABLE_ID, table):
                self.check_rows_table(table, table[4:])
            elif re.fullmatch(r"p\$rd\$" + TABLE_ID, table):
                if not transaction_versions and not self.work:
                    self.fail("%s in version %d" % (table, self.version))
                self.check_delta_table(table)
            elif re.fullmatch(r"p\$rv\$" + TABLE_ID, table):
                if not transaction_versions:
                    self.fail("%s in version %d" % (table, self.version))
                self.expect_columns(table, VERSION_COLUMNS)
            elif re.fullmatch(r"p\$ipk\$" + TABLE_ID, table):
                self.expect_columns(table, IDENTITY_MAP_COLUMNS)
            else:
                self.fail("%s: not a package table" % table)

    def run(self):
        self.check_file()
        tables = self.tables()
        self.version = self.header_version(tables)
        if self.version is None:
            return self.problems
        if self.version not in (2, 3, 4, 5, 6):
            self.fail("version %d is not a package version (2 to 6)" % self.version)
            return self.problems
        if self.expected_version is not None and self.version != self.expected_version:
            self.fail("version %d, expected %d" % (self.version, self.expected_version))
        if self.version == 6 and "p$tx" in tables:
            self.fail("p$tx in version 6")
        if "p$tx" in tables:
            self.check_tx_rows()
        if "p$gen" in tables:
            self.check_gen_rows()
        self.check_tables(tables)
        return self.problems


def inspect(path, version=None, schema=None, work=False):
    """The list of problems of the package at path (empty when it is sound)."""
    try:
        db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    except sqlite3.Error as error:
        return ["cannot open %s: %s" % (path, error)]
    try:
        return Inspection(db, version, schema, work).run()
    except sqlite3.DatabaseError as error:
        return ["not a readable SQLite database: %s" % error]
    finally:
        db.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("package")
    parser.add_argument("--version", type=int)
    parser.add_argument("--schema")
    parser.add_argument("--work", action="store_true")
    args = parser.parse_args()
    schema = None
    if args.schema:
        with open(args.schema, encoding="utf-8") as f:
            schema = json.load(f)
    problems = inspect(args.package, args.version, schema, args.work)
    for problem in problems:
        print(problem)
    if not problems:
        print("ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
