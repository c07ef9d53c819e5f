// Connections, the dbfile registry, handles, the request's transaction and history
// bookkeeping, and the request log, against the SQL Server stand-in.
#include <string.h>

#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_vhash.h"
#include "store_fixture.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

// A configuration database "cfg" holding the dbfile "demo" with one synchronised table.
struct Dbfile : StoreTest {
  std::string table;
  tav_db_handle *h = nullptr;

  void SetUp() override {
    StoreTest::SetUp();
    std::string out;
    ASSERT_EQ(cli("create-config " + dataDir + " cfg", &out), 0) << out;
    ASSERT_EQ(cli("create-dbfile " + dataDir + " cfg demo", &out), 0) << out;
    run_script("cfg", "CREATE TABLE dbo.t (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(20) NULL)\n");
    ASSERT_EQ(cli("add-table " + dataDir + " cfg demo dbo.t", &out), 0) << out;
    table = out.substr(0, out.find('\n'));
    open("cfg");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    tav_db_mssql__handle_free(ctx, &h);
    StoreTest::TearDown();
  }
  // A committed application write: one new transaction.
  void write_row(const char *name) { exec(std::string("INSERT INTO dbo.t (name) VALUES (N'") + name + "')"); }
  QK_int64 get_gen() { return new_generation(h); }
};

TEST_F(StoreTest, OpenTakesJsonOrPlainTextAndReplacesTheDatabase) {
  ASSERT_EQ(cli("create-db " + dataDir + " first"), 0);
  ASSERT_EQ(cli("create-db " + dataDir + " second"), 0);
  // The JSON form and a database name that replaces the one in the string.
  std::string json = "{\"odbc_connection\": \"" + connection_string("first") + "\"}";
  tav_db_mssql__open(ctx, json.c_str(), "second", &conn);
  ASSERT_EQ(take_error(), "ok");
  exec("CREATE TABLE dbo.marker (id int NOT NULL PRIMARY KEY)");
  tav_db_mssql__close(ctx, &conn);
  EXPECT_EQ(conn, nullptr);
  open("second");
  EXPECT_EQ(int64("SELECT COUNT(*) FROM dbo.marker"), 0);
  tav_db_mssql__close(ctx, &conn);
  tav_db_mssql__close(ctx, &conn);  // NULL does nothing
  EXPECT_EQ(take_error(), "ok");

  // Nothing is handed out on failure.
  struct Case {
    std::string text;
    unsigned code;
  } cases[] = {{"{}", 47}, {"{\"odbc_connection\": 5}", 48}, {"{not json", 45},
               {"Driver=" + std::string(STANDIN_DRIVER) + ";Server=/nonexistent/dir", 0xFFFFFFFFu}};
  for (const Case &c : cases) {
    conn = reinterpret_cast<QK_mssql_connection *>(1);
    tav_db_mssql__open(ctx, c.text.c_str(), nullptr, &conn);
    EXPECT_EQ(code(), c.code) << c.text << ": " << message();
    EXPECT_EQ(conn, nullptr);
    QK_context__reset_error(ctx);
  }
}

TEST_F(StoreTest, LookupDbfileReadsTheRegistryRow) {
  ASSERT_EQ(cli("create-db " + dataDir + " bare"), 0);
  ASSERT_EQ(cli("create-config " + dataDir + " cfg"), 0);
  ASSERT_EQ(cli("register-dbfile " + dataDir + " cfg local"), 0);
  ASSERT_EQ(cli("register-dbfile " + dataDir + " cfg remote --version 16 --odbc qvsdb:other --scheme '{\"t\":\"basic\"}'"),
            0);
  struct Case {
    const char *database, *name;
    int found;
    QK_int32 version;
    const char *odbc, *scheme;
  } cases[] = {
      {"bare", "local", 0, -1, nullptr, nullptr},  // no registry table: simply not found
      {"cfg", "nothere", 0, -1, nullptr, nullptr},
      {"cfg", "local", 1, 17, nullptr, nullptr},  // tables in the configuration database
      {"cfg", "remote", 1, 16, "qvsdb:other", "{\"t\":\"basic\"}"},
      // The name is a text, whatever its quotes: neither a row nor an error comes of it.
      {"cfg", "local' OR name<>'", 0, -1, nullptr, nullptr},
      {"cfg", "x'; DROP TABLE tavrin.dbfiles; --", 0, -1, nullptr, nullptr},
      {"cfg", "remote", 1, 16, "qvsdb:other", "{\"t\":\"basic\"}"},
  };
  for (const Case &c : cases) {
    open(c.database);
    int found = -1;
    QK_int32 version = -1;
    char *odbc = reinterpret_cast<char *>(1), *scheme = reinterpret_cast<char *>(1);
    tav_db_mssql__lookup_dbfile(ctx, conn, c.name, &found, &version, &odbc, &scheme);
    ASSERT_EQ(take_error(), "ok") << c.name;
    EXPECT_EQ(found, c.found) << c.name;
    EXPECT_EQ(version, c.version) << c.name;
    EXPECT_STREQ(odbc, c.odbc) << c.name;
    EXPECT_STREQ(scheme, c.scheme) << c.name;
    QK_free(ctx, odbc);
    QK_free(ctx, scheme);
    tav_db_mssql__close(ctx, &conn);
  }
}

