#include "server/tav_handle_conflicts.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <regex>
#include <string>
#include <vector>

#include "pkg_fixture.h"
#include "qksqlite/qk_sqlite.h"

namespace {

// ---- Creating packages and the layout of every version ----

const char *k_probe_layout = R"(
c = sqlite3.connect(P)
print('page_size', c.execute('PRAGMA page_size').fetchone()[0])
for (n, sql) in c.execute("SELECT name, sql FROM sqlite_master WHERE type='table' ORDER BY name").fetchall():
    print(n, ','.join('%s:%s:%d:%d' % (r[1], r[2], r[3], r[5]) for r in c.execute('PRAGMA table_info("%s")' % n)))
    if n in ('p$tx', 'p$gen'):
        print(sql)
if 'p$tx' in [r[0] for r in c.execute("SELECT name FROM sqlite_master")]:
    print(*c.execute('SELECT txid, typeof(txid), scheme, typeof(scheme), typeof(rstamp), rebaseid FROM p$tx').fetchall())
else:
    print(*c.execute('SELECT generation, id, typeof(id) FROM p$gen').fetchall())
)";

std::string expected_layout(int version) {
  std::string out = "page_size 4096\n";
  out +=
      "p$audit rid:BLOB:1:0,txid:INTEGER:1:0,tbl:TEXT:0:0,ancestor:TEXT:0:0,already:TEXT:0:0,incoming:TEXT:0:0,"
      "result:TEXT:0:0\n";
  if (version == 6)
    out +=
        "p$gen generation:INTEGER:0:1,id:INTEGER:0:0\n"
        "CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER)\n";
  out += "p$ipk$1001 z$$naked:INTEGER:0:1,z$$decorated:TEXT:0:0\n";
  if (version < 6)
    out +=
        "p$rd$1001 rid:BLOB:1:0,txid_rec_add:INTEGER:0:0,txid_rec_del:INTEGER:0:0,txid:INTEGER:1:0\n"
        "p$rv$1001 rid:BLOB:1:0,txid:INTEGER:1:0\n";
  if (version < 4) out += "p$s txid:INTEGER:1:0,json:TEXT:1:0\n";
  if (version < 6)
    out +=
        "p$tx txid:INTEGER:1:0,scheme:VARCHAR:0:0,rstamp:BLOB:0:0,rebaseid:INTEGER:0:0\n"
        "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER)\n";
  out += version == 6 ? "p$u$1001 z_rid:BLOB:0:0,z_gen_del:INT:0:0,z_gen_add:INT:0:0,id::0:0,name::0:0,photo::0:0\n"
                      : "p$u$1001 z_rid:BLOB:0:0,z_txid:INTEGER:0:0,id::0:0,name::0:0,photo::0:0\n";
  out += version == 6 ? "(0, '{\"pv\":6}', 'text')"
                      : "(0, 'integer', '" + std::to_string(version) + "', 'text', 'null', 0)";
  return out;
}

TEST_F(PkgTest, EveryVersionHasItsHeaderAndTablesInAnOpenTransaction) {
  std::string schema = schema_file();
  for (int version = 2; version <= 6; version++) {
    SCOPED_TRACE(version);
    tav_pkg__create(ctx, dir.c_str(), version, &pkg);
    ASSERT_EQ(take_error(), "ok");
    ASSERT_NE(pkg.db, nullptr);
    std::string file = pkg.path;
    EXPECT_TRUE(std::regex_match(file, std::regex(dir + "/t[0-9a-f]{32}")));
    // Nothing is visible to other readers before the caller commits.
    EXPECT_EQ(python(file, "print(sqlite3.connect(P).execute('SELECT count(*) FROM sqlite_master').fetchone()[0])"),
              "0");

    tav_pkg__create_rows_table(ctx, pkg.db, d, "1001", version);
    if (version < 6) {
      tav_pkg__create_row_deltas_table(ctx, pkg.db, "1001");
      tav_pkg__create_row_versions_table(ctx, pkg.db, "1001");
    }
    if (version < 4) QK_sqlite__exec(ctx, pkg.db, TAV_PKG_SCHEMA_TABLE_SQL);
    tav_pkg__create_identity_map_table(ctx, pkg.db, "1001");
    QK_sqlite__exec(ctx, pkg.db, TAV_PKG_AUDIT_TABLE_SQL);
    ASSERT_EQ(take_error(), "ok");
    finish();

    EXPECT_EQ(python(file, k_probe_layout), expected_layout(version));
    EXPECT_EQ(inspect(file, "--version " + std::to_string(version) + " --schema " + schema), "ok");
    tav_pkg__close(ctx, &pkg);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(sh("ls -A '" + dir + "' | grep -c '^t'"), "0");  // neither the package nor a journal
  }
}

