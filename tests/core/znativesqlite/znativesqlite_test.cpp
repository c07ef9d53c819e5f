#include "znativesqlite/znativesqlite.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "python_oracle.h"

namespace {

struct NativeSqlite : ::testing::Test {
  const znativesqlite_api *api = znativesqlite__get_api();
  sqlite3 *db = nullptr;
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/znativesqlite_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(api->open_v2((dir + "/db").c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), SQLITE_OK);
  }
  void TearDown() override {
    EXPECT_EQ(api->close(db), SQLITE_OK);
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
  }
  void exec(const char *sql) { ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql; }
  sqlite3_stmt *prepare(const char *sql) {
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(api->prepare_v2(db, sql, &st), SQLITE_OK) << api->errmsg(db);
    return st;
  }
  std::string column_text(const char *sql) {
    sqlite3_stmt *st = prepare(sql);
    std::string r = api->step(st) == SQLITE_ROW ? (const char *)api->column_text(st, 0) : "<none>";
    api->finalize(st);
    return r;
  }
  static std::string read_file(const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

// Callers index the table by slot: the order is part of the interface.
TEST_F(NativeSqlite, SlotsSitInTheirFixedOrder) {
  size_t slot = sizeof(void *);
  EXPECT_EQ(sizeof(znativesqlite_api), 29 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, bind_blob), 0 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, bind_zeroblob), 5 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, changes), 6 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, close), 8 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, column_text), 15 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, errstr), 18 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, open_v2), 21 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, step), 24 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, bind_row_values), 25 * slot);
  EXPECT_EQ(offsetof(znativesqlite_api, file_to_blob), 28 * slot);
  const void *const *slots = reinterpret_cast<const void *const *>(api);
  for (int i = 0; i < 29; i++) EXPECT_NE(slots[i], nullptr) << i;
  EXPECT_EQ(api, znativesqlite__get_api());
}

TEST_F(NativeSqlite, ThinEntriesBindStepAndRead) {
  exec("CREATE TABLE t (a, b, c, d, e, f)");
  sqlite3_stmt *st = prepare("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)");
  std::string text = "x'y";
  const char blob[] = {1, 0, 2};
  EXPECT_EQ(api->bind_blob(st, 1, blob, 3), SQLITE_OK);
  EXPECT_EQ(api->bind_int(st, 2, -5), SQLITE_OK);
  EXPECT_EQ(api->bind_int64(st, 3, 5000000000LL), SQLITE_OK);
  EXPECT_EQ(api->bind_null(st, 4), SQLITE_OK);
  EXPECT_EQ(api->bind_text(st, 5, text.c_str()), SQLITE_OK);
  EXPECT_EQ(api->bind_zeroblob(st, 6, 4), SQLITE_OK);
  text = "changed after binding";  // both copies were taken at bind time
  EXPECT_EQ(api->step(st), SQLITE_DONE);
  EXPECT_EQ(api->changes(db), 1);
  EXPECT_EQ(api->last_insert_rowid(db), 1);
  EXPECT_EQ(api->reset(st), SQLITE_OK);
  EXPECT_EQ(api->clear_bindings(st), SQLITE_OK);
  EXPECT_EQ(api->step(st), SQLITE_DONE);
  EXPECT_EQ(api->finalize(st), SQLITE_OK);

  st = prepare("SELECT a, b, c, d, e, hex(f) AS zeros FROM t ORDER BY rowid");
  ASSERT_EQ(api->step(st), SQLITE_ROW);
  EXPECT_EQ(api->column_count(st), 6);
  EXPECT_EQ(api->column_bytes(st, 0), 3);
  EXPECT_EQ(std::string((const char *)api->column_blob(st, 0), 3), std::string(blob, 3));
  EXPECT_EQ(api->column_int(st, 1), -5);
  EXPECT_EQ(api->column_int64(st, 2), 5000000000LL);
  EXPECT_EQ(api->column_type(st, 3), SQLITE_NULL);
  EXPECT_STREQ((const char *)api->column_text(st, 4), "x'y");
  EXPECT_STREQ((const char *)api->column_text(st, 5), "00000000");
  EXPECT_STREQ(api->column_name(st, 5), "zeros");
  ASSERT_EQ(api->step(st), SQLITE_ROW);
  EXPECT_EQ(api->column_type(st, 0), SQLITE_NULL);
  EXPECT_EQ(api->step(st), SQLITE_DONE);
  api->finalize(st);

  // prepare_v2 takes the first statement only.
  st = prepare("SELECT 1; DROP TABLE t");
  EXPECT_EQ(api->step(st), SQLITE_ROW);
  api->finalize(st);
  EXPECT_EQ(column_text("SELECT count(*) FROM t"), "2");
  st = nullptr;
  EXPECT_EQ(api->prepare_v2(db, "SELEC 1", &st), SQLITE_ERROR);
  EXPECT_STREQ(api->errmsg(db), "near \"SELEC\": syntax error");
}

TEST_F(NativeSqlite, ErrstrAndFailedOpen) {
  EXPECT_STREQ(api->errstr(516), "abort due to ROLLBACK");
  EXPECT_STREQ(api->errstr(29), "unknown error");
  EXPECT_STREQ(api->errstr(SQLITE_CONSTRAINT), "constraint failed");
  sqlite3 *missing = nullptr;
  EXPECT_EQ(api->open_v2((dir + "/none/x.db").c_str(), &missing, SQLITE_OPEN_READWRITE), SQLITE_CANTOPEN);
  ASSERT_NE(missing, nullptr);
  EXPECT_STREQ(api->errmsg(missing), "unable to open database file");
  EXPECT_EQ(api->close(missing), SQLITE_OK);
}

