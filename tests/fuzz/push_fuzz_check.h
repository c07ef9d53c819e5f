// The property the push fuzz target and its corpus test check for one input: the input bytes
// are decoded into a pushed package of format version 2 to 6, built on the live baseline of a
// small dbfile served by the SQL Server stand-in (its header, baseline, stamp, p$ tables,
// columns, declared types, row ids, base versions, values, generations and counts chosen by
// the input, then bytes flipped and the file cut as the input says), and pushed through the
// push request in-process with a valid query (the right hash, fid and baseline). Every answer
// is 2xx or 4xx: the 500s this road has for client input are the query's (a wrong hash, a
// missing or bad fid, no body), which the check never sends. After a 4xx nothing of the
// package is applied; the request leaves no work file behind. Sanitizer reports end the run
// on their own.
//
// Each push starts from the same server state: the data directory is put back from a
// snapshot after any push that may have changed it.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "../core/server/push_ops_fixture.h"
#include "../core/server/store_ops_fixture.h"
#include "common/tav_utils.h"
#include "qk/qk_context.h"
#include "qk/qk_malloc.h"
#include "qk/qk_misc_utils.h"
#include "qk/qk_mssql.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"
#include "server/tav_handle_conflicts.h"
#include "server/tav_respond.h"
#include "server/tav_respond_pull.h"
#include "server/tav_respond_push.h"

namespace push_fuzz {

inline std::string shell(const std::string &cmd, int *pRc = nullptr) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (pRc) *pRc = WEXITSTATUS(rc);
  return out;
}

// Under $TMPDIR, else in memory (/dev/shm) where there is one, which makes the runs several
// times faster, else under /tmp.
inline std::string make_temp_dir(const char *prefix) {
  const char *root = getenv("TMPDIR");
  if (root == nullptr || *root == '\0') root = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string tmpl = std::string(root) + "/" + prefix + "XXXXXX";
  return mkdtemp(tmpl.data());
}

inline std::string hex_of(const void *p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string r;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = ((const unsigned char *)p)[i];
    r += digits[c >> 4];
    r += digits[c & 15];
  }
  return r;
}

inline std::string sql_text(const std::string &s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'') r += '\'';
    r += c;
  }
  return r + "'";
}

inline std::string sql_blob(const std::string &bytes) { return "x'" + hex_of(bytes.data(), bytes.size()) + "'"; }

// One row the server holds, as a client that pulled it knows it.
struct KnownRow {
  std::string rid;  // 16 bytes
  long long txid = 0, gen = 0;
  std::vector<std::string> values;  // SQL literals of the user columns
};

struct Table {
  std::string id;
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> valid;  // per column, SQL literals the server takes
  bool identity = false;
  std::vector<KnownRow> rows;
};

// The server side: a data directory with database "shop" and dbfile "demo" over three host
// tables, its history, and what a client that just pulled knows of it.
struct Env {
  std::string odbcIni, dataDir, work, scratch, snapshot, driver, cli;
  QK_context *ctx = nullptr;
  QK_mssql_connection *conn = nullptr;
  tav_backend_ops ops = {};
  std::vector<Table> tables;
  std::string baselineTx;   // "txid,RSTAMP,rebaseid,count,schema"
  long long baseTxid = 0, baseRebase = 0;
  std::string baseRstamp;   // 16 bytes
  long long baseGen = 0, baseGenId = 0;
  std::string clientSchema;  // the schema JSON a version-4 pull sends
  std::string pristine;      // the host tables before any push
  std::string failure;       // set up failed: why
  std::map<std::string, long> statuses;

  std::string cli_run(const std::string &args) {
    int rc = 0;
    std::string out = shell(cli + " " + args + " 2>&1", &rc);
    if (rc != 0 && failure.empty()) failure = "stand-in CLI failed: " + args + "\n" + out;
    return out;
  }
  std::string take_error() {
    if (!QK_context__has_error(ctx)) return "";
    QK_string *text = nullptr;
    QK_context__error_to_string(ctx, 1, &text);
    std::string r = text ? QK_string__sz(text) : "error";
    QK_string__free(ctx, text);
    QK_context__reset_error(ctx);
    return r.empty() ? "error" : r;
  }
  void open() {
    std::string cs = "Driver=" + driver + ";Server=" + dataDir + ";Database=shop";
    tav_db_mssql__open(ctx, cs.c_str(), nullptr, &conn);
    std::string err = take_error();
    if (!err.empty() && failure.empty()) failure = "open: " + err;
  }
  void close() {
    tav_db_mssql__close(ctx, &conn);
    QK_context__reset_error(ctx);
  }
  void exec(const std::string &sql) {
    QK_mssql__exec(ctx, conn, sql.c_str());
    std::string err = take_error();
    if (!err.empty() && failure.empty()) failure = sql + ": " + err;
  }
  // Rows of a query: columns joined by "|", rows by ";".
  std::string rows(const std::string &sql) {
    SQLHSTMT st = SQL_NULL_HSTMT;
    QK_int16 cols = 0;
    int row = 0;
    std::string out;
    QK_mssql__prepare(ctx, conn, &st, sql.c_str());
    QK_mssql__execute(ctx, st);
    QK_mssql__num_result_cols(ctx, st, &cols);
    while (!QK_context__has_error(ctx)) {
      QK_mssql__fetch(ctx, st, &row);
      if (!row || QK_context__has_error(ctx)) break;
      out += out.empty() ? "" : ";";
      for (int c = 1; c <= cols; c++) {
        char *v = nullptr;
        QK_mssql__get__nstring(ctx, st, (QK_uint16)c, &v);
        out += (c > 1 ? "|" : "") + std::string(v ? v : "NULL");
        QK_free(ctx, v);
      }
    }
    QK_mssql__free_stmt(ctx, st);
    std::string err = take_error();
    return err.empty() ? out : "<error " + err + ">";
  }
  // What a refused push must leave as it is: the host tables and the transaction history.
  std::string host_state() {
    return rows("SELECT id, name, qty FROM dbo.items ORDER BY id") + "\n" +
           rows("SELECT id, item_id, label FROM dbo.parts ORDER BY id") + "\n" +
           rows("SELECT id, amount, data, flag, code, note FROM dbo.kinds ORDER BY id") + "\n" +
           rows("SELECT COUNT(*), MAX(txid) FROM tavrin.demo$t$tx");
  }