TEST_F(PkgTest, InvalidVersionsCreateNothing) {
  for (int version : {-1, 0, 1, 7}) {
    tav_pkg__create(ctx, dir.c_str(), version, &pkg);
    EXPECT_EQ(take_error(), "2:pkg_version is invalid: is_valid_pkg_version(pkg_version) is false.");
    EXPECT_EQ(pkg.path, nullptr);
    EXPECT_EQ(pkg.db, nullptr);
  }
  tav_pkg__create_rows_table(ctx, nullptr, d, "1001", 7);
  EXPECT_EQ(take_error(), "2:pkg_version is invalid: is_valid_pkg_version(pkg_version) is false.");
  EXPECT_EQ(sh("ls -A '" + dir + "'"), "");

  // A failed create keeps the name it chose, so that the caller's close removes whatever
  // was made; here nothing was, and the close says so.
  std::string missing_dir = path("missing");
  tav_pkg__create(ctx, missing_dir.c_str(), 4, &pkg);
  EXPECT_EQ(take_error().substr(0, 3), "14:");
  ASSERT_NE(pkg.path, nullptr);
  EXPECT_EQ(std::string(pkg.path).substr(0, missing_dir.size() + 2), missing_dir + "/t");
  EXPECT_EQ(pkg.db, nullptr);
  tav_pkg__close(ctx, &pkg);
  EXPECT_EQ(take_error().substr(0, 26), "2:Calling DeleteFile() on ");
  EXPECT_EQ(pkg.path, nullptr);
}

TEST_F(PkgTest, ColumnNamesWithQuotesAreQuotedInTheTableDefinitions) {
  tav_defin__add_table(ctx, d, "1004", "odd", 7);
  tav_defin__add_column(ctx, d, "1004", "1", "we\"ird", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1004", "1", "sint32");
  tav_defin__add_column(ctx, d, "1004", "2", "x", 1, 0, 0);
  tav_defin__set_type_simple(ctx, d, "1004", "2", "sint32");
  tav_defin__set_pk_name(ctx, d, "1004", "PK_odd");
  tav_defin__add_pk_column(ctx, d, "1004", "1");
  ASSERT_EQ(take_error(), "ok");
  for (int version : {5, 6}) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    tav_pkg__create_rows_table(ctx, db, d, "1004", version);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(rows(db, "SELECT group_concat(name, '/') FROM pragma_table_info('p$u$1004')"),
              version == 6 ? "z_rid/z_gen_del/z_gen_add/we\"ird/x" : "z_rid/z_txid/we\"ird/x");
    sqlite3_close(db);
  }
}

// ---- Naming, closing and deleting ----

