// The package inspector (tests/tools/pkg_inspect.py) on hand-made packages: the shapes the
// layout allows pass, and each kind of damage is named.
#include <gtest/gtest.h>

#include <string>

#include "pkg_fixture.h"

namespace {

const char *k_v4_header =
    "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER);"
    "INSERT INTO p$tx VALUES (0, '4', NULL, 0);";
const char *k_v6_header =
    "CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER);"
    "INSERT INTO p$gen VALUES (0, '{\"pv\":6}');";
const char *k_tx_rows = "CREATE TABLE \"p$u$1001\"  (    z_rid BLOB,    z_txid INTEGER  );";
const char *k_gen_rows = "CREATE TABLE \"p$u$1001\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, \"id\");";
const char *k_deltas =
    "CREATE TABLE \"p$rd$1001\"   (     rid BLOB NOT NULL,     txid_rec_add INTEGER NULL,     txid_rec_del "
    "INTEGER NULL,     txid INTEGER NOT NULL   );";

struct InspectCase {
  const char *name;
  std::string sql;
  const char *expected;  // the inspector's output
};

struct InspectTest : PkgTest {
  std::string build(const std::string &sql) {
    std::string file = path("pkg");
    unlink(file.c_str());
    sqlite3 *db = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(exec(db, "PRAGMA page_size=4096;" + sql), "ok") << sql;
    sqlite3_close(db);
    return file;
  }
};

TEST_F(InspectTest, PackagesOfEveryKindPass) {
  const InspectCase cases[] = {
      {"version 3 with schema, deltas and a discard marker",
       "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER);"
       "INSERT INTO p$tx VALUES (0, 3, NULL, 0), (7, NULL, randomblob(16), 0), (5, 'last_sync_txid', NULL, 0);"
       "CREATE TABLE \"p$s\"   (     \"txid\" INTEGER NOT NULL,     \"json\" TEXT NOT NULL   );" +
           std::string(k_tx_rows) + "ALTER TABLE \"p$u$1001\" ADD COLUMN \"id\";" + k_deltas +
           "INSERT INTO \"p$rd$1001\" VALUES ('filter-discard', NULL, NULL, -1), (randomblob(16), 7, NULL, 7);",
       "ok"},
      {"version 4 with baseline text, schema, 'first' and status rows",
       std::string(k_v4_header) +
           "UPDATE p$tx SET rstamp = '9,00112233445566778899AABBCCDDEEFF,0,9,1', rebaseid = '{\"\":\"x\"}';"
           "INSERT INTO p$tx VALUES (-1, '{\"tbls\":{}}', NULL, NULL), ('first', NULL, randomblob(16), NULL),"
           " ('{\"code\":1}', 'HTTP 244', NULL, NULL);"
           "CREATE TABLE \"p$rv$1001\" (rid BLOB NOT NULL, txid INTEGER NOT NULL);"
           "INSERT INTO \"p$rv$1001\" VALUES (X'', '{\"safe\":true}');",
       "ok"},
      {"version 6 push with generations, earlier pushes and markers",
       std::string(k_v6_header) + "INSERT INTO p$gen VALUES (3, 17), (-2, randomblob(16)), (-3, randomblob(16));" +
           k_gen_rows +
           "INSERT INTO \"p$u$1001\" VALUES ('filter-discard', -1, -1, NULL), (randomblob(16), NULL, -2, 5);"
           "CREATE TABLE \"p$ipk$1001\" (z$$naked INTEGER PRIMARY KEY, z$$decorated TEXT);"
           "CREATE TABLE IF NOT EXISTS p$audit(rid BLOB NOT NULL,txid INTEGER NOT NULL,tbl TEXT, ancestor TEXT, "
           "already TEXT, incoming TEXT, result TEXT);",
       "ok"},
      {"upgrade package",
       "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER);"
       "ALTER TABLE p$tx ADD COLUMN generation INTEGER;"
       "INSERT INTO p$tx VALUES (0, 5, '*UPGRADING*', 0, NULL), (4, NULL, NULL, NULL, 2);" +
           std::string(k_v6_header) + k_tx_rows + k_deltas,
       "ok"},
  };
  for (const InspectCase &c : cases) EXPECT_EQ(inspect(build(c.sql)), c.expected) << c.name;
}

TEST_F(InspectTest, DamagedPackagesFail) {
  const InspectCase cases[] = {
      {"no header table", k_tx_rows, "no header table (p$tx or p$gen)"},
      {"header without row 0",
       "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER);",
       "p$tx: 0 header rows (txid 0), expected 1"},
      {"version 7", std::string(k_v4_header) + "UPDATE p$tx SET scheme = '7';",
       "version 7 is not a package version (2 to 6)"},
      {"version 6 in a transaction header", std::string(k_v4_header) + "UPDATE p$tx SET scheme = 6;",
       "p$tx in version 6"},
      {"generation header of another version", "CREATE TABLE p$gen (generation INTEGER PRIMARY KEY, id INTEGER);"
                                               "INSERT INTO p$gen VALUES (0, '{\"pv\":5}');",
       "p$gen: header version 5, expected 6"},
      {"header column renamed",
       "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebase INTEGER);"
       "INSERT INTO p$tx VALUES (0, 4, NULL, 0);",
       "p$tx: columns [('txid', 'INTEGER', 1, 0), ('scheme', 'VARCHAR', 0, 0), ('rstamp', 'BLOB', 0, 0), "
       "('rebase', 'INTEGER', 0, 0)], expected [('txid', 'INTEGER', 1, 0), ('scheme', 'VARCHAR', 0, 0), "
       "('rstamp', 'BLOB', 0, 0), ('rebaseid', 'INTEGER', 0, 0)]"},
      {"delta table without its txid",
       std::string(k_v4_header) + "CREATE TABLE \"p$rd$1001\" (rid BLOB NOT NULL, txid_rec_add INTEGER NULL, "
                                  "txid_rec_del INTEGER NULL);",
       "p$rd$1001: columns [('rid', 'BLOB', 1, 0), ('txid_rec_add', 'INTEGER', 0, 0), ('txid_rec_del', 'INTEGER', "
       "0, 0)], expected [('rid', 'BLOB', 1, 0), ('txid_rec_add', 'INTEGER', 0, 0), ('txid_rec_del', 'INTEGER', 0, "
       "0), ('txid', 'INTEGER', 1, 0)]"},
      {"generation rows in a version 4 package", std::string(k_v4_header) + k_gen_rows,
       "p$u$1001: leading columns [('z_rid', 'BLOB', 0, 0), ('z_gen_del', 'INT', 0, 0)], expected [('z_rid', "
       "'BLOB', 0, 0), ('z_txid', 'INTEGER', 0, 0)]"},
      {"typed user column", std::string(k_v6_header) + "CREATE TABLE \"p$u$1001\" (z_rid BLOB, z_gen_del INT, "
                                                        "z_gen_add INT, \"id\" INTEGER);",
       "p$u$1001: user column id declared 'INTEGER'"},
      {"delta table and schema table in version 6", std::string(k_v6_header) + k_deltas +
                                                         "CREATE TABLE \"p$s\" (\"txid\" INTEGER NOT NULL, "
                                                         "\"json\" TEXT NOT NULL);",
       "p$rd$1001 in version 6\np$s in version 6"},
      {"marker at a real generation", std::string(k_v6_header) + k_gen_rows +
                                          "INSERT INTO \"p$u$1001\" VALUES ('filter-discard', NULL, 3, NULL);",
       "p$u$1001: marker 'filter-discard' at generations (None, 3), expected (-1, -1)"},
      {"marker in version 2",
       "CREATE TABLE p$tx (txid INTEGER NOT NULL, scheme VARCHAR NULL, rstamp BLOB, rebaseid INTEGER);"
       "INSERT INTO p$tx VALUES (0, 2, NULL, 0);" +
           std::string(k_deltas) + "INSERT INTO \"p$rd$1001\" VALUES ('filter-discard', NULL, NULL, -1);",
       "p$rd$1001: marker row 'filter-discard' in version 2"},
      {"a stranger table and a trigger",
       std::string(k_v4_header) + "CREATE TABLE notes (x); CREATE TRIGGER tr AFTER INSERT ON notes BEGIN SELECT 1; END;",
       "trigger tr: a package holds only tables and indexes\nnotes: table name does not start with p$"},
  };
  for (const InspectCase &c : cases) EXPECT_EQ(inspect(build(c.sql)), c.expected) << c.name;
  EXPECT_EQ(inspect(build(k_v4_header), "--version 5"), "version 4, expected 5");
  EXPECT_EQ(inspect(path("missing")).substr(0, 11), "cannot open");
}

TEST_F(InspectTest, UserColumnsFollowTheSchema) {
  std::string schema = schema_file();
  std::string sql = std::string(k_v6_header) +
                    "CREATE TABLE \"p$u$1001\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, id, photo, name);";
  EXPECT_EQ(inspect(build(sql), "--schema " + schema),
            "p$u$1001: user columns ['id', 'photo', 'name'], expected ['id', 'name', 'photo']");
  sql = std::string(k_v6_header) + "CREATE TABLE \"p$u$1009\" (z_rid BLOB, z_gen_del INT, z_gen_add INT, id);";
  EXPECT_EQ(inspect(build(sql), "--schema " + schema), "p$u$1009: table id not in the schema");
}

}  // namespace