  // The server's answer to a fresh pull of the version, decompressed into a file.
  std::string pull(int pv) {
    tav_pkg r = {};
    QK_vhash *q = nullptr, *hd = nullptr;
    char *b = nullptr;
    QK_string *m = nullptr;
    int st = 0;
    std::string file = scratch + "/pulled" + std::to_string(pv) + ".pkg";
    std::filesystem::remove(file);
    QK_vhash__alloc__from_json(ctx, &q, ("{\"db\":\"demo\",\"fid\":\"7\",\"pv\":\"" + std::to_string(pv) + "\"}").c_str());
    tav_respond__pull_request(ctx, &ops, conn, nullptr, nullptr, work.c_str(), q, nullptr, nullptr, &st, &r, &b, &hd, &m);
    if (!QK_context__has_error(ctx) && r.path != nullptr) QK_file__decompress(ctx, r.path, file.c_str(), 1 << 30);
    std::string err = take_error();
    if ((!err.empty() || st != 200) && failure.empty())
      failure = "pull " + std::to_string(pv) + ": " + std::to_string(st) + " " + err + (b ? b : "");
    tav_pkg__close(ctx, &r);
    QK_context__reset_error(ctx);
    QK_vhash__free(ctx, q);
    QK_vhash__free(ctx, hd);
    QK_free(ctx, b);
    QK_string__free(ctx, m);
    return file;
  }