TEST_F(PkgTest, CloseReleasesEverythingAndEndsEmptyEvenWhenAStepFails) {
  tav_pkg zeroed = {};
  tav_pkg__close(ctx, &zeroed);
  tav_pkg__close(ctx, nullptr);
  EXPECT_EQ(take_error(), "ok");

  // A new name closes and deletes the earlier file but creates none.
  tav_pkg__create(ctx, dir.c_str(), 4, &pkg);
  std::string first = pkg.path;
  tav_pkg__new_temp_path(ctx, dir.c_str(), &pkg);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(pkg.db, nullptr);
  std::string named = pkg.path;
  EXPECT_NE(named, first);
  EXPECT_EQ(sh("ls -A '" + dir + "'"), "");
  tav_pkg__close(ctx, &pkg);
  EXPECT_EQ(take_error(), "2:Calling DeleteFile() on '" + named + "'");

  // A handle with a committed connection, an open file and the file itself: all goes, also
  // twice, and the rollback that finds no transaction is no error.
  tav_pkg__create(ctx, dir.c_str(), 6, &pkg);
  ASSERT_EQ(exec(pkg.db, "COMMIT TRANSACTION"), "ok");
  QK_file__open(ctx, pkg.path, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pkg.file);
  ASSERT_EQ(take_error(), "ok");
  tav_pkg__close(ctx, &pkg);
  tav_pkg__close(ctx, &pkg);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_TRUE(pkg.path == nullptr && pkg.db == nullptr && pkg.file == nullptr);
  EXPECT_EQ(sh("ls -A '" + dir + "'"), "");

  // The file is already gone: the removal's error is reported, the handle still ends empty.
  tav_pkg__create(ctx, dir.c_str(), 2, &pkg);
  finish();
  std::string gone = pkg.path;
  ASSERT_EQ(unlink(gone.c_str()), 0);
  tav_pkg__close(ctx, &pkg);
  EXPECT_EQ(take_error(), "2:Calling DeleteFile() on '" + gone + "'");
  EXPECT_TRUE(pkg.path == nullptr && pkg.db == nullptr && pkg.file == nullptr);

  // A statement left open keeps the connection from closing at once; the handle lets go of it
  // anyway and the connection goes when the statement is finalized.
  sqlite3_stmt *open_stmt = nullptr;
  tav_pkg__create(ctx, dir.c_str(), 3, &pkg);
  ASSERT_EQ(sqlite3_prepare_v2(pkg.db, "SELECT * FROM p$tx", -1, &open_stmt, nullptr), SQLITE_OK);
  tav_pkg__close(ctx, &pkg);
  EXPECT_EQ(take_error().substr(0, 2), "5:");  // SQLITE_BUSY from the close
  EXPECT_TRUE(pkg.path == nullptr && pkg.db == nullptr);
  EXPECT_EQ(sh("ls -A '" + dir + "'"), "");
  sqlite3_finalize(open_stmt);
}

// A temp directory that fills up while a package is written (here: a file-size limit) leaves
// SQLite's journal behind; closing the package removes it with the package.
TEST_F(PkgTest, CloseRemovesTheJournalAFailedWriteLeftBehind) {
  tav_pkg__create(ctx, dir.c_str(), 6, &pkg);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_EQ(exec(pkg.db, "CREATE TABLE big (x); INSERT INTO big VALUES (randomblob(3000)); COMMIT; BEGIN"), "ok");
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit limit{}, saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  limit = saved;
  limit.rlim_cur = 200000;
  setrlimit(RLIMIT_FSIZE, &limit);
  std::string failed = "ok";
  for (int i = 0; i < 1000 && failed == "ok"; i++)
    failed = exec(pkg.db, "INSERT INTO big VALUES (randomblob(3000)); UPDATE big SET x = randomblob(3000) WHERE rowid = 1");
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  ASSERT_NE(failed, "ok");
  tav_pkg__close(ctx, &pkg);
  take_error();
  EXPECT_EQ(sh("ls -A '" + dir + "'"), "");
}

// ---- Generation squash ----

// Rows of p$u$1001 (key column "id"); a deletion has every user column NULL.
struct GenRow {
  const char *rid;
  const char *gen_del;
  long long gen_add;
  const char *id;
};

struct SquashCase {
  const char *name;
  std::vector<GenRow> before;
  long long from, to, into;
  const char *after;  // z_rid|z_gen_del|z_gen_add|id per row, ordered by rid and z_gen_add
};

