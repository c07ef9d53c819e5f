#!/usr/bin/python3
"""A sync client of our own for end-to-end tests of the sync server.

It keeps the synchronised tables in a local SQLite file, pulls the server's changes as
generation packages (package version 6) and pushes its own changes back. It is written from
the wire protocol and the package layout alone, with the standard library of Debian's
/usr/bin/python3 and the xdelta3 program for the VCDIFF answers of a push, so that the
end-to-end tests judge the server without trusting any of its code.

Local database:
  c$meta(key, value)        baseline ("<gen>g<id>"), pending push stamp, filter base, schema
  c$tables(tbl_id, ...)     one row per synchronised table: local name, columns, key columns
  <table name>              the table's rows: z_rid (16-byte row id), z_gen (generation of the
                            server version the row holds, NULL for a row the server never had),
                            z_state (0 clean, 1 inserted, 2 updated, 3 deleted), then the columns

Command line (for a quick look by hand):
  tavrin_client.py LOCAL_DB URL DBFILE pull|push|show [--fid N] [--user U --password P --scheme JSON]
                   [--cafile PEM]   (URL http://... or https://...)
"""
import argparse
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
PAGE_SIZE = 4096
CLEAN, INSERTED, UPDATED, DELETED = 0, 1, 2, 3
STATUS_CODES_WITH_PACKAGE = (200, 244, 245, 246)
REBASED = b"(rebased)"
# A pushed package names its own changes with this generation; the rows of earlier
# generations are the server's, as the client received them.
PUSH_GENERATION = -2


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
    """The status document of a status answer (the version-6 header JSON), or None."""
    db = sqlite3.connect(package_path)
    try:
        row = db.execute("SELECT id FROM p$gen WHERE generation = 0").fetchone()
    except sqlite3.Error as error:
        raise ClientError("status package unreadable: %s" % error)
    finally:
        db.close()
    return json.loads(row[0]) if row and row[0] is not None else None


