#!/usr/bin/python3
"""A sync client of our own for end-to-end tests of the sync server.

It keeps the synchronised tables in a local SQLite file, pulls the server's changes and
pushes its own changes back, as a client of one package version: 6 (generations, the default)
or 3 to 5 (transaction ids). It is written from the wire protocol and the package layout
alone, with the standard library of Debian's /usr/bin/python3 and the xdelta3 program for the
VCDIFF answers of a push, so that the end-to-end tests judge the server without trusting any
of its code.

Local database:
  c$meta(key, value)        baseline, pending push stamp, filter base, schema; the baseline is
                            "<gen>g<id>" (version 6) or the text "txid,RSTAMP,rebaseid,count,
                            schema txid" (versions 3 to 5)
  c$tables(tbl_id, ...)     one row per synchronised table: local name, columns, key columns
  <table name>              the table's rows: z_rid (16-byte row id), z_gen (generation, or for
                            versions 3 to 5 the txid, of the server version the row holds, NULL
                            for a row the server never had), z_state (0 clean, 1 inserted,
                            2 updated, 3 deleted), then the columns

Command line (for a quick look by hand):
  tavrin_client.py LOCAL_DB URL DBFILE pull|push|show [--fid N] [--pv N]
                   [--user U --password P --scheme JSON] [--cafile PEM]   (URL http://... or https://...)
  tavrin_client.py LOCAL_DB URL DBFILE show [TABLE]       the rows, with their local changes
  tavrin_client.py LOCAL_DB URL DBFILE insert TABLE ROW   a new row: ROW is a JSON object of columns
  tavrin_client.py LOCAL_DB URL DBFILE update TABLE ROW   the row whose key columns ROW gives takes
                                                          its other values
  tavrin_client.py LOCAL_DB URL DBFILE delete TABLE KEY   the row whose key columns KEY gives
Local changes are kept in LOCAL_DB until the next push.
"""
import argparse
import decimal
import hashlib
import http.client
import json
import os
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import urllib.parse
import zlib

PACKAGE_VERSION = 6
TXID_VERSIONS = (3, 4, 5)
PAGE_SIZE = 4096
CLEAN, INSERTED, UPDATED, DELETED = 0, 1, 2, 3
STATUS_CODES_WITH_PACKAGE = (200, 244, 245, 246)
REBASED = b"(rebased)"
# A pushed package names its own changes with this generation; the rows of earlier
# generations are the server's, as the client received them.
PUSH_GENERATION = -2
# The txid the rows of a pushed transaction carry (versions 3 to 5) until the server gives
# them theirs.
PUSH_TXID = 2 ** 63 - 16
FILTER_DISCARD = "filter-discard"
COLUMN_DUMP = "column-dump: "


class ClientError(Exception):
    """A failure of the client itself or a package it cannot use."""


class ProtocolError(ClientError):
    """The server refused a request: status, protocol code (X-Tavrin-Error-Code) and body text."""

    def __init__(self, operation, status, reason, code, body):
        self.status, self.reason, self.code, self.body = status, reason, code, body
        text = body.rstrip(b"\0").decode("utf-8", "replace")
        super().__init__("%s answered %d %s%s%s" % (operation, status, reason,
                                                     " (code %s)" % code if code else "",
                                                     ": " + text.splitlines()[0] if text.strip() else ""))


class Answer:
    """One HTTP answer: status, reason, headers (lower-case names) and body bytes."""

    def __init__(self, status, reason, headers, body):
        self.status, self.reason, self.headers, self.body = status, reason, headers, body

    @property
    def code(self):
        return self.headers.get("x-tavrin-error-code")


class SyncResult:
    """What a pull or push did: the HTTP status, the status document (or None), rows applied."""

    def __init__(self, status, status_doc=None, applied=0, pushed=0):
        self.status, self.status_doc, self.applied, self.pushed = status, status_doc, applied, pushed

    def __repr__(self):
        return "SyncResult(status=%d, status_doc=%r, applied=%d, pushed=%d)" % (
            self.status, self.status_doc, self.applied, self.pushed)


def quote_name(name):
    return '"' + name.replace('"', '""') + '"'


def sha1_hex(data):
    return hashlib.sha1(data).hexdigest()


def vcdiff_decode(source_bytes, delta_bytes):
    """The target of a VCDIFF delta against source_bytes, decoded by xdelta3."""
    with tempfile.TemporaryDirectory(prefix="tavrin-client-") as work:
        source, delta = os.path.join(work, "source"), os.path.join(work, "delta")
        with open(source, "wb") as f:
            f.write(source_bytes)
        with open(delta, "wb") as f:
            f.write(delta_bytes)
        try:
            run = subprocess.run(["xdelta3", "-d", "-c", "-s", source, delta], capture_output=True, timeout=60)
        except FileNotFoundError:
            raise ClientError("xdelta3 is not installed; it decodes the VCDIFF answer of a push")
        if run.returncode != 0:
            raise ClientError("VCDIFF answer does not decode: %s" % run.stderr.decode("utf-8", "replace").strip())
        return run.stdout