TEST_F(StoreTest, HandleNamesAreBoundedAndValid) {
  struct Case {
    std::string name;
    unsigned code;
  } cases[] = {{std::string(255, 'a'), 0}, {std::string(256, 'a'), 20}, {"demo;drop", 63}, {"Demo", 63}};
  for (const Case &c : cases) {
    tav_db_handle *h = reinterpret_cast<tav_db_handle *>(1);
    tav_db_mssql__handle_alloc(ctx, nullptr, c.name.c_str(), &h);
    EXPECT_EQ(code(), c.code) << c.name;
    if (c.code == 0) {
      EXPECT_EQ(std::string(h->name), c.name);
    } else {
      EXPECT_EQ(h, nullptr);
    }
    QK_context__reset_error(ctx);
    tav_db_mssql__handle_free(ctx, &h);
    EXPECT_EQ(h, nullptr);
  }
  tav_db_handle *h = nullptr;
  tav_db_mssql__handle_alloc(ctx, nullptr, nullptr, &h);
  EXPECT_EQ(take_error(), "2:pszName is null");
  tav_db_mssql__handle_free(ctx, nullptr);
}

TEST_F(Dbfile, TableTestsFindOnlyExistingUserTables) {
  int exists = -1;
  tav_db_mssql__old_table_exists(ctx, h, table.c_str(), &exists);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(exists, 1);
  tav_db_mssql__old_table_exists(ctx, h, "12345", &exists);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(exists, 0);
  tav_db_mssql__table_exists(ctx, conn, "demo", "$z$noop_updates", nullptr, &exists);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(exists, 1);
  // A table id is formatted into statements: anything but its decimal text is refused.
  tav_db_mssql__old_table_exists(ctx, h, "1]; DROP TABLE x; --", &exists);
  EXPECT_EQ(code(), 137u);
  QK_context__reset_error(ctx);
}

TEST_F(Dbfile, ExportGenerationAndLateTransactions) {
  write_row("a");
  QK_int64 gen = 0, txid = 0, count = -1;
  tav_db_mssql__set_low_deadlock_priority(ctx, h);
  tav_db_mssql__begin_tx(ctx, h, &gen);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(gen, 2);
  tav_db_mssql__get_max_txid(ctx, h, gen, &txid, &count);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, 3);
  EXPECT_EQ(count, 3);
  tav_db_mssql__rollback_tx(ctx, h);
  EXPECT_EQ(take_error(), "ok");

  // Fixing the generation and beginning are one batch: when it fails no transaction stays open.
  tav_db_handle *missing = nullptr;
  tav_db_mssql__handle_alloc(ctx, h->conn, "missing", &missing);
  ASSERT_EQ(take_error(), "ok");
  tav_db_mssql__begin_tx(ctx, missing, &gen);
  EXPECT_NE(take_error(), "ok");
  EXPECT_EQ(int64("SELECT @@TRANCOUNT"), 0);
  tav_db_mssql__handle_free(ctx, &missing);

  // A transaction that commits after the generation was fixed is late: retry.
  gen = get_gen();
  write_row("late");
  tav_db_mssql__get_max_txid(ctx, h, gen, &txid, nullptr);
  EXPECT_EQ(take_error(),
            "91:A late transaction has been committed after GetGen was called, but before get_max_txid. Retry the "
            "sync.");
  // Without an export generation the newest transaction is just reported.
  tav_db_mssql__get_max_txid(ctx, h, 0, &txid, nullptr);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, 4);
}

