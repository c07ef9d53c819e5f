// The store's tests run through the real unixODBC driver manager against the SQL Server
// stand-in, in a data directory provisioned by the stand-in's management CLI.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "context_fixture.h"
#include "qk/qk_malloc.h"
#include "qk/qk_mssql.h"
#include "server/tav_db_mssql.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

inline std::string store_temp_dir(const char *prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
  return mkdtemp(tmpl.data());
}

// ODBCSYSINI must be set before the driver manager first reads it.
struct StorePrivateOdbcIni {
  std::string dir = store_temp_dir("tav_store_odbcini_");
  StorePrivateOdbcIni() {
    FILE *f = fopen((dir + "/odbcinst.ini").c_str(), "w");
    fputs("[ODBC]\nTrace=No\n", f);
    fclose(f);
    fclose(fopen((dir + "/odbc.ini").c_str(), "w"));
    setenv("ODBCSYSINI", dir.c_str(), 1);
  }
  ~StorePrivateOdbcIni() { std::filesystem::remove_all(dir); }
};

struct StoreTest : ContextTest {
  std::string dataDir = store_temp_dir("tav_store_data_");
  QK_mssql_connection *conn = nullptr;

  void TearDown() override {
    tav_db_mssql__close(ctx, &conn);
    ContextTest::TearDown();
    std::filesystem::remove_all(dataDir);
  }
  std::string connection_string(const std::string &database) {
    return std::string("Driver=") + STANDIN_DRIVER + ";Server=" + dataDir + ";Database=" + database;
  }
  // Runs a shell command; its exit status, its standard output into out.
  static int run_shell(const std::string &cmd, std::string &out) {
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    out.clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    return WEXITSTATUS(pclose(p));
  }
  // Output of a shell command, without a final line feed.
  static std::string capture(const std::string &cmd) {
    std::string out;
    run_shell(cmd, out);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  // Runs the management CLI; its output goes to *pOut.
  int cli(const std::string &args, std::string *pOut = nullptr) {
    std::string out;
    int rc = run_shell(std::string(STANDIN_CLI) + " " + args + " 2>&1", out);
    if (pOut) *pOut = out;
    return rc;
  }
  void run_script(const std::string &database, const std::string &script) {
    std::string path = dataDir + "/script.sql", out;
    std::ofstream(path) << script;
    ASSERT_EQ(cli("run " + dataDir + " " + database + " " + path, &out), 0) << out;
  }
  void open(const std::string &database) {
    tav_db_mssql__open(ctx, connection_string(database).c_str(), nullptr, &conn);
    ASSERT_EQ(take_error(), "ok");
  }
  void exec(const std::string &sql) {
    QK_mssql__exec(ctx, conn, sql.c_str());
    ASSERT_EQ(take_error(), "ok") << sql;
  }
  QK_int64 int64(const std::string &sql) {
    QK_int64 v = -99;
    QK_mssql__query_int64__format(ctx, conn, &v, "%s", sql.c_str());
    EXPECT_EQ(take_error(), "ok") << sql;
    return v;
  }
  // Rows of a query on SQL Server: columns joined by "|", rows by ";", NULL as "NULL".
  std::string server_rows(const std::string &sql) {
    SQLHSTMT st = SQL_NULL_HSTMT;
    QK_int16 cols = 0;
    int row = 0;
    std::string out;
    QK_mssql__prepare(ctx, conn, &st, sql.c_str());
    QK_mssql__execute(ctx, st);
    QK_mssql__num_result_cols(ctx, st, &cols);
    for (;;) {
      QK_mssql__fetch(ctx, st, &row);
      if (!row || QK_context__has_error(ctx)) break;
      if (!out.empty()) out += ";";
      for (int c = 1; c <= cols; c++) {
        char *v = nullptr;
        QK_mssql__get__nstring(ctx, st, (QK_uint16)c, &v);
        out += (c > 1 ? "|" : "") + std::string(v ? v : "NULL");
        QK_free(ctx, v);
      }
    }
    QK_mssql__free_stmt(ctx, st);
    EXPECT_EQ(take_error(), "ok") << sql;
    return out;
  }
  // Writes in one transaction of another writer on the dbfile "demo"; its txid.
  QK_int64 write(const std::string &sql) {
    exec("BEGIN TRANSACTION");
    exec(sql);
    QK_int64 txid = int64("SELECT MAX(txid) FROM tavrin.demo$t$tx");
    exec("COMMIT TRANSACTION");
    return txid;
  }
  // Opens and commits a request transaction on the dbfile; the generation it got.
  QK_int64 new_generation(tav_db_handle *h) {
    QK_int64 g = 0;
    tav_db_mssql__begin_tx(ctx, h, &g);
    EXPECT_EQ(take_error(), "ok");
    tav_db_mssql__commit_tx(ctx, h);
    EXPECT_EQ(take_error(), "ok");
    return g;
  }
  QK_uint32 code() {
    QK_error err;
    QK_context__get_error(ctx, &err);
    return QK_ERROR_CODE(err);
  }
};

#endif