struct SquashTest : PkgTest {
  void SetUp() override {
    PkgTest::SetUp();
    tav_pkg__create(ctx, dir.c_str(), 6, &pkg);
    tav_pkg__create_rows_table(ctx, pkg.db, d, "1001", 6);
    tav_pkg__create_rows_table(ctx, pkg.db, d, "1002", 6);
    ASSERT_EQ(take_error(), "ok");
  }
  void insert(const std::vector<GenRow> &rows_in) {
    for (const GenRow &r : rows_in) {
      std::string rid = std::string("X'") + std::string(30, '0') + r.rid + "'";
      std::string sql = "INSERT INTO \"p$u$1001\" (z_rid, z_gen_del, z_gen_add, id, name) VALUES (" + rid + "," +
                        r.gen_del + "," + std::to_string(r.gen_add) + "," + r.id + "," +
                        (std::string(r.id) == "NULL" ? "NULL" : "'n'") + ")";
      ASSERT_EQ(exec(pkg.db, sql), "ok");
    }
  }
  // The row versions (marker rows left out): last rid byte|z_gen_del|z_gen_add|id.
  std::string row_versions() {
    return rows(pkg.db,
                "SELECT substr(hex(z_rid), 31), z_gen_del, z_gen_add, id FROM \"p$u$1001\" "
                "WHERE typeof(z_rid) = 'blob' ORDER BY z_rid, z_gen_add");
  }
};

const long long k_max_client_gen = 9223372036854775791LL;

TEST_F(SquashTest, FoldsTheVersionsOfARangeIntoOneGeneration) {
  const std::vector<SquashCase> cases = {
      {"created and deleted in the range leaves nothing", {{"01", "NULL", 1, "7"}, {"01", "1", 2, "NULL"}}, 1, 3, -2, ""},
      {"three updates keep the last values and the first predecessor",
       {{"01", "0", 1, "7"}, {"01", "1", 2, "8"}, {"01", "2", 3, "9"}},
       1, 3, -2, "01|0|-2|9"},
      {"a new row updated twice stays new",
       {{"01", "NULL", 1, "7"}, {"01", "1", 2, "8"}, {"01", "2", 3, "9"}},
       1, 3, -2, "01|NULL|-2|9"},
      {"deleting an older row keeps the deletion",
       {{"01", "0", 1, "7"}, {"01", "1", 3, "NULL"}},
       1, 3, -2, "01|0|-2|NULL"},
      {"a later version names the folded generation",
       {{"01", "0", 1, "7"}, {"01", "1", 2, "8"}, {"01", "2", 5, "9"}},
       1, 3, -2, "01|0|-2|8;01|-2|5|9"},
      {"rows outside the range and markers stay",
       {{"01", "0", 4, "7"}, {"02", "NULL", 2, "5"}},
       1, 3, -1, "01|0|4|7;02|NULL|-1|5"},
      {"the client's timeline, then this push folded onto it",
       {{"01", "0", 3, "7"}, {"02", "NULL", -2, "5"}},
       1, k_max_client_gen, -2, "01|0|-2|7;02|NULL|-2|5"},
  };
  for (const SquashCase &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(exec(pkg.db, "DELETE FROM \"p$u$1001\""), "ok");
    insert(c.before);
    ASSERT_EQ(exec(pkg.db, "INSERT INTO \"p$u$1001\" (z_rid, z_gen_del, z_gen_add) VALUES ('filter-discard', -1, -1)"),
              "ok");
    tav_pkg__squash_generations(ctx, d, pkg.db, 0, c.from, c.to, c.into);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(rows(pkg.db, "SELECT count(*) FROM \"p$u$1001\" WHERE z_rid = 'filter-discard' AND z_gen_add = -1"), "1");
    EXPECT_EQ(row_versions(), c.after);
  }
}

TEST_F(SquashTest, SetsTheTxidOfTheFoldedRowsAndPassesTheInspector) {
  insert({{"01", "0", 1, "7"}, {"01", "1", 2, "8"}, {"02", "0", 9, "3"}});
  ASSERT_EQ(exec(pkg.db, "ALTER TABLE \"p$u$1001\" ADD COLUMN z_txid INT; ALTER TABLE \"p$u$1002\" ADD COLUMN z_txid INT"),
            "ok");
  tav_pkg__squash_generations(ctx, d, pkg.db, 1, 1, 5, -2);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(rows(pkg.db, "SELECT substr(hex(z_rid), 31), z_gen_add, z_txid FROM \"p$u$1001\" ORDER BY z_rid"),
            "01|-2|-2;02|9|NULL");
  std::string file = pkg.path;
  finish();
  EXPECT_EQ(inspect(file, "--version 6"),
            "p$u$1001: internal column z_txid among the user columns\n"
            "p$u$1002: internal column z_txid among the user columns")
      << "without --work the server's work column is refused";
  EXPECT_EQ(inspect(file, "--version 6 --work"), "ok");
}