// GetTxId stores no rstamp: the newest transaction gets one when an export hands it out as the
// client's baseline, with the export's transaction, and keeps it from then on.
TEST_F(Dbfile, TheNewestTransactionIsStampedWhenHandedOut) {
  write_row("a");
  const std::string stamps = "SELECT txid, CASE WHEN rstamp IS NULL THEN 0 ELSE 1 END, "
                             "CASE WHEN rebaseid IS NULL THEN 0 ELSE 1 END FROM tavrin.[demo$t$tx] ORDER BY txid";
  EXPECT_EQ(server_rows(stamps), "1|0|0;2|0|0;3|0|0");
  QK_uint8 first[16], again[16];
  QK_int64 gen = 0, txid = 0, count = 0, rebaseid = 0, rebaseidAgain = 0;
  for (int commit : {0, 1}) {
    tav_db_mssql__begin_tx(ctx, h, &gen);
    tav_db_mssql__get_max_txid(ctx, h, gen, &txid, &count);
    tav_db_mssql__get_tx_info(ctx, h, txid, nullptr, nullptr, first, &rebaseid);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(txid, 3);
    EXPECT_NE(rebaseid, 0);
    if (commit)
      tav_db_mssql__commit_tx(ctx, h);
    else
      tav_db_mssql__rollback_tx(ctx, h);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(server_rows(stamps), commit ? "1|0|0;2|0|0;3|1|1" : "1|0|0;2|0|0;3|0|0") << "commit " << commit;
  }
  // Handed out again, by a later export or a stamp package: the same stamp.
  for (QK_int64 exportGeneration : {gen, (QK_int64)0}) {
    tav_db_mssql__begin_tx(ctx, h, nullptr);
    tav_db_mssql__get_max_txid(ctx, h, exportGeneration, &txid, nullptr);
    tav_db_mssql__get_tx_info(ctx, h, txid, nullptr, nullptr, again, &rebaseidAgain);
    tav_db_mssql__commit_tx(ctx, h);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_EQ(memcmp(first, again, 16), 0);
    EXPECT_EQ(rebaseidAgain, rebaseid);
  }
  int match = 0;
  tav_db_mssql__find_tx_by_rstamp(ctx, h, first, rebaseid, txid, &match, nullptr, &count, nullptr);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(match, 1);
  EXPECT_EQ(count, 3);
}

TEST_F(Dbfile, CountsAgreeWithAndWithoutTheCounterRow) {
  for (const char *name : {"a", "b", "c"}) write_row(name);
  QK_int64 txid = 0, count = 0;
  for (int withCounter : {1, 0}) {
    if (!withCounter) exec("DELETE FROM tavrin.[demo$t$rules] WHERE sit = 123");
    tav_db_mssql__get_max_txid(ctx, h, 0, &txid, &count);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(txid, 5);
    EXPECT_EQ(count, 5);
    for (QK_int64 upTo : {0, 1, 3, 5, 9}) {
      tav_db_mssql__count_txids(ctx, h, upTo, &count);
      EXPECT_EQ(take_error(), "ok");
      EXPECT_EQ(count, upTo < 5 ? upTo : 5) << "up to " << upTo << " counter row " << withCounter;
    }
  }
  // A dbfile without transactions: txid 0, count 0, the count output otherwise untouched.
  exec("DELETE FROM tavrin.[demo$t$tx]");
  count = 77;
  tav_db_mssql__get_max_txid(ctx, h, 0, &txid, &count);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, 0);
  EXPECT_EQ(count, 77);
}