TEST_F(NativeSqlite, BindRowValuesAndCopyRows) {
  exec("CREATE TABLE src (a, b, c); INSERT INTO src VALUES (1, 'x', X'00'), (2, NULL, 2.5);"
       "CREATE TABLE dst (a, b, c); CREATE TABLE pair (p, q UNIQUE)");
  sqlite3_stmt *src = prepare("SELECT a, b, c FROM src ORDER BY a");
  sqlite3_stmt *dst = prepare("INSERT INTO dst VALUES (?, ?, ?)");
  int src_rc = -1, dst_rc = -1;
  EXPECT_EQ(api->copy_rows(src, dst, &src_rc, &dst_rc), SQLITE_DONE);
  EXPECT_EQ(src_rc, -1);
  EXPECT_EQ(dst_rc, -1);
  EXPECT_EQ(column_text("SELECT group_concat(quote(a) || quote(b) || quote(c), ';') FROM dst"), "1'x'X'00';2NULL2.5");

  // No rows: done at once, both out-codes untouched.
  sqlite3_stmt *none = prepare("SELECT a, b, c FROM src WHERE 0");
  EXPECT_EQ(api->copy_rows(none, dst, &src_rc, &dst_rc), SQLITE_DONE);
  EXPECT_EQ(src_rc, -1);
  EXPECT_EQ(dst_rc, -1);

  // A failing insert stops the copy and reports through dst_rc.
  sqlite3_stmt *twice = prepare("SELECT 1, 7 UNION ALL SELECT 2, 7");
  sqlite3_stmt *pair = prepare("INSERT INTO pair VALUES (?, ?)");
  EXPECT_EQ(api->copy_rows(twice, pair, &src_rc, &dst_rc), SQLITE_CONSTRAINT);
  EXPECT_EQ(dst_rc, SQLITE_CONSTRAINT);
  EXPECT_EQ(src_rc, -1);

  // count -1 binds every column; first_col and param_offset shift both sides.
  sqlite3_stmt *row = prepare("SELECT 'a', 'b', 'c'");
  sqlite3_stmt *cat = prepare("SELECT ?1 || ?2 || ?3 || ?4");
  ASSERT_EQ(api->step(row), SQLITE_ROW);
  EXPECT_EQ(api->bind_row_values(row, 0, cat, 0, -1), SQLITE_OK);
  EXPECT_EQ(api->bind_text(cat, 4, "!"), SQLITE_OK);
  ASSERT_EQ(api->step(cat), SQLITE_ROW);
  EXPECT_STREQ((const char *)api->column_text(cat, 0), "abc!");
  api->reset(cat);
  EXPECT_EQ(api->bind_row_values(row, 1, cat, 2, 2), SQLITE_OK);
  ASSERT_EQ(api->step(cat), SQLITE_ROW);
  EXPECT_STREQ((const char *)api->column_text(cat, 0), "abbc");
  api->reset(cat);
  EXPECT_EQ(api->bind_row_values(row, 0, cat, 3, 2), SQLITE_RANGE);
  for (sqlite3_stmt *st : {src, dst, none, twice, pair, row, cat}) api->finalize(st);
}

TEST_F(NativeSqlite, BlobsMoveToFilesAndBack) {
  exec("CREATE TABLE b (data)");
  // Python writes the blob (about 3.5 pieces) and later checks the file's SHA-1.
  auto rows = python_oracle_rows("import sqlite3, hashlib, random\n"
                                 "data = random.Random(5).randbytes(16384 * 3 + 777)\n"
                                 "c = sqlite3.connect('" + dir + "/db')\n"
                                 "c.execute('INSERT INTO b VALUES (?)', (data,)); c.commit()\n"
                                 "print(hashlib.sha1(data).hexdigest())\n");
  ASSERT_EQ(rows.size(), 1u);
  std::string out = dir + "/blob.bin";
  EXPECT_EQ(api->blob_to_file(db, out.c_str(), "b", "data", 1), SQLITE_OK);
  auto digest = python_oracle_rows("import hashlib\nprint(hashlib.sha1(open('" + out + "', 'rb').read()).hexdigest())\n");
  ASSERT_EQ(digest.size(), 1u);
  EXPECT_EQ(digest[0][0], rows[0][0]);

  // Never over an existing file; a missing row leaves no file behind.
  std::ofstream(dir + "/existing") << "keep";
  EXPECT_EQ(api->blob_to_file(db, (dir + "/existing").c_str(), "b", "data", 1), 1);
  EXPECT_EQ(read_file(dir + "/existing"), "keep");
  EXPECT_EQ(api->blob_to_file(db, (dir + "/other").c_str(), "b", "data", 99), SQLITE_ERROR);
  EXPECT_NE(access((dir + "/other").c_str(), F_OK), 0);

  // Back into a zeroblob of the same size, and refused by one that is too small.
  exec("INSERT INTO b VALUES (zeroblob(16384 * 3 + 777)), (zeroblob(10))");
  EXPECT_EQ(api->file_to_blob(db, out.c_str(), "b", "data", 2), SQLITE_OK);
  EXPECT_EQ(column_text("SELECT (SELECT data FROM b WHERE rowid = 1) = (SELECT data FROM b WHERE rowid = 2)"), "1");
  EXPECT_EQ(api->file_to_blob(db, out.c_str(), "b", "data", 3), SQLITE_ERROR);
  EXPECT_EQ(api->file_to_blob(db, (dir + "/missing").c_str(), "b", "data", 2), 1);
}

}  // namespace