class Client:
    def __init__(self, path, url, dbfile, fid=1, user=None, password=None, scheme=None, timeout=60, cafile=None):
        """cafile: the certificates an https server's certificate is checked against (default: the system's)."""
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
        """The "<generation>g<id>" the client holds, or None before its first pull."""
        return self.meta("baseline")

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
        answer = self.request("GET", "/pull", self.query(pv=str(PACKAGE_VERSION), **{"from": self.baseline},
                                                         pending=pending))
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
            if "push-succeeded" in status_doc and pending:
                self.settle_pending(status_doc["push-succeeded"])
            applied = 0
            if answer.status in (245, 246) and "first-rstamp" not in status_doc:
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
        """Applies a version-6 download package to the local tables; returns the rows changed."""
        package = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
        try:
            names = {r[0] for r in package.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            if "p$gen" not in names:
                version = None
                if "p$tx" in names:
                    version = package.execute("SELECT scheme FROM p$tx WHERE txid = 0").fetchone()
                raise ClientError("package of version %s; this client speaks version %d only" % (
                    version[0] if version else "unknown", PACKAGE_VERSION))
            row = package.execute("SELECT id FROM p$gen WHERE generation = 0").fetchone()
            doc = json.loads(row[0]) if row else None
            if not isinstance(doc, dict) or doc.get("pv") != PACKAGE_VERSION:
                raise ClientError("package header %r is not a version-%d header" % (row, PACKAGE_VERSION))
            newest = package.execute("SELECT generation, id FROM p$gen WHERE generation > 0"
                                     " ORDER BY generation DESC LIMIT 1").fetchone()
            self.db.execute("BEGIN IMMEDIATE")
            try:
                if header and "schema" in doc:
                    self.adopt_schema(doc["schema"])
                applied = 0
                tables = self.tables()
                for name in sorted(names):
                    if name.startswith("p$u$"):
                        tbl_id = name[4:].lower()
                        if tbl_id not in tables:
                            raise ClientError("package has rows of table %s, which the schema lacks" % tbl_id)
                        applied += self.apply_rows(package, name, tables[tbl_id])
                if header and "filter-base" in doc:
                    self.set_meta("filter_base", json.dumps(doc["filter-base"], separators=(",", ":")))
                if newest is not None:
                    self.set_meta("baseline", "%dg%d" % newest)
                self.db.execute("COMMIT")
            except BaseException:
                self.db.execute("ROLLBACK")
                raise
            return applied
        except sqlite3.Error as error:
            raise ClientError("download package unreadable: %s" % error)
        finally:
            package.close()

    def adopt_schema(self, schema):
        """Creates the local tables of the schema and adds the columns it gained."""
        for tbl_id, tbl in schema.get("tbls", {}).items():
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
            have = {r[1] for r in self.db.execute("PRAGMA table_info(%s)" % quote_name(name))}
            for col in cols:
                if col not in have:
                    self.db.execute("ALTER TABLE %s ADD COLUMN %s" % (quote_name(name), quote_name(col)))
            self.db.execute("INSERT OR REPLACE INTO c$tables (tbl_id, name, cols, key_cols, identity)"
                            " VALUES (?, ?, ?, ?, ?)", (tbl_id.lower(), name, json.dumps(cols), json.dumps(keys),
                                                        identity))
        self.set_meta("schema", json.dumps(schema, separators=(",", ":")))

    def apply_rows(self, package, table, info):
        name, cols, keys, _ = info
        package_cols = [r[1] for r in package.execute("PRAGMA table_info(%s)" % quote_name(table))]
        if package_cols[:3] != ["z_rid", "z_gen_del", "z_gen_add"]:
            raise ClientError("%s: not a generation-form row table: %s" % (table, package_cols))
        user = package_cols[3:]
        missing = set(user) - set(cols)
        if missing:
            raise ClientError("%s: columns %s are not in the schema" % (table, sorted(missing)))
        local = quote_name(name)
        applied, dump_column = 0, None
        # Rows in the order the server wrote them: a column dump follows its marker row.
        for row in package.execute("SELECT * FROM %s ORDER BY rowid" % quote_name(table)):
            rid, values = row[0], dict(zip(user, row[3:]))
            if isinstance(rid, str):
                if rid == "filter-discard":
                    self.db.execute("DELETE FROM %s WHERE z_state = 0" % local)
                elif rid.startswith("column-dump: "):
                    dump_column = rid[len("column-dump: "):]
                else:
                    raise ClientError("%s: unknown marker row %r" % (table, rid))
                continue
            if rid is None:
                if dump_column is None or not keys:
                    raise ClientError("%s: a row without row id outside a column dump" % table)
                self.db.execute("UPDATE %s SET %s = ? WHERE %s" % (
                    local, quote_name(dump_column), " AND ".join("%s = ?" % quote_name(k) for k in keys)),
                    [values.get(dump_column)] + [values.get(k) for k in keys])
                applied += 1
                continue
            if not (isinstance(rid, bytes) and len(rid) == 16):
                raise ClientError("%s: row id %r is not 16 bytes" % (table, rid))
            if all(v is None for v in values.values()):
                self.db.execute("DELETE FROM %s WHERE z_rid = ?" % local, (rid,))
            else:
                names = ["z_rid", "z_gen", "z_state"] + user
                self.db.execute("INSERT OR REPLACE INTO %s (%s) VALUES (%s)" % (
                    local, ", ".join(map(quote_name, names)), ", ".join("?" * len(names))),
                    [rid, row[2], CLEAN] + list(row[3:]))
            applied += 1
        return applied

    # ---- push ----

    def build_push_package(self, path, stamp):
        """Writes the local changes as a version-6 push package; returns the number of changes."""
        baseline = self.baseline
        if baseline is None:
            raise ClientError("no baseline: pull before the first push")
        generation, generation_id = (int(x) for x in baseline.split("g"))
        if os.path.exists(path):
            os.remove(path)
        package = sqlite3.connect(path, isolation_level=None)
        try:
            package.execute("PRAGMA page_size = %d" % PAGE_SIZE)
            package.execute("PRAGMA encoding = 'UTF-8'")
            package.execute("BEGIN")
            package.execute("CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER)")
            package.executemany("INSERT INTO p$gen (generation, id) VALUES (?, ?)",
                                [(0, json.dumps({"pv": PACKAGE_VERSION})), (generation, generation_id),
                                 (PUSH_GENERATION, stamp)])
            changes = 0
            for tbl_id, (name, cols, _, _) in sorted(self.tables().items()):
                rows = self.db.execute("SELECT z_rid, z_gen, z_state, %s FROM %s WHERE z_state <> 0 ORDER BY rowid" % (
                    ", ".join(map(quote_name, cols)), quote_name(name))).fetchall()
                if not rows:
                    continue
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
            package.execute("COMMIT")
            return changes
        finally:
            package.close()

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
            answer = self.request("POST", "/push", self.query(h=sha1_hex(upload), **{"from": self.baseline}),
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
                self.mark_pushed()
                return SyncResult(200, applied=self.apply_package(followup), pushed=count)
            status_doc = read_status_doc(followup)
            if status_doc.get("push-succeeded"):
                self.mark_pushed()
            return SyncResult(answer.status, status_doc, pushed=count if status_doc.get("push-succeeded") else 0)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("local_db")
    parser.add_argument("url")
    parser.add_argument("dbfile")
    parser.add_argument("action", choices=["pull", "push", "show"])
    parser.add_argument("--fid", type=int, default=1)
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--scheme")
    parser.add_argument("--cafile", help="check an https server's certificate against these")
    args = parser.parse_args(argv)
    client = Client(args.local_db, args.url, args.dbfile, args.fid, args.user, args.password, args.scheme,
                    cafile=args.cafile)
    try:
        if args.action == "show":
            for tbl_id, info in sorted(client.tables().items()):
                print("%s (%s): %d rows" % (info[0], tbl_id, len(client.rows(info[0]))))
            print("baseline: %s" % client.baseline)
        else:
            result = getattr(client, args.action)()
            print("%s: %r; baseline %s" % (args.action, result, client.baseline))
    except ClientError as error:
        print("tavrin_client: %s" % error, file=sys.stderr)
        return 1
    finally:
        client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