TEST_F(Dbfile, PushTransactionsAreFoundByTheirRstamp) {
  QK_uint8 rstamp[16], other[16], read[16];
  for (int i = 0; i < 16; i++) rstamp[i] = (QK_uint8)(0xA0 + i), other[i] = (QK_uint8)i;
  QK_int64 txid = 0, rebaseid = 0, gen = -5, count = 0, readTxid = 0;
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  tav_db_mssql__get_tx_id(ctx, h, rstamp, &txid);
  tav_db_mssql__commit_tx(ctx, h);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, 3);
  tav_db_mssql__get_tx_info(ctx, h, txid, nullptr, &readTxid, read, &rebaseid);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(readTxid, 3);
  EXPECT_EQ(memcmp(read, rstamp, 16), 0) << "the rstamp keeps its byte order through GUID text";
  EXPECT_NE(rebaseid, 0);

  // A second transaction for the same push is refused, in a generation or not yet, and a
  // transaction without rstamp is not.
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  tav_db_mssql__get_tx_id(ctx, h, rstamp, &readTxid);
  EXPECT_EQ(take_error(), "313:a transaction holds the rstamp a3a2a1a0-a5a4-a7a6-a8a9-aaabacadaeaf already");
  tav_db_mssql__get_tx_id(ctx, h, nullptr, &readTxid);
  EXPECT_EQ(take_error(), "ok");
  tav_db_mssql__rollback_tx(ctx, h);
  ASSERT_EQ(take_error(), "ok");

  // Not in a generation yet: no client can hold it.
  int match = -1;
  tav_db_mssql__find_tx_by_rstamp(ctx, h, rstamp, 0, 0, &match, &gen, nullptr, nullptr);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(match, 0);
  EXPECT_EQ(gen, -5);
  QK_int64 exported = get_gen();
  struct Case {
    const QK_uint8 *stamp;
    QK_int64 rebaseid, txid;
    int match;
    QK_int64 generation, count;
  } cases[] = {
      {rstamp, 0, 0, 1, exported, 0},              // txid 0 matches any transaction with the rstamp
      {rstamp, rebaseid, txid, 1, exported, 3},    // the exact transaction, with the count up to it
      {rstamp, rebaseid + 1, txid, 0, exported, -1},  // rebased since
      {other, 0, 0, 0, -1, -1},                    // unknown rstamp
  };
  // Asked for, the history purge generation comes along and changes nothing else.
  QK_int64 purge = -99;
  tav_db_mssql__get_history_purge_generation(ctx, h, &purge);
  ASSERT_EQ(take_error(), "ok");
  for (const Case &c : cases) {
    for (bool withPurge : {false, true}) {
      QK_int64 readPurge = -99;
      gen = -1, count = -1, match = -1;
      tav_db_mssql__find_tx_by_rstamp(ctx, h, c.stamp, c.rebaseid, c.txid, &match, &gen, &count,
                                      withPurge ? &readPurge : nullptr);
      EXPECT_EQ(take_error(), "ok");
      EXPECT_EQ(match, c.match) << c.rebaseid;
      EXPECT_EQ(gen, c.generation) << c.rebaseid;
      EXPECT_EQ(count, c.count) << c.rebaseid;
      EXPECT_EQ(readPurge, withPurge ? purge : -99) << c.rebaseid;
    }
  }
  // new_txid hands out the next id without an rstamp.
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  tav_db_mssql__new_txid(ctx, h, &txid);
  tav_db_mssql__rollback_tx(ctx, h);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, 4);
}

TEST_F(Dbfile, TransactionInfoOfTheFirstAndOfMissingTransactions) {
  QK_vhash *status = nullptr;
  QK_vhash__alloc(ctx, &status);
  QK_uint8 rstamp[16];
  memset(rstamp, 0x55, sizeof rstamp);
  QK_int64 txid = -1, rebaseid = -1;
  exec("UPDATE tavrin.[demo$t$tx] SET rstamp = '00112233-4455-6677-8899-aabbccddeeff', rebaseid = 9 WHERE txid = 1");
  tav_db_mssql__get_tx_info(ctx, h, 1, status, &txid, rstamp, &rebaseid);
  ASSERT_EQ(take_error(), "ok");
  const char *first = nullptr;
  QK_vhash__get__sz(ctx, status, "first-rstamp", &first);
  EXPECT_STREQ(first, "33221100554477668899aabbccddeeff");  // the stored byte order
  EXPECT_EQ(txid, 1);
  EXPECT_EQ(rebaseid, 9);

  // Without any transaction: 32 zeros, a zero rstamp and rebaseid, the txid output untouched.
  exec("DELETE FROM tavrin.[demo$t$tx]");
  txid = -1;
  tav_db_mssql__get_tx_info(ctx, h, 1, status, &txid, rstamp, &rebaseid);
  ASSERT_EQ(take_error(), "ok");
  QK_vhash__get__sz(ctx, status, "first-rstamp", &first);
  EXPECT_STREQ(first, "00000000000000000000000000000000");
  EXPECT_EQ(txid, -1);
  EXPECT_EQ(rebaseid, 0);
  static const QK_uint8 zeros[16] = {0};
  EXPECT_EQ(memcmp(rstamp, zeros, 16), 0);
  QK_vhash__free(ctx, status);
}