def inflate(body, what):
    try:
        return zlib.decompress(body)
    except zlib.error as error:
        raise ClientError("%s: body is not a zlib stream: %s" % (what, error))


def read_status_doc(package_path):
    """The status document of a status answer (the version-6 header JSON, or the status row of
    versions 4 and 5), or None (versions 2 and 3 carry none)."""
    db = sqlite3.connect(package_path)
    try:
        names = {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if "p$gen" in names and "p$tx" not in names:
            row = db.execute("SELECT id FROM p$gen WHERE generation = 0").fetchone()
        else:
            row = db.execute("SELECT txid FROM p$tx WHERE scheme = 'HTTP 244'").fetchone()
    except sqlite3.Error as error:
        raise ClientError("status package unreadable: %s" % error)
    finally:
        db.close()
    return json.loads(row[0]) if row and row[0] is not None else None


def parse_txid_baseline(text):
    """The five fields of a transaction-form baseline text: txid, rstamp (16 bytes), rebaseid,
    transaction count, schema txid (the transactions it may list as missing after them, each
    "m" and a txid, are left out)."""
    fields = text.split("m", 1)[0].split(",")
    if len(fields) != 5 or len(fields[1]) != 32:
        raise ClientError("baseline %r is not of the form txid,RSTAMP,rebaseid,count,schema_txid" % text)
    return int(fields[0]), bytes.fromhex(fields[1]), int(fields[2]), int(fields[3]), int(fields[4])


def txid_baseline_text(txid, rstamp, rebaseid, count, schema_txid):
    return "%d,%s,%d,%d,%d" % (txid, rstamp.hex().upper(), rebaseid, count, schema_txid)


class Client:
    def __init__(self, path, url, dbfile, fid=1, user=None, password=None, scheme=None, timeout=60,
                 version=PACKAGE_VERSION, cafile=None):
        """cafile: the certificates an https server's certificate is checked against (default: the system's)."""
        if version != PACKAGE_VERSION and version not in TXID_VERSIONS:
            raise ClientError("package version %r: this client speaks versions 3 to 6" % version)
        self.version = version
        self.touched = set()  # row ids the last applied package wrote or deleted
        parsed = urllib.parse.urlsplit(url)
        if parsed.scheme not in ("http", "https") or not parsed.hostname:
            raise ClientError("URL must be http(s)://host:port/app-path, not %r" % url)
        self.host, self.port = parsed.hostname, parsed.port or (443 if parsed.scheme == "https" else 80)
        self.tls = ssl.create_default_context(cafile=cafile) if parsed.scheme == "https" else None
        self.app_path = parsed.path.rstrip("/")
        self.dbfile, self.fid, self.timeout = dbfile, fid, timeout
        self.user, self.password, self.scheme = user, password, scheme
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.execute("CREATE TABLE IF NOT EXISTS c$meta (key TEXT PRIMARY KEY, value)")
        self.db.execute("CREATE TABLE IF NOT EXISTS c$tables (tbl_id TEXT PRIMARY KEY, name TEXT NOT NULL,"
                        " cols TEXT NOT NULL, key_cols TEXT NOT NULL, identity TEXT)")

    def close(self):
        self.db.close()

    # ---- bookkeeping ----

    def meta(self, key, default=None):
        row = self.db.execute("SELECT value FROM c$meta WHERE key = ?", (key,)).fetchone()
        return row[0] if row else default

    def set_meta(self, key, value):
        if value is None:
            self.db.execute("DELETE FROM c$meta WHERE key = ?", (key,))
        else:
            self.db.execute("INSERT OR REPLACE INTO c$meta (key, value) VALUES (?, ?)", (key, value))

    @property
    def baseline(self):
        """The baseline the client holds ("<generation>g<id>" for version 6, the baseline text
        for versions 3 to 5), or None before its first pull."""
        return self.meta("baseline")

    def filter_id(self):
        """The id of the row filter the client's data was built with, as the schema names it;
        None without one."""
        schema = self.meta("schema")
        filter_id = json.loads(schema).get("filter_id") if schema else None
        return str(filter_id) if filter_id else None

    def tables(self):
        """{table id: (name, [columns], [key columns], identity column or None)}."""
        return {r[0]: (r[1], json.loads(r[2]), json.loads(r[3]), r[4])
                for r in self.db.execute("SELECT tbl_id, name, cols, key_cols, identity FROM c$tables")}

    def table_by_name(self, name):
        for tbl_id, info in self.tables().items():
            if info[0] == name:
                return tbl_id, info
        raise ClientError("no synchronised table %r" % name)

    # ---- local changes ----

    def insert(self, table, values):
        """Adds a row; an identity column without a value gets a temporary one. Returns the row id."""
        _, (name, cols, _, identity) = self.table_by_name(table)
        values = dict(values)
        unknown = set(values) - set(cols)
        if unknown:
            raise ClientError("%s has no column %s" % (table, ", ".join(sorted(unknown))))
        if identity and values.get(identity) is None:
            top = self.db.execute("SELECT MAX(%s) FROM %s" % (quote_name(identity), quote_name(name))).fetchone()[0]
            values[identity] = (top or 0) + 1
        rid = os.urandom(16)
        names = ["z_rid", "z_gen", "z_state"] + list(values)
        self.db.execute("INSERT INTO %s (%s) VALUES (%s)" % (
            quote_name(name), ", ".join(map(quote_name, names)), ", ".join("?" * len(names))),
            [rid, None, INSERTED] + list(values.values()))
        return rid

    def update(self, table, rid, values):
        _, (name, cols, _, _) = self.table_by_name(table)
        if set(values) - set(cols):
            raise ClientError("%s has no column %s" % (table, ", ".join(sorted(set(values) - set(cols)))))
        sets = ", ".join("%s = ?" % quote_name(c) for c in values)
        done = self.db.execute("UPDATE %s SET %s, z_state = CASE z_state WHEN %d THEN %d ELSE %d END"
                               " WHERE z_rid = ? AND z_state <> %d" % (quote_name(name), sets, INSERTED, INSERTED,
                                                                       UPDATED, DELETED),
                               list(values.values()) + [rid]).rowcount
        if done != 1:
            raise ClientError("%s: no row %s" % (table, rid.hex()))

    def delete(self, table, rid):
        _, (name, _, _, _) = self.table_by_name(table)
        row = self.db.execute("SELECT z_state FROM %s WHERE z_rid = ?" % quote_name(name), (rid,)).fetchone()
        if row is None or row[0] == DELETED:
            raise ClientError("%s: no row %s" % (table, rid.hex()))
        if row[0] == INSERTED:
            self.db.execute("DELETE FROM %s WHERE z_rid = ?" % quote_name(name), (rid,))
        else:
            self.db.execute("UPDATE %s SET z_state = %d WHERE z_rid = ?" % (quote_name(name), DELETED), (rid,))

    def rows(self, table, include_deleted=False):
        """The table's rows as dicts (columns plus z_rid, z_gen, z_state), ordered by key."""
        _, (name, cols, keys, _) = self.table_by_name(table)
        cursor = self.db.execute("SELECT * FROM %s %s ORDER BY %s" % (
            quote_name(name), "" if include_deleted else "WHERE z_state <> %d" % DELETED,
            ", ".join(map(quote_name, keys or ["z_rid"]))))
        names = [d[0] for d in cursor.description]
        return [dict(zip(names, r)) for r in cursor]

    def find(self, table, **key):
        """The row id of the row whose columns have the given values."""
        _, (name, _, _, _) = self.table_by_name(table)
        where = " AND ".join("%s = ?" % quote_name(c) for c in key)
        found = self.db.execute("SELECT z_rid FROM %s WHERE %s" % (quote_name(name), where),
                                list(key.values())).fetchall()
        if len(found) != 1:
            raise ClientError("%s: %d rows match %r" % (table, len(found), key))
        return found[0][0]

    def pending_changes(self):
        return sum(self.db.execute("SELECT COUNT(*) FROM %s WHERE z_state <> 0" % quote_name(info[0])).fetchone()[0]
                   for info in self.tables().values())

    # ---- HTTP ----

    def query(self, **extra):
        keys = {"db": self.dbfile, "fid": str(self.fid)}
        if self.scheme is not None and self.user is not None:
            keys["s"], keys["u"] = self.scheme, self.user
        keys.update({k: v for k, v in extra.items() if v is not None})
        return urllib.parse.urlencode(keys)

    def request(self, method, path, query, body=b"", headers=None):
        """Sends one request; returns an Answer. Every answer counts, errors included."""
        all_headers = {"Content-Length": str(len(body))}
        if self.password is not None:
            all_headers["x-tavrin-password"] = self.password
        filter_base = self.meta("filter_base")
        if filter_base:
            all_headers["x-tavrin-filter-base"] = filter_base
        all_headers.update(headers or {})
        target = self.app_path + path + ("?" + query if query is not None else "")
        if self.tls is not None:
            connection = http.client.HTTPSConnection(self.host, self.port, timeout=self.timeout, context=self.tls)
        else:
            connection = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout)
        try:
            connection.request(method, target, body=body, headers=all_headers)
            response = connection.getresponse()
            data = response.read()
            return Answer(response.status, response.reason,
                          {k.lower(): v for k, v in response.getheaders()}, data)
        except (OSError, http.client.HTTPException) as error:
            raise ClientError("%s %s: %s" % (method, target, error))
        finally:
            connection.close()

    # ---- pull ----

    def pull(self):
        """Fetches the server's changes since the baseline and applies them."""
        pending = self.meta("pending")
        answer = self.request("GET", "/pull", self.query(pv=str(self.version), **{"from": self.baseline},
                                                         pending=pending, filter=self.filter_id()))
        if answer.status == 304:
            return SyncResult(304)
        if answer.status not in STATUS_CODES_WITH_PACKAGE:
            raise ProtocolError("pull", answer.status, answer.reason, answer.code, answer.body)
        package = inflate(answer.body, "pull answer")
        with tempfile.TemporaryDirectory(prefix="tavrin-client-") as work:
            path = os.path.join(work, "package")
            with open(path, "wb") as f:
                f.write(package)
            if answer.status == 200:
                # The server answers a pending stamp it holds with a plain package (no status
                # document) once the client has a baseline: the push was applied.
                if pending:
                    self.settle_pending(True)
                return SyncResult(200, applied=self.apply_package(path))
            status_doc = read_status_doc(path)
            if status_doc is None:
                # Versions 2 and 3 answer a status with a package of transaction stamps only.
                return SyncResult(answer.status)
            if "push-succeeded" in status_doc and pending:
                self.settle_pending(status_doc["push-succeeded"])
            applied = 0
            if answer.status in (245, 246) and "first-rstamp" not in status_doc and self.version == PACKAGE_VERSION:
                applied = self.apply_package(path, header=False)
            return SyncResult(answer.status, status_doc, applied)

    def settle_pending(self, succeeded):
        """A push whose answer was lost: applied or not, its rows are known now."""
        self.set_meta("pending", None)
        if succeeded:
            self.mark_pushed()

    def reset(self):
        """Forgets every server row and the baseline (after the server lost the client's baseline)."""
        for name, _, _, _ in self.tables().values():
            self.db.execute("DELETE FROM %s WHERE z_state = 0" % quote_name(name))
        self.set_meta("baseline", None)
        self.set_meta("filter_base", None)

    # ---- applying a download package ----

    def apply_package(self, path, header=True):
        """Applies a download package of the client's version to the local tables; returns the
        rows changed."""
        package = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
        try:
            names = {r[0] for r in package.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            version = None
            if "p$tx" in names:
                version = package.execute("SELECT scheme FROM p$tx WHERE txid = 0").fetchone()
                version = int(version[0]) if version and str(version[0]).isdigit() else version
            elif "p$gen" in names:
                row = package.execute("SELECT id FROM p$gen WHERE generation = 0").fetchone()
                doc = json.loads(row[0]) if row else None
                version = doc.get("pv") if isinstance(doc, dict) else row
            if version != self.version:
                raise ClientError("package of version %r; this client speaks version %d" % (version, self.version))
            self.db.execute("BEGIN IMMEDIATE")
            self.touched = set()
            try:
                if self.version == PACKAGE_VERSION:
                    applied = self.apply_generation_package(package, names, header)
                else:
                    applied = self.apply_txid_package(package, names)
                self.db.execute("COMMIT")
            except BaseException:
                self.db.execute("ROLLBACK")
                raise
            return applied
        except sqlite3.Error as error:
            raise ClientError("download package unreadable: %s" % error)
        finally:
            package.close()

    def apply_generation_package(self, package, names, header):
        doc = json.loads(package.execute("SELECT id FROM p$gen WHERE generation = 0").fetchone()[0])
        newest = package.execute("SELECT generation, id FROM p$gen WHERE generation > 0"
                                 " ORDER BY generation DESC LIMIT 1").fetchone()
        if header and "schema" in doc:
            self.adopt_schema(doc["schema"])
        applied = 0
        for name in sorted(names):
            if name.startswith("p$u$"):
                applied += self.apply_rows(package, name, self.package_table(name[4:]))
        if header and "filter-base" in doc:
            self.set_meta("filter_base", json.dumps(doc["filter-base"], separators=(",", ":")))
        if newest is not None:
            self.set_meta("baseline", "%dg%d" % newest)
        return applied

    def apply_txid_package(self, package, names):
        header = package.execute("SELECT rstamp, rebaseid FROM p$tx WHERE txid = 0").fetchone()
        schema_txid = None
        if self.version >= 4:
            row = package.execute("SELECT scheme FROM p$tx WHERE txid = -1").fetchone()
            if row:
                self.adopt_schema(json.loads(row[0]))
        elif "p$s" in names:
            schema_txid, text = package.execute("SELECT txid, json FROM p$s").fetchone()
            self.adopt_schema(json.loads(text))
        applied = 0
        for name in sorted(names):
            if name.startswith("p$rd$"):
                applied += self.apply_deltas(package, name[5:], self.package_table(name[5:]))
        if isinstance(header[1], str):
            self.set_meta("filter_base", header[1])
        if self.version >= 4:
            if isinstance(header[0], str) and header[0].count(",") == 4:
                self.set_meta("baseline", header[0])
        else:
            # Versions 2 and 3 list the server's transactions; the newest is the baseline.
            newest = package.execute("SELECT txid, rstamp, rebaseid FROM p$tx WHERE scheme IS NULL"
                                     " AND typeof(txid) = 'integer' AND txid > 0 ORDER BY txid DESC LIMIT 1").fetchone()
            txid, rstamp, rebaseid, _, old_schema_txid = (parse_txid_baseline(self.baseline) if self.baseline
                                                          else (0, bytes(16), 0, 0, 0))
            if newest is not None:
                txid, rstamp, rebaseid = newest[0], newest[1] or bytes(16), newest[2] or 0
            self.set_meta("baseline", txid_baseline_text(txid, rstamp, rebaseid, 0,
                                                         old_schema_txid if schema_txid is None else schema_txid))
        return applied

    def package_table(self, tbl_id):
        tables = self.tables()
        if tbl_id.lower() not in tables:
            raise ClientError("package has rows of table %s, which the schema lacks" % tbl_id)
        return tables[tbl_id.lower()]

    def adopt_schema(self, schema):
        """Takes the schema's tables and columns: creates what is new, drops the tables and
        columns it no longer has (a filter may have taken them out)."""
        tables = schema.get("tbls", {})
        for tbl_id, (name, _, _, _) in self.tables().items():
            if tbl_id not in {t.lower() for t in tables}:
                self.db.execute("DROP TABLE IF EXISTS %s" % quote_name(name))
                self.db.execute("DELETE FROM c$tables WHERE tbl_id = ?", (tbl_id,))
        for tbl_id, tbl in tables.items():
            cols = [c["name"] for c in tbl["cols"].values()]
            identity = next((c["name"] for c in tbl["cols"].values() if c.get("type", {}).get("name") == "identity"),
                            None)
            if identity:
                keys = [identity]
            else:
                keys = [tbl["cols"][c]["name"] for c in tbl.get("pk", {}).get("cols", {}) if c in tbl["cols"]]
            name = tbl["name"]
            self.db.execute("CREATE TABLE IF NOT EXISTS %s (z_rid BLOB PRIMARY KEY, z_gen INTEGER,"
                            " z_state INTEGER NOT NULL DEFAULT 0)" % quote_name(name))
            have = [r[1] for r in self.db.execute("PRAGMA table_info(%s)" % quote_name(name))]
            for col in have[3:]:
                if col not in cols:
                    self.db.execute("ALTER TABLE %s DROP COLUMN %s" % (quote_name(name), quote_name(col)))
            for col in cols:
                if col not in have:
                    self.db.execute("ALTER TABLE %s ADD COLUMN %s" % (quote_name(name), quote_name(col)))
            self.db.execute("INSERT OR REPLACE INTO c$tables (tbl_id, name, cols, key_cols, identity)"
                            " VALUES (?, ?, ?, ?, ?)", (tbl_id.lower(), name, json.dumps(cols), json.dumps(keys),
                                                        identity))
        self.set_meta("schema", json.dumps(schema, separators=(",", ":")))

    def package_columns(self, package, table, internal, info):
        """The user columns of a package row table, after its internal ones."""
        package_cols = [r[1] for r in package.execute("PRAGMA table_info(%s)" % quote_name(table))]
        if package_cols[:len(internal)] != internal:
            raise ClientError("%s: internal columns %s, not %s" % (table, package_cols[:len(internal)], internal))
        user = package_cols[len(internal):]
        missing = set(user) - set(info[1])
        if missing:
            raise ClientError("%s: columns %s are not in the schema" % (table, sorted(missing)))
        return user

    def discard(self, table):
        """A 'filter-discard' marker: the client's rows of the table go before the package's
        rows of it come in."""
        self.db.execute("DELETE FROM %s WHERE z_state = %d" % (quote_name(table), CLEAN))

    def apply_column_dump(self, package, table, info, dumped, user):
        """Rows without row id carry the values of the dumped columns for every row, by key."""
        name, _, keys, _ = info
        if not keys:
            raise ClientError("%s: a column dump for a table without key columns" % table)
        if set(dumped) - set(user) or set(keys) - set(user):
            raise ClientError("%s: column dump of %s lacks its columns" % (table, dumped))
        applied = 0
        for row in package.execute("SELECT %s FROM %s WHERE z_rid IS NULL ORDER BY rowid" % (
                ", ".join(map(quote_name, keys + dumped)), quote_name(table))):
            applied += self.db.execute("UPDATE %s SET %s WHERE %s" % (
                quote_name(name), ", ".join("%s = ?" % quote_name(c) for c in dumped),
                " AND ".join("%s = ?" % quote_name(k) for k in keys)), list(row[len(keys):]) + list(row[:len(keys)])
            ).rowcount
        return applied

    def markers(self, package, table, column):
        markers = [r[0] for r in package.execute("SELECT %s FROM %s WHERE typeof(%s) = 'text' ORDER BY rowid" % (
            column, quote_name(table), column))]
        unknown = [m for m in markers if m != FILTER_DISCARD and not m.startswith(COLUMN_DUMP)]
        if unknown:
            raise ClientError("%s: unknown marker rows %r" % (table, unknown))
        return FILTER_DISCARD in markers, [m[len(COLUMN_DUMP):] for m in markers if m.startswith(COLUMN_DUMP)]

    def remove(self, name, rid):
        self.db.execute("DELETE FROM %s WHERE z_rid = ?" % quote_name(name), (rid,))
        self.touched.add(rid)

    def upsert(self, name, rid, version, user, values):
        self.touched.add(rid)
        names = ["z_rid", "z_gen", "z_state"] + user
        self.db.execute("INSERT OR REPLACE INTO %s (%s) VALUES (%s)" % (
            quote_name(name), ", ".join(map(quote_name, names)), ", ".join("?" * len(names))),
            [rid, version, CLEAN] + list(values))

    def apply_rows(self, package, table, info):
        """The rows of a generation-form table: markers first, then one change per row, then the
        column dump."""
        name = info[0]
        user = self.package_columns(package, table, ["z_rid", "z_gen_del", "z_gen_add"], info)
        discard, dumped = self.markers(package, table, "z_rid")
        if discard:
            self.discard(name)
        applied = 0
        for row in package.execute("SELECT * FROM %s WHERE z_rid IS NOT NULL AND typeof(z_rid) <> 'text'"
                                   " ORDER BY rowid" % quote_name(table)):
            rid, values = row[0], row[3:]
            if not (isinstance(rid, bytes) and len(rid) == 16):
                raise ClientError("%s: row id %r is not 16 bytes" % (table, rid))
            if all(v is None for v in values):
                self.remove(name, rid)
            else:
                self.upsert(name, rid, row[2], user, values)
            applied += 1
        if dumped:
            applied += self.apply_column_dump(package, table, info, dumped, user)
        elif package.execute("SELECT 1 FROM %s WHERE z_rid IS NULL" % quote_name(table)).fetchone():
            raise ClientError("%s: a row without row id outside a column dump" % table)
        return applied

    def apply_deltas(self, package, tbl_id, info):
        """A transaction-form table: its row deltas name the version each row now has (taken
        from the row table) or its deletion; markers as in the generation form."""
        name = info[0]
        deltas, rows = quote_name("p$rd$" + tbl_id), "p$u$" + tbl_id
        user = self.package_columns(package, rows, ["z_rid", "z_txid"], info)
        discard, dumped = self.markers(package, "p$rd$" + tbl_id, "rid")
        if discard:
            self.discard(name)
        applied = 0
        for rid, added, replaced, txid in package.execute(
                "SELECT rid, txid_rec_add, txid_rec_del, txid FROM %s WHERE typeof(rid) <> 'text' ORDER BY rowid"
                % deltas):
            if not (isinstance(rid, bytes) and len(rid) == 16):
                raise ClientError("%s: row id %r is not 16 bytes" % (deltas, rid))
            if added is None:
                self.remove(name, rid)
            else:
                values = package.execute("SELECT %s FROM %s WHERE z_rid = ? AND z_txid = ?" % (
                    ", ".join(map(quote_name, user)) or "NULL", quote_name(rows)), (rid, added)).fetchone()
                if values is None:
                    raise ClientError("%s: no row of %s at txid %d" % (rows, rid.hex(), added))
                self.upsert(name, rid, added, user, values if user else [])
            applied += 1
        if dumped:
            applied += self.apply_column_dump(package, rows, info, dumped, user)
        return applied

    # ---- push ----

    def build_push_package(self, path, stamp):
        """Writes the local changes as a push package of the client's version; returns the number
        of changes."""
        if self.baseline is None:
            raise ClientError("no baseline: pull before the first push")
        if os.path.exists(path):
            os.remove(path)
        package = sqlite3.connect(path, isolation_level=None)
        try:
            package.execute("PRAGMA page_size = %d" % PAGE_SIZE)
            package.execute("PRAGMA encoding = 'UTF-8'")
            package.execute("BEGIN")
            if self.version == PACKAGE_VERSION:
                changes = self.write_generation_push(package, stamp)
            else:
                changes = self.write_txid_push(package, stamp)
            package.execute("COMMIT")
            return changes
        finally:
            package.close()

    def local_changes(self):
        """(table id, table info, [(rid, version held, state, values...)]) per table with changes."""
        for tbl_id, info in sorted(self.tables().items()):
            rows = self.db.execute("SELECT z_rid, z_gen, z_state, %s FROM %s WHERE z_state <> 0 ORDER BY rowid" % (
                ", ".join(map(quote_name, info[1])), quote_name(info[0]))).fetchall()
            if rows:
                yield tbl_id, info, rows

    def write_generation_push(self, package, stamp):
        generation, generation_id = (int(x) for x in self.baseline.split("g"))
        package.execute("CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER)")
        package.executemany("INSERT INTO p$gen (generation, id) VALUES (?, ?)",
                            [(0, json.dumps({"pv": PACKAGE_VERSION})), (generation, generation_id),
                             (PUSH_GENERATION, stamp)])
        changes = 0
        for tbl_id, (_, cols, _, _), rows in self.local_changes():
            table = quote_name("p$u$" + tbl_id)
            package.execute("CREATE TABLE %s (z_rid BLOB, z_gen_del INT, z_gen_add INT%s)" % (
                table, "".join(", " + quote_name(c) for c in cols)))
            for rid, gen, state, *values in rows:
                if state == DELETED:
                    values = [None] * len(cols)
                # A row the server never had has no version to replace.
                package.execute("INSERT INTO %s VALUES (%s)" % (table, ", ".join("?" * (3 + len(cols)))),
                                [rid, None if state == INSERTED else gen, PUSH_GENERATION] + values)
                changes += 1
        return changes

    def write_txid_push(self, package, stamp):
        txid, rstamp, rebaseid, _, _ = parse_txid_baseline(self.baseline)
        package.execute("CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER)")
        package.execute("INSERT INTO p$tx VALUES (0, ?, ?, 0)",
                        (self.version, self.baseline if self.version >= 4 else None))
        package.execute("INSERT INTO p$tx VALUES (?, NULL, ?, 0)", (PUSH_TXID, stamp))
        if self.version < 4:
            package.execute("INSERT INTO p$tx VALUES (?, 'last_sync_txid', ?, ?)", (txid, rstamp, rebaseid))
        # The identity values the client made itself, so that the server gives them its own.
        package.execute("CREATE TABLE p$ipk (rid BLOB, ipk INTEGER, tbl TEXT)")
        changes = 0
        for tbl_id, (_, cols, _, identity), rows in self.local_changes():
            table, deltas = quote_name("p$u$" + tbl_id), quote_name("p$rd$" + tbl_id)
            package.execute("CREATE TABLE %s (z_rid BLOB, z_txid INTEGER%s)" % (
                table, "".join(", " + quote_name(c) for c in cols)))
            package.execute("CREATE TABLE %s (rid BLOB NOT NULL, txid_rec_add INTEGER NULL,"
                            " txid_rec_del INTEGER NULL, txid INTEGER NOT NULL)" % deltas)
            for rid, held, state, *values in rows:
                if state != DELETED:
                    package.execute("INSERT INTO %s VALUES (%s)" % (table, ", ".join("?" * (2 + len(cols)))),
                                    [rid, PUSH_TXID] + values)
                if state == INSERTED and identity:
                    package.execute("INSERT INTO p$ipk VALUES (?, ?, ?)", (rid, values[cols.index(identity)], tbl_id))
                package.execute("INSERT INTO %s VALUES (?, ?, ?, ?)" % deltas,
                                (rid, None if state == DELETED else PUSH_TXID, None if state == INSERTED else held,
                                 PUSH_TXID))
                changes += 1
        return changes

    def mark_pushed(self):
        for name, _, _, _ in self.tables().values():
            self.db.execute("DELETE FROM %s WHERE z_state = %d" % (quote_name(name), DELETED))
            self.db.execute("UPDATE %s SET z_state = 0 WHERE z_state <> 0" % quote_name(name))

    def push(self):
        """Sends the local changes; applies the server's follow-up. Raises ProtocolError on refusal."""
        if self.pending_changes() == 0:
            return SyncResult(0)
        stamp = os.urandom(16)
        with tempfile.TemporaryDirectory(prefix="tavrin-client-") as work:
            path = os.path.join(work, "push")
            count = self.build_push_package(path, stamp)
            with open(path, "rb") as f:
                upload = f.read()
            # Until an answer arrives the push may or may not have been applied; a later pull
            # names its stamp so that the server says which.
            self.set_meta("pending", stamp.hex())
            answer = self.request("POST", "/push", self.query(h=sha1_hex(upload), filter=self.filter_id(),
                                                              **{"from": self.baseline}),
                                  zlib.compress(upload))
            if answer.status not in STATUS_CODES_WITH_PACKAGE:
                self.set_meta("pending", None)
                raise ProtocolError("push", answer.status, answer.reason, answer.code, answer.body)
            self.set_meta("pending", None)
            if answer.status == 200 and answer.body == REBASED:
                self.mark_pushed()
                return SyncResult(200, pushed=count)
            body = inflate(answer.body, "push answer")
            followup = os.path.join(work, "followup")
            with open(followup, "wb") as f:
                f.write(vcdiff_decode(upload, body) if answer.status == 200 else body)
            if answer.status == 200:
                inserted = [(info[0], r[0]) for _, info, rows in self.local_changes() for r in rows if r[2] == INSERTED]
                self.mark_pushed()
                applied = self.apply_package(followup)
                # The follow-up sends back every row the push inserted inside the client's
                # filter: one it leaves out lies outside (or the server did not keep it).
                # Updated rows need no such rule: one that leaves the filter comes as a deletion.
                for name, rid in inserted:
                    if rid not in self.touched:
                        self.db.execute("DELETE FROM %s WHERE z_rid = ?" % quote_name(name), (rid,))
                return SyncResult(200, applied=applied, pushed=count)
            status_doc = read_status_doc(followup)
            # Versions 2 and 3 learn from a stamp package whether the push is among the
            # server's transactions.
            succeeded = status_doc.get("push-succeeded") if status_doc is not None else self.stamp_listed(followup,
                                                                                                         stamp)
            if succeeded:
                self.mark_pushed()
            return SyncResult(answer.status, status_doc, pushed=count if succeeded else 0)

    @staticmethod
    def stamp_listed(package_path, stamp):
        db = sqlite3.connect(package_path)
        try:
            return db.execute("SELECT 1 FROM p$tx WHERE rstamp = ?", (stamp,)).fetchone() is not None
        finally:
            db.close()


# ---- command line: rows shown and changed by hand ----

STATE_NOTES = {CLEAN: "", INSERTED: "  (inserted, not pushed)", UPDATED: "  (updated, not pushed)",
               DELETED: "  (deleted, not pushed)"}


def column_types(client, tbl_id):
    """{column name: logical type} of a table, from the schema the client holds."""
    tables = json.loads(client.meta("schema") or "{}").get("tbls", {})
    table = next((t for key, t in tables.items() if key.lower() == tbl_id), {"cols": {}})
    return {c["name"]: c.get("type", {}) for c in table["cols"].values()}


def shown_value(value, kind):
    """A stored value as the command line shows it: blobs as 0x and hex digits, decimals (kept
    scaled by their scale, as packages carry them) as their decimal text."""
    if isinstance(value, bytes):
        return "0x" + value.hex().upper()
    if kind.get("name") == "decimal" and isinstance(value, int):
        return str(decimal.Decimal(value).scaleb(-kind.get("scale", 0)))
    return value


def stored_value(value, kind, column):
    """The reverse of shown_value for a value typed on the command line."""
    if kind.get("name") == "blob" and isinstance(value, str):
        if not value.lower().startswith("0x"):
            raise ClientError("%s: a blob is written 0x followed by hex digits" % column)
        try:
            return bytes.fromhex(value[2:])
        except ValueError:
            raise ClientError("%s: not hex digits: %r" % (column, value))
    if kind.get("name") == "decimal" and isinstance(value, (int, float, str)) and not isinstance(value, bool):
        try:
            scaled = decimal.Decimal(str(value)).scaleb(kind.get("scale", 0))
        except decimal.InvalidOperation:
            raise ClientError("%s: not a number: %r" % (column, value))
        if scaled != scaled.to_integral_value():
            raise ClientError("%s: more than %d decimal places: %r" % (column, kind.get("scale", 0), value))
        return int(scaled)
    return value


def show_rows(client, table=None):
    """Prints every synchronised table (or one) with its rows as JSON, marking local changes."""
    tables = sorted(client.tables().items())
    if table is not None:
        tables = [client.table_by_name(table)]
    for tbl_id, (name, cols, _, _) in tables:
        kinds = column_types(client, tbl_id)
        rows = client.rows(name, include_deleted=True)
        live = sum(1 for row in rows if row["z_state"] != DELETED)
        print("%s (%s): %d rows" % (name, tbl_id, live))
        for row in rows:
            values = {c: shown_value(row[c], kinds.get(c, {})) for c in cols}
            print("  %s%s" % (json.dumps(values, ensure_ascii=False), STATE_NOTES[row["z_state"]]))
    print("baseline: %s" % client.baseline)


def parse_row(text):
    try:
        row = json.loads(text)
    except ValueError as error:
        raise ClientError("not a JSON object: %r (%s)" % (text, error))
    if not isinstance(row, dict) or not row:
        raise ClientError("not a JSON object of columns: %r" % text)
    return row


def change_row(client, action, table, text):
    """insert, update or delete one row given as a JSON object; update and delete find the row
    by the table's key columns."""
    tbl_id, (_, _, keys, _) = client.table_by_name(table)
    kinds = column_types(client, tbl_id)
    row = {c: stored_value(v, kinds.get(c, {}), c) for c, v in parse_row(text).items()}
    if action == "insert":
        client.insert(table, row)
        return
    missing = [c for c in keys if c not in row]
    if not keys or missing:
        raise ClientError("%s: give the key column%s %s" % (table, "s" if len(keys) > 1 else "",
                                                            ", ".join(missing or ["(none)"])))
    rid = client.find(table, **{c: row[c] for c in keys})
    if action == "delete":
        client.delete(table, rid)
    else:
        values = {c: v for c, v in row.items() if c not in keys}
        if not values:
            raise ClientError("%s: no value to change besides the key" % table)
        client.update(table, rid, values)


def run_command(client, action, arguments):
    if action in ("insert", "update", "delete"):
        if len(arguments) != 2:
            raise ClientError("%s takes TABLE and a row as JSON" % action)
        change_row(client, action, *arguments)
        print("%s: done; %d local change(s) to push" % (action, client.pending_changes()))
    elif action == "show":
        if len(arguments) > 1:
            raise ClientError("show takes at most a table")
        show_rows(client, *arguments)
    else:
        if arguments:
            raise ClientError("%s takes no more arguments" % action)
        result = getattr(client, action)()
        print("%s: %r; baseline %s" % (action, result, client.baseline))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("local_db")
    parser.add_argument("url")
    parser.add_argument("dbfile")
    parser.add_argument("action", choices=["pull", "push", "show", "insert", "update", "delete"])
    parser.add_argument("arguments", nargs="*", help="show: [TABLE]; insert, update, delete: TABLE ROW_JSON")
    parser.add_argument("--fid", type=int, default=1)
    parser.add_argument("--pv", type=int, default=PACKAGE_VERSION, help="package version: 3 to 6")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--scheme")
    parser.add_argument("--cafile", help="check an https server's certificate against these")
    args = parser.parse_args(argv)
    try:
        client = Client(args.local_db, args.url, args.dbfile, args.fid, args.user, args.password, args.scheme,
                        version=args.pv, cafile=args.cafile)
    except ClientError as error:
        print("tavrin_client: %s" % error, file=sys.stderr)
        return 1
    try:
        run_command(client, args.action, args.arguments)
    except ClientError as error:
        print("tavrin_client: %s" % error, file=sys.stderr)
        return 1
    finally:
        client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
