#include "qksqlite/qk_sqlite.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "context_fixture.h"
#include "python_oracle.h"

namespace {

struct Sqlite : ContextTest {
  std::string dir;
  void SetUp() override {
    ContextTest::SetUp();
    char tmpl[] = "/tmp/qk_sqlite_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    ContextTest::TearDown();
  }
  std::string path(const std::string &name) { return dir + "/" + name; }

  // "domain/code:message" of the pending error, or "ok"; resets it.
  std::string take_sqlite_error() {
    QK_error err;
    QK_context__get_error(ctx, &err);
    if (!QK_context__has_error(ctx)) return "ok";
    std::string r = std::to_string(QK_ERROR_DOMAIN(err)) + "/" + std::to_string(QK_ERROR_CODE(err)) + ":" + message();
    QK_context__reset_error(ctx);
    return r;
  }
  static std::string read_file(const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Runs python with the sqlite3 module on the test directory (bound as D).
  std::vector<std::vector<std::string>> python(const std::string &body) {
    return python_oracle_rows("import sqlite3, os\nD = '" + dir + "'\n" + body);
  }
};

TEST_F(Sqlite, CreateBindStepAndReadBackThroughPython) {
  sqlite3 *db = nullptr;
  sqlite3_stmt *st = nullptr;
  const QK_uint8 guid[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xff};
  std::string text = "it's \xc3\xa9";
  QK_sqlite__create_new_db(ctx, path("a.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
  ASSERT_EQ(take_error(), "ok");
  int fk = 0, defensive = 0, trusted = 1;
  QK_sqlite__one_int(ctx, db, &fk, "PRAGMA foreign_keys");
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, -1, &defensive);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, -1, &trusted);
  EXPECT_EQ(fk, 1);
  EXPECT_EQ(defensive, 1);
  EXPECT_EQ(trusted, 0);

  QK_sqlite__exec_printf(ctx, db, "CREATE TABLE \"%s\" (i, d, n, t, g)", "p$u$1");
  QK_sqlite__prepare_printf(ctx, db, &st, "INSERT INTO \"p$u$1\" VALUES (?, ?, ?, ?, ?)");
  QK_sqlite__bind_int64(ctx, st, 1, INT64_MIN);
  QK_sqlite__bind_double(ctx, st, 2, 0.1);
  QK_sqlite__bind_null(ctx, st, 3);
  QK_sqlite__bind_text(ctx, st, 4, text.c_str());
  QK_sqlite__bind_guid(ctx, st, 5, guid);
  QK_sqlite__step_expect(ctx, st, SQLITE_DONE);
  QK_sqlite__reset(ctx, st);
  QK_sqlite__clear_bindings(ctx, st);
  QK_sqlite__step_expect(ctx, st, SQLITE_DONE);
  QK_sqlite__finalize(ctx, &st);
  EXPECT_EQ(st, nullptr);
  ASSERT_EQ(take_error(), "ok");

  QK_int64 count = 0;
  QK_sqlite__one_int64(ctx, db, &count, "SELECT count(*) FROM \"p$u$1\" WHERE i = %lld", (long long)INT64_MIN);
  EXPECT_EQ(count, 1);
  QK_sqlite__prepare_printf(ctx, db, &st, "SELECT g, i FROM \"p$u$1\" ORDER BY rowid");
  int row = 0;
  QK_uint8 read[16];
  QK_sqlite__step_row(ctx, st, &row);
  ASSERT_EQ(row, 1);
  QK_sqlite__column_guid(ctx, st, 0, read);
  EXPECT_EQ(memcmp(read, guid, 16), 0);
  QK_sqlite__step_row(ctx, st, &row);
  ASSERT_EQ(row, 1);
  QK_sqlite__column_guid(ctx, st, 0, read);  // the cleared row holds NULL
  EXPECT_EQ(memcmp(read, std::string(16, '\0').data(), 16), 0);
  QK_sqlite__step_row(ctx, st, &row);
  EXPECT_EQ(row, 0);
  QK_sqlite__finalize(ctx, &st);
  QK_sqlite__close(ctx, &db);
  EXPECT_EQ(db, nullptr);
  ASSERT_EQ(take_error(), "ok");

  auto rows = python(R"(
c = sqlite3.connect(os.path.join(D, 'a.db'))
for r in c.execute('SELECT i, typeof(d), d, typeof(n), hex(t), hex(g) FROM "p$u$1" ORDER BY rowid LIMIT 1'):
    print(*r)
)");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"-9223372036854775808", "real", "0.1", "null",
                                               "6974277320C3A9", "000102030405060708090A0B0C0D0EFF"}));
}