TEST_F(Dbfile, HistoryPurgeGenerationAndTableMarks) {
  write_row("a");
  get_gen();
  write_row("b");
  get_gen();  // generations 1 to 3
  struct Case {
    const char *property;
    const char *setup;
    QK_int64 expected;
  } cases[] = {
      {nullptr, nullptr, -1},
      {"3", nullptr, 2},  // purged at the newest generation
      {"2", nullptr, 2},
      {"0", nullptr, 0},
  };
  for (const Case &c : cases) {
    exec("DELETE FROM tavrin.[demo$t$props]");
    if (c.property)
      exec(std::string("INSERT INTO tavrin.[demo$t$props] (name, value) VALUES "
                       "(N'purge_generation_at_history_purge', N'") + c.property + "')");
    QK_int64 g = -99;
    tav_db_mssql__get_history_purge_generation(ctx, h, &g);
    EXPECT_EQ(take_error(), "ok");
    EXPECT_EQ(g, c.expected) << (c.property ? c.property : "unset");
  }
  exec("UPDATE tavrin.[demo$t$props] SET value = N'x1'");
  QK_int64 g = 0;
  tav_db_mssql__get_history_purge_generation(ctx, h, &g);
  EXPECT_EQ(code(), 137u);
  QK_context__reset_error(ctx);

  // A generation exists only with its id; the history purge generation comes along on request.
  QK_int64 id = int64("SELECT id FROM tavrin.[demo$t$gen] WHERE generation = 2");
  int exists = -1;
  exec("UPDATE tavrin.[demo$t$props] SET value = N'1'");
  tav_db_mssql__generation_exists(ctx, h, 2, id, &exists, &g, nullptr, nullptr);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(exists, 1);
  EXPECT_EQ(g, 1);
  tav_db_mssql__generation_exists(ctx, h, 2, id + 1, &exists, nullptr, nullptr, nullptr);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(exists, 0);
  // A push's own stamp read along answers as its own look-up does: a transaction in a
  // generation, one not exported yet, and no transaction at all.
  exec("UPDATE tavrin.[demo$t$tx] SET rstamp = '00112233-4455-6677-8899-aabbccddeeff', rebaseid = 9 "
       "WHERE txid = (SELECT MIN(txid) FROM tavrin.[demo$t$tx] WHERE generation IS NOT NULL)");
  exec("UPDATE tavrin.[demo$t$tx] SET rstamp = '10112233-4455-6677-8899-aabbccddeeff', rebaseid = 9, "
       "generation = NULL WHERE txid = (SELECT MAX(txid) FROM tavrin.[demo$t$tx])");
  for (const char *stamp : {"00112233-4455-6677-8899-aabbccddeeff", "10112233-4455-6677-8899-aabbccddeeff",
                            "20112233-4455-6677-8899-aabbccddeeff"}) {
    QK_uint8 rstamp[16];
    int applied = -1, match = -1;
    QK_guid__from_sz(ctx, stamp, rstamp);
    tav_db_mssql__generation_exists(ctx, h, 2, id, &exists, nullptr, rstamp, &applied);
    tav_db_mssql__find_tx_by_rstamp(ctx, h, rstamp, 0, 0, &match, nullptr, nullptr, nullptr);
    EXPECT_EQ(take_error(), "ok") << stamp;
    EXPECT_EQ(exists, 1) << stamp;
    EXPECT_EQ(applied, match) << stamp;
    EXPECT_EQ(applied, stamp[0] == '0') << stamp;
  }

  QK_int64 purged = 0;
  tav_db_mssql__get_table_purged(ctx, h, table.c_str(), &purged);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(purged, -1);
  exec("UPDATE tavrin.[demo$t$t] SET purged = 2");
  tav_db_mssql__get_table_purged(ctx, h, table.c_str(), &purged);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(purged, -1) << "the marks are read once, for all tables, until the transaction ends";
  tav_db_mssql__begin_tx(ctx, h, nullptr);
  tav_db_mssql__get_table_purged(ctx, h, table.c_str(), &purged);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(purged, 2);
  tav_db_mssql__commit_tx(ctx, h);
  EXPECT_EQ(take_error(), "ok");
  tav_db_mssql__get_table_purged(ctx, h, "999", &purged);
  EXPECT_EQ(code(), 100u) << "no row";
  QK_context__reset_error(ctx);

  QK_int64 fkTxid = 0, fkGen = -1;
  tav_db_mssql__get_fk_constraint_list_txid(ctx, h, table.c_str(), &fkTxid, &fkGen);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(fkTxid, 2);
  EXPECT_EQ(fkGen, 2);
  tav_db_mssql__get_fk_constraint_list_txid(ctx, h, "999", &fkTxid, &fkGen);
  EXPECT_EQ(code(), 500u);
  EXPECT_NE(message().find("(fetchedRow)"), std::string::npos) << message();
  QK_context__reset_error(ctx);
}