TEST_F(SquashTest, TwoVersionsOfARowInOneGenerationAreRefused) {
  // The client changed in this push (-2) a row it got in generation 3. The first fold puts
  // both versions at -2; folding -2..-1 next could not tell them apart.
  insert({{"01", "0", 3, "7"}, {"01", "3", -2, "8"}});
  tav_pkg__squash_generations(ctx, d, pkg.db, 0, 1, k_max_client_gen, -2);
  ASSERT_EQ(take_error(), "ok");
  std::string before = row_versions();
  EXPECT_EQ(before, "01|0|-2|7;01|-2|-2|8");
  tav_pkg__squash_generations(ctx, d, pkg.db, 0, -2, -1, -1);
  EXPECT_EQ(take_error(),
            "400:Malformed package: table p$u$1001 holds more than one version of a row in one generation between -2 "
            "and -1");
  EXPECT_EQ(row_versions(), before);
}

TEST_F(SquashTest, ThePushedTimelineFoldsOntoTheKnownBaseWithItsNewestValues) {
  // Row 01: in the known base (-1, id 7) and changed again in rolled-back generation 3 (id 9):
  // the generation is the newer version, so its values survive on the base's predecessor.
  // Row 02: only in generations 3 and 4. Row 03: only in the base. Row 04: this push's own
  // change, already in transaction form, stays.
  insert({{"01", "0", -1, "7"}, {"01", "2", 3, "9"}, {"02", "0", 3, "5"}, {"02", "3", 4, "6"}, {"03", "0", -1, "4"},
          {"04", "3", 9223372036854775792LL, "2"}});
  ASSERT_EQ(exec(pkg.db, "ALTER TABLE \"p$u$1001\" ADD COLUMN z_txid INT; ALTER TABLE \"p$u$1002\" ADD COLUMN z_txid INT"),
            "ok");
  tav_pkg__fold_pushed_timeline(ctx, d, pkg.db);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(row_versions(), "01|0|-1|9;02|0|-1|6;03|0|-1|4;04|3|9223372036854775792|2");
  EXPECT_EQ(rows(pkg.db, "SELECT count(*) FROM \"p$u$1001\" WHERE z_gen_add = -1 AND z_txid = -1"), "3");

  // Two versions of one row in one generation still cannot be folded: the client's package is refused.
  insert({{"05", "0", 3, "1"}, {"05", "0", 3, "2"}});
  std::string before = row_versions();
  tav_pkg__fold_pushed_timeline(ctx, d, pkg.db);
  EXPECT_EQ(take_error().substr(0, 4), "400:");
  EXPECT_EQ(row_versions(), before);
}

TEST_F(SquashTest, ATableWithoutKeyColumnsCannotBeSquashed) {
  tav_pkg__create_rows_table(ctx, pkg.db, d, "1003", 6);
  ASSERT_EQ(take_error(), "ok");
  tav_pkg__squash_table_generations(ctx, d, pkg.db, "1003", 1, 5, -2, 0);
  EXPECT_EQ(take_error().substr(0, 3), "47:");
}

// ---- Reading rows ----