  // SQL literal of a package value.
  static std::string literal(sqlite3_stmt *st, int col) {
    switch (sqlite3_column_type(st, col)) {
      case SQLITE_NULL: return "NULL";
      case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(st, col));
      case SQLITE_FLOAT: return std::to_string(sqlite3_column_double(st, col));
      case SQLITE_BLOB:
        return sql_blob(std::string((const char *)sqlite3_column_blob(st, col), sqlite3_column_bytes(st, col)));
      default: return sql_text((const char *)sqlite3_column_text(st, col));
    }
  }

  // Learns baselines, row ids, base versions and the client schema from pulls of version 4
  // and 6.
  void learn() {
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    std::string v4 = pull(4), v6 = pull(6);
    if (!failure.empty()) return;
    sqlite3_open(v4.c_str(), &db);
    if (sqlite3_prepare_v2(db, "SELECT rstamp FROM p$tx WHERE txid = 0", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      baselineTx = (const char *)sqlite3_column_text(st, 0);
    sqlite3_finalize(st);
    if (sqlite3_prepare_v2(db, "SELECT scheme FROM p$tx WHERE txid = -1", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      clientSchema = (const char *)sqlite3_column_text(st, 0);
    sqlite3_finalize(st);
    for (Table &t : tables) {
      std::string sql = "SELECT z_rid, z_txid";
      for (const std::string &c : t.columns) sql += ", \"" + c + "\"";
      sql += " FROM \"p$u$" + t.id + "\" ORDER BY _ROWID_";
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) continue;
      while (sqlite3_step(st) == SQLITE_ROW) {
        KnownRow r;
        r.rid.assign((const char *)sqlite3_column_blob(st, 0), sqlite3_column_bytes(st, 0));
        r.txid = sqlite3_column_int64(st, 1);
        for (size_t c = 0; c < t.columns.size(); c++) r.values.push_back(literal(st, (int)c + 2));
        t.rows.push_back(r);
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    db = nullptr;
    sqlite3_open(v6.c_str(), &db);
    if (sqlite3_prepare_v2(db, "SELECT generation, id FROM p$gen WHERE generation > 0 ORDER BY generation DESC LIMIT 1",
                           -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      baseGen = sqlite3_column_int64(st, 0);
      baseGenId = sqlite3_column_int64(st, 1);
    }
    sqlite3_finalize(st);
    for (Table &t : tables) {
      for (KnownRow &r : t.rows) {
        std::string sql = "SELECT z_gen_add FROM \"p$u$" + t.id + "\" WHERE z_rid = ?";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) continue;
        sqlite3_bind_blob(st, 1, r.rid.data(), (int)r.rid.size(), SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) r.gen = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
      }
    }
    sqlite3_close(db);
    // The baseline's fields, for the old header forms.
    size_t c1 = baselineTx.find(','), c2 = baselineTx.find(',', c1 + 1), c3 = baselineTx.find(',', c2 + 1);
    if (c3 == std::string::npos || baseGen == 0) {
      if (failure.empty()) failure = "no baseline in the pulled packages: '" + baselineTx + "'";
      return;
    }
    baseTxid = atoll(baselineTx.substr(0, c1).c_str());
    std::string hex = baselineTx.substr(c1 + 1, c2 - c1 - 1);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) baseRstamp += (char)strtol(hex.substr(i, 2).c_str(), nullptr, 16);
    baseRebase = atoll(baselineTx.substr(c2 + 1, c3 - c2 - 1).c_str());
  }

  void set_up() {
    const char *pszDriver = getenv("PUSH_FUZZ_DRIVER"), *pszCli = getenv("PUSH_FUZZ_CLI");
    if (pszDriver == nullptr || pszCli == nullptr) {
      failure = "PUSH_FUZZ_DRIVER and PUSH_FUZZ_CLI name the stand-in's ODBC driver and CLI";
      return;
    }
    driver = pszDriver;
    cli = pszCli;
    odbcIni = make_temp_dir("tav_pushfuzz_odbc_");
    std::ofstream(odbcIni + "/odbcinst.ini") << "[ODBC]\nTrace=No\n";
    std::ofstream(odbcIni + "/odbc.ini") << "";
    setenv("ODBCSYSINI", odbcIni.c_str(), 1);
    dataDir = make_temp_dir("tav_pushfuzz_data_");
    work = make_temp_dir("tav_pushfuzz_work_");
    scratch = make_temp_dir("tav_pushfuzz_scratch_");
    snapshot = scratch + "/pristine.snap";
    if (QK_context__alloc(&ctx) != QK_OK) {
      failure = "no context";
      return;
    }
    ops = store_ops();
    add_push_ops(&ops);
    cli_run("create-db " + dataDir + " shop");
    std::ofstream(scratch + "/tables.sql")
        << "CREATE TABLE dbo.items (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(50) NOT NULL, qty int "
           "NULL)\n"
           "CREATE TABLE dbo.parts (id int NOT NULL PRIMARY KEY, item_id int NULL REFERENCES dbo.items (id), label "
           "nvarchar(20) NULL)\n"
           "CREATE TABLE dbo.kinds (id int NOT NULL PRIMARY KEY, amount decimal(10,2) NULL, data varbinary(16) NULL, "
           "flag bit NULL, code char(4) NULL, note nvarchar(max) NULL)\n";
    cli_run("run " + dataDir + " shop " + scratch + "/tables.sql");
    cli_run("create-config " + dataDir + " shop");
    cli_run("register-dbfile " + dataDir + " shop demo");
    cli_run("create-dbfile " + dataDir + " shop demo");
    struct {
      const char *name;
      std::vector<std::string> columns;
      std::vector<std::vector<std::string>> valid;
      bool identity;
    } defs[] = {
        {"dbo.items", {"id", "name", "qty"}, {{"100", "101", "102"}, {"'n'", "'zz'", "''"}, {"0", "7", "NULL"}}, true},
        {"dbo.parts", {"id", "item_id", "label"}, {{"10", "11", "12"}, {"1", "3", "NULL"}, {"'l'", "NULL", "'p9'"}},
         false},
        {"dbo.kinds",
         {"id", "amount", "data", "flag", "code", "note"},
         {{"20", "21", "22"},
          {"1250", "325", "NULL"},
          {"x'0102'", "x''", "NULL"},
          {"1", "0", "NULL"},
          {"'abcd'", "'x'", "NULL"},
          {"'note'", "''", "NULL"}},
         false},
    };
    for (const auto &d : defs) {
      std::string out = cli_run("add-table " + dataDir + " shop demo " + d.name);
      Table t;
      t.id = out.substr(0, out.find('\n'));
      t.columns = d.columns;
      t.valid = d.valid;
      t.identity = d.identity;
      tables.push_back(t);
    }
    cli_run("add-acl " + dataDir + " shop demo '' anyone '*' pull allow");
    cli_run("add-acl " + dataDir + " shop demo '' anyone '*' '*' allow");
    if (!failure.empty()) return;
    open();
    if (!failure.empty()) return;
    // History: T1 inserts, T2 (stamped as a push is) changes and deletes, each in a
    // generation of its own.
    tav_db_handle *h = nullptr;
    QK_int64 g = 0, txid = 0;
    QK_uint8 rstamp[16];
    for (int i = 0; i < 16; i++) rstamp[i] = (QK_uint8)(0xA0 + i);
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    tav_db_mssql__begin_tx(ctx, h, &g);
    tav_db_mssql__commit_tx(ctx, h);
    if (!take_error().empty()) failure = "generation";
    exec("BEGIN TRANSACTION");
    exec("INSERT INTO dbo.items (name, qty) VALUES (N'a', 1), (N'b', 2), (N'c', 3);"
         "INSERT INTO dbo.parts VALUES (1, 1, N'p1'), (2, 2, N'p2');"
         "INSERT INTO dbo.kinds VALUES (1, 1.50, 0x00ff, 1, 'abcd', N'first'), (2, NULL, NULL, NULL, NULL, NULL);");
    exec("COMMIT TRANSACTION");
    tav_db_mssql__begin_tx(ctx, h, &g);
    tav_db_mssql__commit_tx(ctx, h);
    exec("BEGIN TRANSACTION");
    tav_db_mssql__get_tx_id(ctx, h, rstamp, &txid);
    if (!take_error().empty()) failure = "stamped transaction";
    exec("UPDATE dbo.items SET name = N'A' WHERE id = 1; DELETE FROM dbo.parts WHERE id = 2;"
         "DELETE FROM dbo.items WHERE id = 2; UPDATE dbo.kinds SET note = N'second' WHERE id = 1;");
    exec("COMMIT TRANSACTION");
    tav_db_mssql__handle_free(ctx, &h);
    QK_context__reset_error(ctx);
    if (!failure.empty()) return;
    learn();
    if (!failure.empty()) return;
    pristine = host_state();
    close();
    cli_run("snapshot " + dataDir + " shop " + snapshot);
    open();
  }
  // Puts the database back as the CLI's restore does, without starting it: the stand-in keeps
  // a database as one SQLite file of the data directory.
  void restore() {
    close();
    sqlite3 *from = nullptr, *to = nullptr;
    bool done = false;
    if (sqlite3_open_v2(snapshot.c_str(), &from, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_open_v2((dataDir + "/shop.sqlite").c_str(), &to, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      sqlite3_backup *b = sqlite3_backup_init(to, "main", from, "main");
      done = b != nullptr && sqlite3_backup_step(b, -1) == SQLITE_DONE;
      done = sqlite3_backup_finish(b) == SQLITE_OK && done;
    }
    sqlite3_close(from);
    sqlite3_close(to);
    if (!done) cli_run("restore " + dataDir + " shop " + snapshot);
    open();
    if (failure.empty() && host_state() != pristine) failure = "the restored database differs from the snapshot";
  }
  ~Env() {
    close();
    QK_context__free(ctx);
    for (const std::string &d : {odbcIni, dataDir, work, scratch})
      if (!d.empty()) std::filesystem::remove_all(d);
  }
};

inline Env *&env_instance() {
  static Env *e = nullptr;
  return e;
}

inline void print_stats();

// At exit: the answers seen (with PUSH_FUZZ_STATS), then the directories go.
inline void finish_env() {
  if (getenv("PUSH_FUZZ_STATS") != nullptr) print_stats();
  delete env_instance();
  env_instance() = nullptr;
}

inline Env &env() {
  Env *&e = env_instance();
  if (e == nullptr) {
    e = new Env();
    e->set_up();
    atexit(finish_env);
  }
  return *e;
}

// The environment on the stand-in these name, unless the process environment names one.
inline Env &env_with(const char *driver, const char *cli) {
  setenv("PUSH_FUZZ_DRIVER", driver, 0);
  setenv("PUSH_FUZZ_CLI", cli, 0);
  return env();
}

inline void print_stats() {
  Env &e = *env_instance();
  fprintf(stderr, "push fuzz answers:");
  for (const auto &s : e.statuses) fprintf(stderr, " %s=%ld", s.first.c_str(), s.second);
  fprintf(stderr, "\n");
}

// ---- Decoding the input ----

// Reads the input byte by byte; past its end every read gives zero.
struct Reader {
  const unsigned char *p;
  size_t n, i = 0;
  Reader(const unsigned char *data, size_t size) : p(data), n(size) {}
  unsigned byte() { return i < n ? p[i++] : 0; }
  unsigned pick(unsigned count) { return count ? byte() % count : 0; }
  bool flag() { return byte() & 1; }
  long long int64() {
    unsigned long long v = 0;
    for (int k = 0; k < 8; k++) v = (v << 8) | byte();
    return (long long)v;
  }
  std::string bytes(size_t len) {
    std::string r;
    for (size_t k = 0; k < len; k++) r += (char)byte();
    return r;
  }
};

// A number a client may put where a txid, generation or count goes.
inline long long odd_number(Reader &in, long long sane) {
  switch (in.pick(8)) {
    case 0: return sane;
    case 1: return sane + 1;
    case 2: return sane - 1;
    case 3: return 0;
    case 4: return -1;
    case 5: return 9223372036854775807LL;
    case 6: return TAV_PKG_PLACEHOLDER_TXID;
    default: return in.int64();
  }
}

// A JSON text with one value replaced, a member dropped or its end cut, as the input says.
inline std::string mutate_json(Reader &in, std::string json) {
  static const char *const values[] = {"1", "\"x\"", "[]", "{}", "null", "true", "1.5", "\"-9223372036854775808\"",
                                       "-1", "\"\""};
  unsigned kind = in.pick(4);
  if (kind == 0 || json.empty()) return json;
  std::vector<size_t> colons;
  for (size_t k = 0; k < json.size(); k++)
    if (json[k] == ':') colons.push_back(k);
  if (kind == 3) return json.substr(0, in.pick((unsigned)json.size()));
  if (colons.empty()) return json;
  size_t at = colons[in.pick((unsigned)colons.size())] + 1;
  // The value runs to the next "," or "}" at its own depth.
  size_t end = at;
  int depth = 0;
  bool quoted = false;
  for (; end < json.size(); end++) {
    char c = json[end];
    if (quoted) {
      if (c == '\\') end++;
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') quoted = true;
    else if (c == '{' || c == '[') depth++;
    else if ((c == '}' || c == ']') && depth-- == 0) break;
    else if (c == ',' && depth == 0) break;
  }
  if (kind == 1) return json.substr(0, at) + values[in.pick(10)] + json.substr(end);
  // Drop the member: from its key's opening quote to the end of its value.
  size_t keyStart = json.rfind('"', json.rfind('"', at - 2) - 1);
  if (keyStart == std::string::npos) return json;
  size_t stop = end < json.size() && json[end] == ',' ? end + 1 : end;
  return json.substr(0, keyStart) + json.substr(stop);
}

struct Package {
  std::vector<std::string> sql;  // statements, run in order; a failing one is skipped
};

// The package the input describes, written to path.
inline void build_package(Reader &in, Env &e, int pv, const std::string &path, std::string *pFrom) {
  Package pkg;
  std::vector<std::string> &s = pkg.sql;
  const std::string ph = std::to_string(TAV_PKG_PLACEHOLDER_TXID);
  unsigned headerFlags = in.byte(), tableFlags = in.byte();
  std::string stamp = in.bytes(16);
  // The stamp of the server's second transaction: a push applied before.
  const std::string serverStamp("\xA0\xA1\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9\xAA\xAB\xAC\xAD\xAE\xAF", 16);
  if (in.pick(8) == 7) stamp = serverStamp;
  if (headerFlags & 1) stamp = stamp.substr(0, in.pick(20));  // a stamp of the wrong length
  if (pv <= 5) {
    s.push_back("CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER)");
    std::string baseline = "NULL";
    if (pv >= 4) {
      baseline = sql_text(e.baselineTx);
      if (headerFlags & 2) {
        // One field of the baseline text changed, or an item appended.
        std::string b = e.baselineTx;
        switch (in.pick(6)) {
          case 0: b = std::to_string(odd_number(in, e.baseTxid)) + b.substr(b.find(',')); break;
          case 1: {
            size_t at = b.find(',') + 1 + in.pick(32);
            b[at] ^= (char)(1 + in.pick(6));
            break;
          }
          case 2: b += "m" + std::to_string(odd_number(in, e.baseTxid)); break;
          case 3: b += ";F" + e.tables[in.pick(3)].id; break;
          case 4: b = b.substr(0, in.pick((unsigned)b.size())); break;
          default: b += "o1," + std::to_string(odd_number(in, 1)); break;
        }
        baseline = sql_text(b);
      }
    }
    std::string version = std::to_string(pv);
    if (headerFlags & 4) {
      const char *const versions[] = {"'4'", "4.0", "'x'", "NULL", "4294967300", "x'04'"};
      version = versions[in.pick(6)];
    }
    if (!(headerFlags & 8)) s.push_back("INSERT INTO p$tx VALUES (0, " + version + ", " + baseline + ", 0)");
    if (!(headerFlags & 16)) s.push_back("INSERT INTO p$tx VALUES (" + ph + ", NULL, " + sql_blob(stamp) + ", 0)");
    if (headerFlags & 32) s.push_back("INSERT INTO p$tx VALUES (" + ph + ", NULL, " + sql_blob(in.bytes(16)) + ", 0)");
    if (pv <= 3 && !(headerFlags & 64)) {
      std::string rstamp = e.baseRstamp;
      if (headerFlags & 2) rstamp[in.pick(16)] ^= 1;
      long long txid = odd_number(in, e.baseTxid);
      long long rebaseid = odd_number(in, e.baseRebase);
      s.push_back("INSERT INTO p$tx VALUES (" + std::to_string(txid) + ", 'last_sync_txid', " + sql_blob(rstamp) + ", " +
                  std::to_string(rebaseid) + ")");
    }
    if (pv >= 4 && (headerFlags & 64))
      s.push_back("INSERT INTO p$tx VALUES (-1, " + sql_text(mutate_json(in, e.clientSchema)) + ", NULL, 0)");
    if (headerFlags & 128) s.push_back("INSERT INTO p$tx VALUES ('first', NULL, " + sql_blob(in.bytes(16)) + ", 0)");
    s.push_back("CREATE TABLE p$ipk (rid BLOB, ipk INTEGER, tbl TEXT)");
    if (pFrom && pv >= 4) *pFrom = e.baselineTx;
  } else {
    s.push_back("CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER)");
    std::string header = "{\"pv\":6}";
    if (headerFlags & 64) header = "{\"pv\":6,\"schema\":" + e.clientSchema + "}";
    if (headerFlags & 4) header = mutate_json(in, header);
    if (!(headerFlags & 8)) s.push_back("INSERT INTO p$gen VALUES (0, " + sql_text(header) + ")");
    long long g = e.baseGen, id = e.baseGenId;
    if (headerFlags & 2) {
      g = odd_number(in, g);
      id = odd_number(in, id);
    }
    s.push_back("INSERT INTO p$gen VALUES (" + std::to_string(g) + ", " + std::to_string(id) + ")");
    if (!(headerFlags & 16)) s.push_back("INSERT INTO p$gen VALUES (-2, " + sql_blob(stamp) + ")");
    // A rolled-back timeline the client holds, or earlier pushes it still carries.
    if (headerFlags & 32) {
      long long lost = odd_number(in, e.baseGen + 1);
      long long lostId = in.int64();
      s.push_back("INSERT INTO p$gen VALUES (" + std::to_string(lost) + ", " + std::to_string(lostId) + ")");
    }
    if (headerFlags & 128) {
      long long earlier = -3 - (long long)in.pick(3);
      std::string earlierStamp = in.pick(4) ? in.bytes(16) : serverStamp;
      s.push_back("INSERT INTO p$gen VALUES (" + std::to_string(earlier) + ", " + sql_blob(earlierStamp) + ")");
    }
    if (pFrom) *pFrom = std::to_string(e.baseGen) + "g" + std::to_string(e.baseGenId);
  }

  // The tables: the input picks which, their names, columns and declared types.
  unsigned tableCount = 1 + in.pick(3);
  std::vector<std::string> names(e.tables.size());
  std::vector<std::vector<std::string>> columns(e.tables.size());
  for (unsigned k = 0; k < tableCount; k++) {
    unsigned t = in.pick((unsigned)e.tables.size());
    if (!names[t].empty()) continue;
    std::string name = e.tables[t].id;
    if (tableFlags & 1) {
      static const char *const odd[] = {"999999", "", "\"", "x\"y", "9999999999999999999999999999999999999999999999999999999999999999",
                                        "%s", "1 ", "-1"};
      unsigned which = in.pick(10);
      if (which < 8) name = odd[which];
      else if (which == 8) name = " " + name;
      else name += "0";
    }
    names[t] = name;
    std::vector<std::string> cols = e.tables[t].columns;
    if (tableFlags & 2) {
      switch (in.pick(5)) {
        case 0: cols.push_back("nosuch"); break;
        case 1: cols.erase(cols.begin() + in.pick((unsigned)cols.size())); break;
        case 2: cols[in.pick((unsigned)cols.size())] = "NAME"; break;
        case 3: cols.push_back(cols[0]); break;
        default: cols.push_back("z_txid"); break;
      }
    }
    columns[t] = cols;
    std::string quoted = "\"" + std::string(name) + "\"";
    std::string list;
    static const char *const types[] = {" INTEGER", " BLOB", " TEXT", " REAL", " NUMERIC NOT NULL"};
    std::string type = (tableFlags & 4) ? types[in.pick(5)] : "";
    for (const std::string &c : cols) list += ", \"" + c + "\"" + type;
    if (pv <= 5) {
      std::string ridType = (tableFlags & 8) ? " INTEGER" : " BLOB";
      s.push_back("CREATE TABLE \"p$u$" + name + "\" (z_rid" + ridType + ", z_txid INTEGER" + list + ")");
      if (!(tableFlags & 16))
        s.push_back("CREATE TABLE \"p$rd$" + name +
                    "\" (rid BLOB NOT NULL, txid_rec_add INTEGER NULL, txid_rec_del INTEGER NULL, txid INTEGER NOT NULL)");
    } else {
      s.push_back("CREATE TABLE \"p$u$" + name + "\" (z_rid BLOB, z_gen_del INT, z_gen_add INT" + list + ")");
      if (tableFlags & 16) s.push_back("ALTER TABLE \"p$u$" + name + "\" ADD COLUMN z_txid INTEGER");
    }
  }
  // A table only the server writes, or one no server knows.
  if (tableFlags & 32) {
    static const char *const extra[] = {"CREATE TABLE p$audit (rid BLOB, txid INTEGER)", "CREATE TABLE \"p$ipk$1\" (a)",
                                        "CREATE TABLE \"P$S\" (txid, json)", "CREATE TABLE p$x (a)",
                                        "CREATE TABLE \"p$u$\" (z_rid BLOB, z_txid INTEGER)"};
    s.push_back(extra[in.pick(5)]);
  }

  // The changes: a count, then per change its table, kind, row id, base and values.
  unsigned changes = in.pick(9);
  std::vector<std::string> usedRids;
  for (unsigned k = 0; k < changes; k++) {
    unsigned t = in.pick((unsigned)e.tables.size());
    if (names[t].empty() && columns[t].empty()) continue;
    const Table &tbl = e.tables[t];
    unsigned op = in.pick(4);  // insert, update, delete, neither
    std::string rid;
    const KnownRow *known = nullptr;
    switch (in.pick(6)) {
      case 0:
      case 1:
        if (!tbl.rows.empty()) {
          known = &tbl.rows[in.pick((unsigned)tbl.rows.size())];
          rid = known->rid;
          break;
        }
        [[fallthrough]];
      case 2:
      case 3: rid = in.bytes(16); break;
      case 4: rid = in.bytes(in.pick(24)); break;
      default: rid = usedRids.empty() ? in.bytes(16) : usedRids[in.pick((unsigned)usedRids.size())]; break;
    }
    usedRids.push_back(rid);
    if (op == 0 && known == nullptr && in.pick(4) == 3) op = 1;
    long long sane = known ? (pv == 6 ? known->gen : known->txid) : 0;
    std::string base;
    switch (in.pick(5)) {
      case 0:
      case 1: base = op == 0 ? "NULL" : std::to_string(sane); break;
      case 2: base = "NULL"; break;
      case 3: base = std::to_string(odd_number(in, sane)); break;
      default: base = in.flag() ? "'text'" : "x'01'"; break;
    }
    // The values: valid ones for the column, or whatever the input says.
    std::vector<std::string> values;
    for (size_t c = 0; c < columns[t].size(); c++) {
      size_t real = c < tbl.columns.size() ? c : 0;
      std::string v;
      switch (in.pick(10)) {
        case 0: v = "NULL"; break;
        case 1: v = std::to_string((int)(signed char)in.byte()); break;
        case 2: v = std::to_string(in.int64()); break;
        case 3: v = sql_text(in.bytes(in.pick(12))); break;
        case 4: v = sql_blob(in.bytes(in.pick(12))); break;
        case 5: v = std::to_string(in.int64() / 1e6); break;
        case 6: v = in.flag() ? "'C:" + std::to_string(in.pick(200)) + "'" : "'S:" + std::to_string(in.pick(4)) + "'"; break;
        default:
          v = known && in.flag() ? known->values[real] : tbl.valid[real][in.pick((unsigned)tbl.valid[real].size())];
          break;
      }
      values.push_back(v);
    }
    std::string vlist;
    for (const std::string &v : values) vlist += ", " + (op >= 2 ? std::string("NULL") : v);
    std::string q = "\"" + names[t] + "\"";
    if (pv <= 5) {
      if (op <= 1) s.push_back("INSERT INTO \"p$u$" + names[t] + "\" VALUES (" + sql_blob(rid) + ", " + ph + vlist + ")");
      std::string add = op <= 1 ? ph : "NULL", del = op == 0 ? "NULL" : base;
      if (op == 3) del = "NULL";
      s.push_back("INSERT INTO \"p$rd$" + names[t] + "\" VALUES (" + sql_blob(rid) + ", " + add + ", " + del + ", " +
                  (in.pick(8) != 7 ? ph : std::to_string(odd_number(in, 1))) + ")");
      if (tbl.identity && op == 0 && in.pick(4) != 3)
        s.push_back("INSERT INTO p$ipk VALUES (" + sql_blob(rid) + ", " + values[0] + ", " +
                    sql_text(in.pick(4) != 3 ? names[t] : "nosuch") + ")");
    } else {
      std::string del = op == 0 ? "NULL" : base;
      std::string add = in.pick(8) != 7 ? "-2" : std::to_string(odd_number(in, e.baseGen));
      s.push_back("INSERT INTO \"p$u$" + names[t] + "\" (z_rid, z_gen_del, z_gen_add" +
                  [&] {
                    std::string l;
                    for (const std::string &c : columns[t]) l += ", \"" + c + "\"";
                    return l;
                  }() +
                  ") VALUES (" + sql_blob(rid) + ", " + del + ", " + add + vlist + ")");
    }
  }

  sqlite3 *db = nullptr;
  std::filesystem::remove(path);
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return;
  }
  sqlite3_exec(db, "PRAGMA page_size=4096; BEGIN", nullptr, nullptr, nullptr);
  for (const std::string &stmt : s) sqlite3_exec(db, stmt.c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

// Flips bytes of the file and cuts it, as the input says.
inline void damage_file(Reader &in, const std::string &path) {
  std::string data;
  {
    std::ifstream f(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  unsigned flips = in.pick(4);
  if (!data.empty()) {
    for (unsigned k = 0; k < flips; k++) {
      size_t at = (size_t)in.byte() << 8;
      at = (at | in.byte()) % data.size();
      if (in.flag()) at = 28 + in.pick(72);  // the header's counters and sizes
      if (at < data.size()) data[at] ^= (char)(1 + in.byte() % 255);
    }
  }
  if (in.pick(8) == 7) {
    size_t length = (size_t)in.byte() << 8;
    data.resize((length | in.byte()) % (data.size() + 1));
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// ---- The check ----

struct Result {
  std::string verdict;  // "" when the property holds, else what broke it
  int status = 0;
  long long txid = 0;
  std::string body;
};

// Runs one input.
inline Result run(const unsigned char *data, size_t size) {
  Env &e = env();
  Result result;
  if (!e.failure.empty()) {
    result.verdict = "set-up failed: " + e.failure;
    return result;
  }
  Reader in(data, size);
  int pv = 2 + (int)in.pick(5);
  unsigned queryFlags = in.byte();
  std::string pkgPath = e.scratch + "/upload.pkg", bodyPath = e.scratch + "/body.z", from;
  build_package(in, e, pv, pkgPath, &from);
  damage_file(in, pkgPath);
  QK_context *ctx = e.ctx;
  char sha1[41] = "";
  std::filesystem::remove(bodyPath);
  QK_file__compress(ctx, pkgPath.c_str(), bodyPath.c_str());
  tav_sha1__file(ctx, pkgPath.c_str(), sha1);
  std::string err = e.take_error();
  if (!err.empty()) {
    result.verdict = "could not seal the package: " + err;
    return result;
  }
  if (queryFlags & 1) {
    // The compressed body damaged: cut or flipped.
    std::string body;
    {
      std::ifstream f(bodyPath, std::ios::binary);
      body.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    if (!body.empty()) {
      if (in.flag()) body.resize(in.pick((unsigned)body.size()));
      else {
        size_t at = in.pick((unsigned)body.size());
        body[at] ^= (char)(1 + in.pick(255));
      }
    }
    std::ofstream(bodyPath, std::ios::binary | std::ios::trunc) << body;
  }
  std::string query = "{\"db\":\"demo\",\"fid\":\"" + std::to_string(in.pick(3) != 2 ? 7 : 8) + "\",\"h\":\"" + sha1 + "\"";
  if (!from.empty() && !(queryFlags & 2)) query += ",\"from\":\"" + from + "\"";
  if (queryFlags & 4) query += ",\"nrp\":\"\"";
  query += "}";

  QK_vhash *q = nullptr, *headers = nullptr;
  char *body = nullptr;
  QK_string *message = nullptr;
  tav_pkg response = {};
  QK_int32 cancelFlag = 0;
  QK_int64 txid = 0, txidR = 0;
  int status = 0;
  QK_vhash__alloc__from_json(ctx, &q, query.c_str());
  QK_context__set_user_data(ctx, &cancelFlag);
  tav_respond__push_request(ctx, &e.ops, nullptr, nullptr, e.conn, nullptr, nullptr, e.work.c_str(), q, nullptr,
                            bodyPath.c_str(), nullptr, &txid, &txidR, &status, &response, &body, &headers, &message);
  err = e.take_error();
  QK_context__set_user_data(ctx, nullptr);
  std::string text = body ? body : "";
  tav_pkg__close(ctx, &response);
  QK_context__reset_error(ctx);
  QK_vhash__free(ctx, q);
  QK_vhash__free(ctx, headers);
  QK_free(ctx, body);
  QK_string__free(ctx, message);

  std::string verdict;
  e.statuses[std::to_string(status)]++;
  if (!err.empty()) {
    verdict = "the push request failed instead of answering: " + err;
  } else if (status == 500) {
    verdict = "client input answered 500:\n" + text;
  } else if (status < 200 || status >= 500) {
    verdict = "status " + std::to_string(status) + ":\n" + text;
  }
  int leftovers = 0;
  for (const auto &f : std::filesystem::directory_iterator(e.work)) {
    (void)f;
    leftovers++;
  }
  if (verdict.empty() && leftovers != 0) verdict = "the push left " + std::to_string(leftovers) + " work files";
  if (leftovers) {
    for (const auto &f : std::filesystem::directory_iterator(e.work)) std::filesystem::remove_all(f.path());
  }
  bool refused = status >= 400 && status < 500;
  std::string after = (refused || txid != 0 || txidR != 0 || status >= 500) ? e.host_state() : e.pristine;
  if (verdict.empty() && refused && txidR == 0 && after != e.pristine)
    verdict = "a refused push (" + std::to_string(status) + ") changed the server:\n" + e.pristine + "\n---\n" + after +
              "\n" + text;
  // Anything that may have written goes back to the snapshot.
  if (!refused || after != e.pristine || txid != 0 || txidR != 0) e.restore();
  if (!e.failure.empty() && verdict.empty()) verdict = "restore failed: " + e.failure;
  if (!verdict.empty()) verdict = "query " + query + "\n" + verdict;
  result.verdict = verdict;
  result.status = status;
  result.txid = txid;
  result.body = text;
  return result;
}

// ---- Seeds ----

// One change of a seed: table index, kind (0 insert, 1 update, 2 delete), the known row it
// changes (index) or -1 for a new row, and per column the index of a valid value, or -1 for
// the known row's own value.
struct SeedChange {
  unsigned table, op;
  int row;
  std::vector<int> values;
};

// The input bytes that decode to a valid push of the version with these changes (the decoder
// above read backwards: every choice is the plain one).
inline std::string seed_input(int pv, const std::vector<SeedChange> &changes, unsigned char stampByte) {
  std::string b;
  auto put = [&b](unsigned v) { b += (char)v; };
  put((unsigned)(pv - 2));  // version
  put(0);                   // query flags
  put(0);                   // header flags
  put(0);                   // table flags
  for (int k = 0; k < 16; k++) put(stampByte + k);  // the push's stamp
  put(0);                                             // not a stamp the server holds
  if (pv <= 3) {
    put(0);  // the baseline txid as pulled
    put(0);  // its rebaseid as pulled
  }
  put(2);  // three table picks: every table
  put(0);
  put(1);
  put(2);
  put((unsigned)changes.size());
  for (const SeedChange &c : changes) {
    put(c.table);
    put(c.op);
    if (c.row >= 0) {
      put(0);
      put((unsigned)c.row);
    } else {
      put(2);
      for (int k = 0; k < 16; k++) put(stampByte + 0x40 + (unsigned)b.size() + k);
      if (c.op == 0) put(0);  // stays an insert
    }
    put(0);  // the base as pulled
    for (int v : c.values) {
      put(7);  // a valid value
      if (c.row >= 0) put(v < 0 ? 1 : 0);
      if (v >= 0) put((unsigned)v);
    }
    if (pv <= 5) {
      put(0);  // the placeholder txid
      if (c.table == 0 && c.op == 0) {
        put(0);  // a p$ipk row for the identity value
        put(0);  // naming the table
      }
    } else {
      put(0);  // z_gen_add -2
    }
  }
  put(0);  // no flips
  put(0);  // no cut
  put(0);  // fid 7
  return b;
}

// The valid pushes the fuzzer starts from, per version: an insert of each table, an update,
// a delete, and a mix.
inline std::vector<std::string> seeds() {
  std::vector<std::string> out;
  for (int pv = 2; pv <= 6; pv++) {
    unsigned char stamp = (unsigned char)(0x10 * pv);
    out.push_back(seed_input(pv, {{0, 0, -1, {0, 0, 1}}, {1, 0, -1, {0, 0, 0}}}, stamp));
    out.push_back(seed_input(pv, {{0, 1, 1, {-1, 1, 1}}, {2, 1, 0, {-1, 0, 0, 1, 0, 0}}}, stamp + 1));
    out.push_back(seed_input(pv, {{1, 2, 0, {-1, -1, -1}}}, stamp + 2));
    out.push_back(seed_input(pv, {{2, 0, -1, {1, 1, 0, 0, 1, 0}}, {0, 1, 0, {-1, 0, 2}}, {2, 2, 1, {-1, -1, -1, -1, -1, -1}}},
                             stamp + 3));
  }
  return out;
}

}  // namespace push_fuzz