TEST_F(Dbfile, IdentityKeyLogAndServerDate) {
  exec("INSERT INTO tavrin.[demo$t$ipklog] (fid, tbl_id, temp_ipk, import_txid, final_ipk) VALUES "
       "(7, 1, 1, 3, 10), (7, 1, 2, 5, 11), (8, 1, 1, 3, 12)");
  tav_db_mssql__purge_ipklog(ctx, h, 4, 7);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.[demo$t$ipklog] WHERE fid = 7"), 1);
  EXPECT_EQ(int64("SELECT COUNT(*) FROM tavrin.[demo$t$ipklog] WHERE fid = 8"), 1);
  exec("DROP TABLE tavrin.[demo$t$ipklog]");
  tav_db_mssql__purge_ipklog(ctx, h, 4, 7);  // the log is optional
  EXPECT_EQ(take_error(), "ok");

  char *date = nullptr;
  tav_db_mssql__get_utc_date(ctx, h, &date);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_NE(date, nullptr);
  int y, mo, d, hh, mi, ss;
  EXPECT_EQ(sscanf(date, "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &hh, &mi, &ss), 6) << date;
  QK_free(ctx, date);
}

TEST_F(Dbfile, RequestLogRowFollowsTheConfigurationVersion) {
  ASSERT_EQ(cli("register-dbfile " + dataDir + " cfg demo --version 8"), 0);
  tav_db_mssql__log_request(ctx, conn, "/demo/pull?x=1", 1700000000, "10.0.0.1", 10, 20, 200, 5, 42, 43);
  ASSERT_EQ(take_error(), "ok");
  exec("UPDATE tavrin.dbfiles SET version = 17");
  tav_db_mssql__log_request(ctx, conn, "/demo/push", 1700000001, "::1", 11, 21, 244, 6, 42, 43);
  ASSERT_EQ(take_error(), "ok");
  SQLHSTMT st = nullptr;
  QK_mssql__prepare(ctx, conn, &st,
                    "SELECT url, unix_time, ip_address, request_size, response_size, status, elapsed, "
                    "COALESCE(txid, -1), COALESCE(txid_r, -1) FROM tavrin.log ORDER BY unix_time");
  QK_mssql__execute(ctx, st);
  ASSERT_EQ(take_error(), "ok");
  std::vector<std::string> rows;
  int row = 0;
  while (QK_mssql__fetch(ctx, st, &row), row) {
    std::string line;
    for (QK_uint16 c = 1; c <= 9; c++) {
      char *v = nullptr;
      QK_mssql__get__nstring(ctx, st, c, &v);
      line += std::string(v ? v : "NULL") + (c < 9 ? "|" : "");
      QK_free(ctx, v);
    }
    rows.push_back(line);
  }
  QK_mssql__free_stmt(ctx, st);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(rows, (std::vector<std::string>{"/demo/pull?x=1|1700000000|10.0.0.1|10|20|200|5|-1|-1",
                                            "/demo/push|1700000001|::1|11|21|244|6|42|43"}));

  // Without the log table nothing is written and nothing fails.
  exec("DROP TABLE tavrin.log");
  tav_db_mssql__log_request(ctx, conn, "/demo/pull", 1, "", 0, 0, 200, 0, 0, 0);
  EXPECT_EQ(take_error(), "ok");
}

}  // namespace

#endif