TEST_F(PkgTest, RowsBecomeSortedDocumentsWithoutNullsOrInternalColumns) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  ASSERT_EQ(exec(db,
                 "CREATE TABLE \"p$u$9\" (z_rid, z_txid, z_gen_del, z_gen_add, b, a, \"Bee\", n, e, \"Zed\");"
                 "INSERT INTO \"p$u$9\" VALUES (X'00', 5, 1, 2, 'text', 3000000000, 1.5, NULL, X'', X'616263')"),
            "ok");
  QK_vhash *row = nullptr;
  tav_pkg__get_row_by_rowid(ctx, db, "9", 1, &row);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(vhash_json(ctx, row),
            R"({"Bee":1.500000,"Zed":{"len":3,"sha1":"a9993e364706816aba3e25717850c26c9cd0d89d","hex":"616263"},)"
            R"("a":"3000000000","b":"text",)"
            R"("e":{"len":0,"sha1":"da39a3ee5e6b4b0d3255bfef95601890afd80709","hex":""}})");
  QK_vhash__free(ctx, row);
  row = nullptr;

  tav_pkg__get_row_by_rowid(ctx, db, "9", 2, &row);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(row, nullptr);
  tav_pkg__get_row_by_rowid(ctx, db, "10", 1, &row);
  EXPECT_EQ(take_error(), "1:no such table: main.p$u$10");
  EXPECT_EQ(row, nullptr);
  sqlite3_close(db);
}

TEST_F(PkgTest, TableExistsReusesTheCallersStatementAndLimitsTheName) {
  sqlite3 *db = nullptr;
  sqlite3_stmt *st = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  std::string long_id(59, '7');  // "p$u$" + 59 digits = 63 bytes
  ASSERT_EQ(exec(db, "CREATE TABLE \"p$u$1001\" (z_rid); CREATE TABLE \"p$u$" + long_id + "\" (z_rid)"), "ok");
  ASSERT_EQ(sqlite3_prepare_v2(db, TAV_PKG_TABLE_EXISTS_SQL, -1, &st, nullptr), SQLITE_OK);
  struct {
    const char *prefix;
    std::string name;
    std::string expected;
  } cases[] = {
      {"p$u$", "1001", "1"},        {"p$rd$", "1001", "0"},       {"p$u$", "1002", "0"},
      {"p$u$", long_id, "1"},       {"p$u$", long_id + "7", "20:"}, {"p$u$", "1001", "1"},
  };
  for (auto &c : cases) {
    int exists = -1;
    tav_pkg__table_exists(ctx, st, c.prefix, c.name.c_str(), &exists);
    std::string error = take_error();
    EXPECT_EQ(error == "ok" ? std::to_string(exists) : error, c.expected) << c.prefix << c.name;
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST_F(PkgTest, KeySelectAndColumnListFollowTheSchemaKey) {
  tav_pkg__create(ctx, dir.c_str(), 6, &pkg);
  tav_pkg__create_rows_table(ctx, pkg.db, d, "1001", 6);
  tav_pkg__create_rows_table(ctx, pkg.db, d, "1002", 6);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_EQ(exec(pkg.db,
                 "INSERT INTO \"p$u$1001\" VALUES (X'000102030405060708090a0b0c0d0e0f', NULL, -2, 42, 'n', NULL);"
                 "INSERT INTO \"p$u$1002\" VALUES (X'000102030405060708090a0b0c0d0e0f', NULL, -2, 42, 3, 1, NULL, "
                 "NULL)"),
            "ok");
  const QK_uint8 rid[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  struct {
    const char *tbl;
    const char *sql;
    const char *row;
  } cases[] = {
      {"1001", "SELECT \"id\" FROM \"p$u$1001\" WHERE z_rid=? LIMIT 1", "42"},
      {"1002", "SELECT \"cust\", \"line\" FROM \"p$u$1002\" WHERE z_rid=? LIMIT 1", "42|3"},
  };
  for (auto &c : cases) {
    sqlite3_stmt *st = nullptr;
    tav_pkg__prepare_key_select(ctx, pkg.db, d, c.tbl, rid, &st);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_STREQ(sqlite3_sql(st), c.sql);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    std::string row;
    for (int i = 0; i < sqlite3_column_count(st); i++) row += (i ? "|" : "") + std::to_string(sqlite3_column_int(st, i));
    EXPECT_EQ(row, c.row);
    sqlite3_finalize(st);
  }

  QK_vhash *columns = nullptr;
  tav_pkg__get_table_columns(ctx, pkg.db, "1002", &columns);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(vhash_json(ctx, columns), R"({"cust":null,"line":null,"amount":null,"at":null,"code":null})");
  QK_vhash__free(ctx, columns);
}

}  // namespace
