// A work directory, the schema fixture and the outside views of a package file: python's
// sqlite3 module and the package inspector (tests/tools/pkg_inspect.py), neither of which
// shares code with the server.
#pragma once

#include <sqlite3.h>

#include <string>

#include "defin_fixture.h"
#include "file_fixture.h"
#include "server/tav_handle_conflicts.h"

struct PkgTest : FileTest {
  tav_defin *d = nullptr;
  tav_pkg pkg = {};
  void SetUp() override {
    FileTest::SetUp();
    build_fixture_defin(ctx, &d);
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    tav_pkg__close(ctx, &pkg);
    QK_context__reset_error(ctx);
    tav_defin__free(ctx, &d);
    FileTest::TearDown();
  }

  // Rows of a query on an open connection: columns joined by "|", rows by ";", NULL as "NULL".
  static std::string rows(sqlite3 *db, const std::string &sql) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return std::string("<") + sqlite3_errmsg(db) + ">";
    std::string out;
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (!out.empty()) out += ";";
      for (int i = 0; i < sqlite3_column_count(st); i++) {
        if (i) out += "|";
        const unsigned char *t = sqlite3_column_text(st, i);
        out += t ? (const char *)t : "NULL";
      }
    }
    sqlite3_finalize(st);
    return out;
  }
  static std::string exec(sqlite3 *db, const std::string &sql) {
    char *err = nullptr;
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    std::string r = err ? err : "ok";
    sqlite3_free(err);
    return r;
  }

  // The schema fixture as JSON in the work directory, for the inspector's --schema.
  std::string schema_file() {
    QK_string *s = nullptr;
    tav_defin__to_json(ctx, d, &s);
    std::string p = path("schema.json");
    write_file(p, s ? QK_string__sz(s) : "");
    QK_string__free(ctx, s);
    return p;
  }
  // The inspector's verdict: "ok" or its problems, one per line.
  std::string inspect(const std::string &file, const std::string &options = "") {
    return sh("/usr/bin/python3 '" TAVRIN_SOURCE_DIR "/tests/tools/pkg_inspect.py' '" + file + "' " + options +
              " 2>&1");
  }
  // A python sqlite3 script run with the package bound as P; its stdout.
  std::string python(const std::string &file, const std::string &body) {
    std::string script = path("probe.py");
    write_file(script, "import sqlite3\nP = '" + file + "'\n" + body);
    return sh("/usr/bin/python3 '" + script + "' 2>&1");
  }

  // Commits the package and closes its connection, leaving the file for outside readers.
  void finish() {
    ASSERT_EQ(exec(pkg.db, "COMMIT TRANSACTION"), "ok");
    ASSERT_EQ(sqlite3_close(pkg.db), SQLITE_OK);
    pkg.db = nullptr;
  }
};