TEST_F(Sqlite, OpeningRefusesExistingPathsAndMissingArguments) {
  sqlite3 *db = nullptr;
  std::string existing = path("existing");
  std::ofstream(existing) << "not a database";
  QK_sqlite__create_new_db(ctx, existing.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
  EXPECT_EQ(take_sqlite_error(), "1/278:" + existing);
  EXPECT_EQ(read_file(existing), "not a database");
  EXPECT_EQ(db, nullptr);

  QK_sqlite__create_new_db(ctx, nullptr, SQLITE_OPEN_READWRITE, &db);
  EXPECT_EQ(take_sqlite_error(), "1/2:pPathnameDb is null");
  QK_sqlite__open_with_key(ctx, existing.c_str(), nullptr, SQLITE_OPEN_READWRITE, nullptr);
  EXPECT_EQ(take_sqlite_error(), "1/2:ppDb is null");

  // A failed open: the handle SQLite hands back is closed (the sanitizer build sees a leak otherwise).
  std::string missing = path("missing.db");
  QK_sqlite__open_with_key(ctx, missing.c_str(), nullptr, SQLITE_OPEN_READWRITE, &db);
  EXPECT_EQ(take_sqlite_error(), "8/14:Cannot open/create database '" + missing + "'.");
  EXPECT_EQ(db, nullptr);
  // Not a database at all.
  QK_sqlite__open_with_key(ctx, existing.c_str(), nullptr, SQLITE_OPEN_READWRITE, &db);
  EXPECT_EQ(take_sqlite_error(), "8/26:file is not a database");
  EXPECT_EQ(db, nullptr);
}

TEST_F(Sqlite, StatementErrorsCarryResultCodeAndMessage) {
  sqlite3 *db = nullptr;
  QK_sqlite__create_new_db(ctx, path("b.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
  QK_sqlite__exec(ctx, db, "CREATE TABLE t (a INTEGER PRIMARY KEY); INSERT INTO t VALUES (1), (2)");
  ASSERT_EQ(take_error(), "ok");
  int value = 7;
  QK_sqlite__one_int(ctx, db, &value, "SELECT a FROM t WHERE a > %d", 5);
  EXPECT_EQ(take_sqlite_error(), "8/101:no more rows available");
  QK_sqlite__one_int(ctx, db, &value, "SELECT a FROM t");
  EXPECT_EQ(take_sqlite_error(), "8/100:another row available");
  EXPECT_EQ(value, 7);
  QK_sqlite__one_bool(ctx, db, &value, "SELECT 3 - a FROM t WHERE a = 1");
  EXPECT_EQ(value, 1);
  QK_sqlite__one_bool(ctx, db, &value, "SELECT 0");
  EXPECT_EQ(value, 0);
  QK_int64 big = 0;
  QK_sqlite__one_int64(ctx, db, &big, "SELECT %lld", 5000000000LL);
  EXPECT_EQ(big, 5000000000LL);
  EXPECT_EQ(take_error(), "ok");

  QK_sqlite__exec(ctx, db, "INSERT INTO t VALUES (1)");
  EXPECT_EQ(take_sqlite_error(), "8/19:UNIQUE constraint failed: t.a\nINSERT INTO t VALUES (1)");
  sqlite3_stmt *st = nullptr;
  QK_sqlite__prepare_printf(ctx, db, &st, "SELECT nope FROM t");
  EXPECT_EQ(take_sqlite_error(), "8/1:no such column: nope");
  EXPECT_EQ(st, nullptr);
  QK_sqlite__prepare_printf(ctx, db, &st, "INSERT INTO t VALUES (?)");
  QK_sqlite__bind_int64(ctx, st, 2, 1);
  EXPECT_EQ(take_sqlite_error(), "8/25:");
  QK_sqlite__bind_int64(ctx, st, 1, 2);
  QK_sqlite__step_expect(ctx, st, SQLITE_DONE);
  EXPECT_EQ(take_sqlite_error(), "8/19:UNIQUE constraint failed: t.a");

  // An open statement keeps the connection from closing; the pointer stays set.
  QK_sqlite__close(ctx, &db);
  EXPECT_EQ(take_sqlite_error(), "8/5:unable to close due to unfinalized statements or unfinished backups");
  EXPECT_NE(db, nullptr);
  QK_sqlite__finalize(ctx, &st);
  QK_sqlite__finalize(ctx, nullptr);
  QK_sqlite__close(ctx, &db);
  QK_sqlite__close(ctx, &db);
  QK_sqlite__close(ctx, nullptr);
  EXPECT_EQ(take_error(), "ok");
}

// Document values bound by type; blobs come as {"hex", "len"} objects.
TEST_F(Sqlite, BindVariantsAndHexObjects) {
  sqlite3 *db = nullptr;
  sqlite3_stmt *st = nullptr;
  QK_vhash *doc = nullptr;
  QK_sqlite__create_new_db(ctx, path("v.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
  QK_vhash__alloc__from_json(ctx, &doc,
                             "{\"null\":null,\"int\":\"5000000000\",\"double\":1.5,\"true\":true,\"false\":false,"
                             "\"text\":\"it's\",\"object\":{\"hex\":\"0A0b0c\",\"len\":2},\"array\":[1],"
                             "\"len0\":{\"hex\":\"0a\",\"len\":0},\"short\":{\"hex\":\"0a0b\",\"len\":5},"
                             "\"nolen\":{\"hex\":\"0a0b\"},\"empty\":{\"hex\":\"\"},\"odd\":{\"hex\":\"0a0\"},"
                             "\"nohex\":{\"len\":3},\"none\":{},\"badhex\":{\"hex\":\"0g\"}}");
  ASSERT_EQ(take_error(), "ok");
  QK_sqlite__prepare_printf(ctx, db, &st, "SELECT typeof(?1) || ':' || quote(?1)");
  struct Case {
    const char *key, *result;
  } cases[] = {
      {"null", "null:NULL"},
      {"int", "text:'5000000000'"},
      {"double", "real:1.5"},
      {"true", "integer:1"},
      {"false", "integer:0"},
      {"text", "text:'it''s'"},
      {"object", "blob:X'0A0B'"},
      {"array", "48:cannot convert array to sqlite data type"},
      {"len0", "blob:X''"},
      {"short", "blob:X'0A0B'"},
      {"nolen", "blob:X'0A0B'"},
      {"empty", "blob:X''"},
      {"odd", "blob:X'0A'"},
      {"nohex", "47:A JavaScript object must contain a 'hex' member of type String in order to be bound as a sqlite blob value."},
      {"none", "47:A JavaScript object must contain a 'hex' member of type String in order to be bound as a sqlite blob value."},
      {"badhex", "error"},
  };
  for (const Case &c : cases) {
    QK_variant *value = nullptr;
    QK_vhash__get__variant(ctx, doc, c.key, &value);
    QK_sqlite__reset(ctx, st);
    QK_sqlite__clear_bindings(ctx, st);
    ASSERT_EQ(take_error(), "ok");
    QK_sqlite__bind_variant(ctx, st, 1, value);
    std::string error = take_error();
    if (error != "ok") {
      if (std::string(c.result) == "error") continue;
      EXPECT_EQ(error, c.result) << c.key;
      continue;
    }
    int row = 0;
    QK_sqlite__step_row(ctx, st, &row);
    ASSERT_EQ(row, 1);
    EXPECT_STREQ((const char *)sqlite3_column_text(st, 0), c.result) << c.key;
  }
  QK_sqlite__bind_variant(ctx, st, 1, nullptr);
  EXPECT_EQ(take_error(), "2:pv is null");
  // A text binds with all its bytes, NUL characters included.
  QK_variant *text = nullptr;
  QK_vhash__add__text(ctx, doc, "nul", "a\0b\0", 4);
  QK_vhash__get__variant(ctx, doc, "nul", &text);
  QK_sqlite__finalize(ctx, &st);
  QK_sqlite__prepare_printf(ctx, db, &st, "SELECT typeof(?1) || ':' || hex(?1)");
  QK_sqlite__bind_variant(ctx, st, 1, text);
  int row = 0;
  QK_sqlite__step_row(ctx, st, &row);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_STREQ((const char *)sqlite3_column_text(st, 0), "text:61006200");
  QK_sqlite__finalize(ctx, &st);
  QK_vhash__free(ctx, doc);
  QK_sqlite__close(ctx, &db);
}

TEST_F(Sqlite, GuidColumnsMustHoldSixteenBytesOrNone) {
  sqlite3 *db = nullptr;
  sqlite3_stmt *st = nullptr;
  QK_sqlite__create_new_db(ctx, path("g.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
  QK_sqlite__prepare_printf(ctx, db, &st, "SELECT NULL, X'', zeroblob(16), X'0102030405060708', 'short', randomblob(17)");
  int row = 0;
  QK_sqlite__step_row(ctx, st, &row);
  ASSERT_EQ(take_error(), "ok");
  const char *expected[] = {"ok", "ok", "ok", "3:guid/int128/uuid blob must be 16 bytes: 8",
                            "3:guid/int128/uuid blob must be 16 bytes: 5", "3:guid/int128/uuid blob must be 16 bytes: 17"};
  for (int col = 0; col < 6; col++) {
    QK_uint8 guid[16];
    memset(guid, 0xAA, sizeof guid);
    QK_sqlite__column_guid(ctx, st, col, guid);
    EXPECT_EQ(take_error(), expected[col]) << col;
    if (col < 3) {
      EXPECT_EQ(std::string((char *)guid, 16), std::string(16, '\0')) << col;
    }
  }
  QK_sqlite__finalize(ctx, &st);
  QK_sqlite__close(ctx, &db);
}

TEST_F(Sqlite, TableHasColumnIgnoresCaseAndQuotesTheName) {
  sqlite3 *db = nullptr;
  QK_sqlite__create_new_db(ctx, path("c.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
  QK_sqlite__exec(ctx, db, "CREATE TABLE \"we\"\"ird\" (Name, z_rid)");
  ASSERT_EQ(take_error(), "ok");
  struct Case {
    const char *table, *column;
    int has;
  } cases[] = {{"we\"ird", "NAME", 1}, {"we\"ird", "z_rid", 1}, {"we\"ird", "z_txid", 0}, {"missing", "Name", 0},
               {"we\"ird", "", 0},     {"", "Name", 0},         {nullptr, "Name", 0},      {"we\"ird", nullptr, 0}};
  for (const Case &c : cases) {
    int has = 7;
    QK_sqlite__table_has_column(ctx, db, c.table, c.column, &has);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(has, c.has) << (c.table ? c.table : "NULL") << "." << (c.column ? c.column : "NULL");
  }
  int has = 7;
  QK_sqlite__table_has_column(ctx, nullptr, "t", "c", &has);
  EXPECT_EQ(has, 0);
  QK_sqlite__table_has_column(ctx, db, "t", "c", nullptr);
  EXPECT_EQ(take_error(), "ok");
  QK_sqlite__close(ctx, &db);
}

TEST_F(Sqlite, RandomNamesAreTAndLowercaseHex) {
  std::set<std::string> names;
  for (int i = 0; i < 20; i++) {
    char name[QK_SQLITE_RANDOM_NAME_SIZE];
    memset(name, 'X', sizeof name);
    QK_sqlite__random_name(name, sizeof name);
    EXPECT_TRUE(std::regex_match(name, std::regex("t[0-9a-f]{32}"))) << name;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 20u);
  char shortName[9];
  QK_sqlite__random_name(shortName, sizeof shortName);
  EXPECT_TRUE(std::regex_match(shortName, std::regex("t[0-9a-f]{6}"))) << shortName;
  char longName[102];
  QK_sqlite__random_name(longName, sizeof longName);
  EXPECT_TRUE(std::regex_match(longName, std::regex("t[0-9a-f]{100}"))) << longName;
}

// A kept statement comes back reset and unbound, sees the schema as it is now, and is never
// handed out twice at once; without a cache, or past its size, statements are finalized.
TEST_F(Sqlite, CachedStatementsAreReusedResetAndUnbound) {
  sqlite3 *db = nullptr, *other = nullptr;
  sqlite3_stmt *st = nullptr, *again = nullptr, *nested = nullptr;
  QK_sqlite_cache *cache = nullptr;
  QK_sqlite__create_new_db(ctx, path("k.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db);
  QK_sqlite__exec(ctx, db, "CREATE TABLE t (a); INSERT INTO t VALUES (1), (2)");
  QK_sqlite_cache__alloc(ctx, db, &cache);
  ASSERT_EQ(take_error(), "ok");

  QK_sqlite__prepare_cached(ctx, cache, db, &st, "SELECT a, ?1 FROM %s ORDER BY a", "t");
  QK_sqlite__bind_int64(ctx, st, 1, 7);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 1), 7);
  QK_sqlite__prepare_cached(ctx, cache, db, &nested, "SELECT a, ?1 FROM t ORDER BY a");
  EXPECT_NE(nested, st);
  QK_sqlite__release_cached(ctx, cache, &nested);
  QK_sqlite__release_cached(ctx, cache, &st);
  EXPECT_EQ(st, nullptr);
  QK_sqlite__exec(ctx, db, "ALTER TABLE t ADD COLUMN b DEFAULT 'b'");
  QK_sqlite__prepare_cached(ctx, cache, db, &again, "SELECT *, ?1 FROM t ORDER BY a");
  QK_sqlite__release_cached(ctx, cache, &again);
  QK_sqlite__prepare_cached(ctx, cache, db, &st, "SELECT a, ?1 FROM t ORDER BY a");
  ASSERT_EQ(take_error(), "ok");
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 1);
  EXPECT_EQ(sqlite3_column_type(st, 1), SQLITE_NULL);
  QK_sqlite__release_cached(ctx, cache, &st);
  QK_sqlite__prepare_cached(ctx, cache, db, &again, "SELECT *, ?1 FROM t ORDER BY a");
  ASSERT_EQ(sqlite3_step(again), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_count(again), 3);
  QK_sqlite__release_cached(ctx, cache, &again);

  // Many texts: those past the cache's size are prepared anew and finalized.
  for (int round = 0; round < 2; round++)
    for (int i = 0; i < 40; i++) {
      QK_sqlite__prepare_cached(ctx, cache, db, &st, "SELECT %d", i);
      ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
      EXPECT_EQ(sqlite3_column_int(st, 0), i);
      QK_sqlite__release_cached(ctx, cache, &st);
    }
  QK_sqlite__prepare_cached(ctx, nullptr, db, &st, "SELECT 1");
  QK_sqlite__release_cached(ctx, nullptr, &st);
  QK_sqlite__release_cached(ctx, cache, nullptr);
  QK_sqlite__release_cached(ctx, cache, &st);
  ASSERT_EQ(take_error(), "ok");

  QK_sqlite__create_new_db(ctx, path("other.db").c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &other);
  QK_sqlite__prepare_cached(ctx, cache, other, &st, "SELECT 1");
  EXPECT_EQ(take_sqlite_error().substr(0, 4), "1/2:");
  EXPECT_EQ(st, nullptr);
  QK_sqlite__prepare_cached(ctx, cache, db, &st, "SELECT x FROM nowhere");
  EXPECT_EQ(take_sqlite_error(), "8/1:no such table: nowhere");
  EXPECT_EQ(st, nullptr);

  QK_sqlite_cache__free(ctx, cache);
  QK_sqlite_cache__free(ctx, nullptr);
  EXPECT_EQ(sqlite3_next_stmt(db, nullptr), nullptr);
  QK_sqlite__close(ctx, &db);
  QK_sqlite__close(ctx, &other);
  EXPECT_EQ(take_error(), "ok");
}

// Another connection holds the file locked while the schema must be read: preparing and
// opening wait until it lets go.
TEST_F(Sqlite, PrepareAndOpenWaitForABusyDatabase) {
  sqlite3 *owner = nullptr, *reader = nullptr, *opened = nullptr;
  sqlite3_stmt *st = nullptr;
  std::string file = path("busy.db");
  QK_sqlite__create_new_db(ctx, file.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &owner);
  QK_sqlite__exec(ctx, owner, "CREATE TABLE t (a)");
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &reader, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  for (int round = 0; round < 2; round++) {
    QK_sqlite__exec(ctx, owner, "BEGIN EXCLUSIVE; CREATE TABLE IF NOT EXISTS t2 (b); INSERT INTO t2 VALUES (1)");
    ASSERT_EQ(take_error(), "ok");
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      sqlite3_exec(owner, "COMMIT", nullptr, nullptr, nullptr);
    });
    if (round == 0) {
      QK_sqlite__prepare_printf(ctx, reader, &st, "SELECT count(*) FROM t2");
    } else {
      QK_sqlite__open_with_key(ctx, file.c_str(), nullptr, SQLITE_OPEN_READWRITE, &opened);
    }
    releaser.join();
    EXPECT_EQ(take_error(), "ok") << round;
  }
  EXPECT_NE(st, nullptr);
  EXPECT_NE(opened, nullptr);
  QK_sqlite__finalize(ctx, &st);
  QK_sqlite__close(ctx, &opened);
  QK_sqlite__close(ctx, &owner);
  sqlite3_close(reader);
}

// Pushed packages come from clients: anything that could run SQL of its own on the server
// is refused before a statement touches the file.
TEST_F(Sqlite, OpenRefusesFilesHoldingMoreThanPlainTablesAndIndexes) {
  auto made = python(R"(
base = 'CREATE TABLE "p$tx" (txid INTEGER NOT NULL, scheme VARCHAR NULL); CREATE TABLE log (x); '
files = {
  'plain': base + 'CREATE TABLE k (id TEXT PRIMARY KEY, v UNIQUE); CREATE UNIQUE INDEX "i x" ON k (v, id);'
           'CREATE INDEX /* c */ j ON k (lower(v)) WHERE v > 0; CREATE TABLE a (id INTEGER PRIMARY KEY AUTOINCREMENT)',
  'trigger': base + 'CREATE TRIGGER tr AFTER UPDATE ON "p$tx" BEGIN INSERT INTO log VALUES (1); END',
  'view': base + 'CREATE VIEW v AS SELECT * FROM log',
  'virtual': base + 'CREATE VIRTUAL TABLE f USING fts4(body)',
  'fk': base + 'CREATE TABLE p (id INTEGER PRIMARY KEY); CREATE TABLE c (pid REFERENCES p (id) ON DELETE CASCADE)',
  'disguised': base + 'CREATE TRIGGER tr AFTER UPDATE ON "p$tx" BEGIN INSERT INTO log VALUES (1); END',
}
for name, sql in files.items():
    c = sqlite3.connect(os.path.join(D, name))
    c.executescript(sql)
    if name == 'disguised':
        c.execute('PRAGMA writable_schema=ON')
        c.execute("UPDATE sqlite_master SET type='table' WHERE type='trigger'")
        c.commit()
    c.close()
    print(name)
)");
  ASSERT_EQ(made.size(), 6u);
  struct Case {
    const char *file, *error;
  } cases[] = {
      {"plain", "ok"},
      {"trigger", "1/400:Database '%s' refused: it may hold only tables and indexes, but holds the trigger \"tr\"."},
      {"view", "1/400:Database '%s' refused: it may hold only tables and indexes, but holds the view \"v\"."},
      {"virtual", "1/400:Database '%s' refused: it may hold only tables and indexes, but holds the virtual table \"f\"."},
      {"fk", "1/400:Database '%s' refused: table \"c\" has a foreign-key clause."},
      // A schema row whose type hides what its text creates: SQLite itself finds it corrupt.
      {"disguised", "8/11:malformed database schema (tr)"},
  };
  for (const Case &c : cases) {
    std::string file = path(c.file), before = read_file(file);
    std::string expected = std::regex_replace(c.error, std::regex("%s"), file);
    sqlite3 *db = nullptr;
    for (int flags : {SQLITE_OPEN_READWRITE, SQLITE_OPEN_READONLY}) {
      QK_sqlite__open_with_key(ctx, file.c_str(), nullptr, flags, &db);
      EXPECT_EQ(take_sqlite_error(), expected);
      EXPECT_EQ(db != nullptr, expected == "ok") << c.file;
      QK_sqlite__close(ctx, &db);
    }
    EXPECT_EQ(read_file(file), before) << c.file;
  }
}

}  // namespace
