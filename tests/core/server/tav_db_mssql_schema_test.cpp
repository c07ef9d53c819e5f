// Schema reflection against the SQL Server stand-in: the definition built from the catalog,
// the type and collation mapping, the key passes with and without a row filter, and the
// process-wide schema cache.
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "common/tav_filter.h"
#include "common/tav_parse_defin.h"
#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_query.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql_schema.h"
#include "store_fixture.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

// Three host tables: an identity table with a default, a unique key and a binary collation;
// an order table in schema "sales" with a composite primary key and every sort of default;
// and a line table with a composite foreign key and the remaining types.
const char kHostTables[] =
    "CREATE SCHEMA sales\n"
    "GO\n"
    "CREATE TABLE dbo.customers (id int IDENTITY(1,1) NOT NULL PRIMARY KEY,"
    " name nvarchar(50) NOT NULL DEFAULT (N'anon'), code char(4) COLLATE Latin1_General_BIN2 NULL,"
    " note varchar(max) COLLATE Modern_Spanish_CI_AI NULL, CONSTRAINT uq_customers_name UNIQUE (name))\n"
    "CREATE TABLE sales.orders (region int NOT NULL, num int NOT NULL,"
    " customer_id int NULL CONSTRAINT fk_orders_customer REFERENCES dbo.customers(id),"
    " placed datetime2(3) NOT NULL DEFAULT (getutcdate()), total decimal(10,2) NOT NULL DEFAULT ((0)),"
    " flag bit NOT NULL DEFAULT ((1)), token uniqueidentifier NULL, pic varbinary(16) NULL,"
    " CONSTRAINT pk_orders PRIMARY KEY (region, num), CONSTRAINT ck_total CHECK (total >= 0))\n"
    "CREATE TABLE dbo.lines (region int NOT NULL, num int NOT NULL, line smallint NOT NULL, qty tinyint NULL,"
    " price money NULL, w real NULL, d float NULL, t time(2) NULL, dt datetime NULL, sdt smalldatetime NULL,"
    " day date NULL, big bigint NULL, bin binary(4) NULL, nc nchar(3) NULL, sm smallmoney NULL,"
    " CONSTRAINT pk_lines PRIMARY KEY (region, num, line),"
    " CONSTRAINT fk_lines_order FOREIGN KEY (region, num) REFERENCES sales.orders (region, num) ON DELETE CASCADE)\n";

struct Schema : StoreTest {
  tav_db_handle *h = nullptr;
  std::string customers, orders, lines;

  void SetUp() override {
    StoreTest::SetUp();
    std::string out;
    ASSERT_EQ(cli("create-config " + dataDir + " cfg", &out), 0) << out;
    ASSERT_EQ(cli("create-dbfile " + dataDir + " cfg demo", &out), 0) << out;
    run_script("cfg", kHostTables);
    customers = add_table("dbo.customers");
    orders = add_table("sales.orders");
    lines = add_table("dbo.lines");
    open("cfg");
    tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
    ASSERT_EQ(take_error(), "ok");
  }
  void TearDown() override {
    tav_db_mssql__handle_free(ctx, &h);
    StoreTest::TearDown();
  }
  std::string add_table(const std::string &args) {
    std::string out;
    EXPECT_EQ(cli("add-table " + dataDir + " cfg demo " + args, &out), 0) << out;
    return out.substr(0, out.find('\n'));
  }
  std::string json(tav_defin *psk) {
    QK_string *p = nullptr;
    tav_defin__to_json(ctx, psk, &p);
    EXPECT_EQ(take_error(), "ok");
    std::string s = p ? QK_string__sz(p) : "";
    QK_string__free(ctx, p);
    return s;
  }
  std::string doc(const QK_vhash *pvh) {
    QK_string *p = nullptr;
    QK_string__alloc(ctx, &p);
    if (pvh) QK_vhash__to_json(ctx, pvh, p);
    std::string s = QK_string__sz(p);
    QK_string__free(ctx, p);
    return s;
  }
};

// Replaces {C}, {O} and {L} by the table ids.
std::string with_ids(std::string text, const Schema &f) {
  const std::pair<std::string, std::string> ids[] = {{"{C}", f.customers}, {"{O}", f.orders}, {"{L}", f.lines}};
  for (const auto &id : ids)
    for (size_t at; (at = text.find(id.first)) != std::string::npos;) text.replace(at, id.first.size(), id.second);
  return text;
}

const char kExpectedSchema[] =
    R"J({"compat_level":1,"backend":{"indistinct_unique_nulls":true,"name":"mssql","api":"odbc"},"filter_id":0,)J"
    R"J("tbls":{"{C}":{"name":"customers","txid":2,"cols":{)J"
    R"J("1":{"name":"id","mssql_col_data_type":"int","type":{"name":"identity"},"notnull":{}},)J"
    R"J("2":{"name":"name","mssql_col_data_type":"nvarchar","type":{"name":"text","fixed_width":false,"noaccent":false,"nocase":true,"unicode":true,"width":50},"notnull":{},"defval":{"expr":"'anon'"}},)J"
    R"J("3":{"name":"code","mssql_col_data_type":"char","type":{"name":"text","fixed_width":true,"binary":true,"unicode":false,"width":4}},)J"
    R"J("4":{"name":"note","mssql_col_data_type":"varchar","type":{"name":"text","fixed_width":false,"locale":"es-ES","noaccent":true,"nocase":true,"unicode":false,"width":0}}},)J"
    R"J("uniques":{"uq_customers_name":{"2":null}}},)J"
    R"J("{O}":{"name":"sales_orders","txid":3,"cols":{)J"
    R"J("1":{"name":"region","mssql_col_data_type":"int","type":{"name":"sint32"},"notnull":{}},)J"
    R"J("2":{"name":"num","mssql_col_data_type":"int","type":{"name":"sint32"},"notnull":{}},)J"
    R"J("3":{"name":"customer_id","mssql_col_data_type":"int","type":{"name":"sint32"},"fk":{"name":"fk_orders_customer","ref_tbl_id":"{C}","ref_col_id":"1","deferred":false,"on_delete":"NO ACTION","on_update":"NO ACTION"}},)J"
    R"J("4":{"name":"placed","mssql_col_data_type":"datetime2","type":{"name":"datetime","precision":3},"notnull":{},"defval":{"expr":"(datetime('now'))"}},)J"
    R"J("5":{"name":"total","mssql_col_data_type":"decimal","type":{"name":"decimal","precision":10,"scale":2},"notnull":{},"defval":{"expr":"0"}},)J"
    R"J("6":{"name":"flag","mssql_col_data_type":"bit","type":{"name":"uint1"},"notnull":{},"defval":{"expr":"1"}},)J"
    R"J("7":{"name":"token","mssql_col_data_type":"uniqueidentifier","type":{"name":"guid"}},)J"
    R"J("8":{"name":"pic","mssql_col_data_type":"varbinary","type":{"name":"blob","fixed_width":false,"width":16}}},)J"
    R"J("pk":{"name":"pk_orders","cols":{"1":null,"2":null}}},)J"
    R"J("{L}":{"name":"lines","txid":4,"cols":{)J"
    R"J("1":{"name":"region","mssql_col_data_type":"int","type":{"name":"sint32"},"notnull":{}},)J"
    R"J("2":{"name":"num","mssql_col_data_type":"int","type":{"name":"sint32"},"notnull":{}},)J"
    R"J("3":{"name":"line","mssql_col_data_type":"smallint","type":{"name":"sint16"},"notnull":{}},)J"
    R"J("4":{"name":"qty","mssql_col_data_type":"tinyint","type":{"name":"uint8"}},)J"
    R"J("5":{"name":"price","mssql_col_data_type":"money","type":{"name":"money8"}},)J"
    R"J("6":{"name":"w","mssql_col_data_type":"real","type":{"name":"real4"}},)J"
    R"J("7":{"name":"d","mssql_col_data_type":"float","type":{"name":"real8"}},)J"
    R"J("8":{"name":"t","mssql_col_data_type":"time","type":{"name":"time","precision":11}},)J"
    R"J("9":{"name":"dt","mssql_col_data_type":"datetime","type":{"name":"datetime","precision":3}},)J"
    R"J("10":{"name":"sdt","mssql_col_data_type":"smalldatetime","type":{"name":"datetime","precision":0}},)J"
    R"J("11":{"name":"day","mssql_col_data_type":"date","type":{"name":"date"}},)J"
    R"J("12":{"name":"big","mssql_col_data_type":"bigint","type":{"name":"sint64"}},)J"
    R"J("13":{"name":"bin","mssql_col_data_type":"binary","type":{"name":"blob","fixed_width":true,"width":4}},)J"
    R"J("14":{"name":"nc","mssql_col_data_type":"nchar","type":{"name":"text","fixed_width":true,"noaccent":false,"nocase":true,"unicode":true,"width":3}},)J"
    R"J("15":{"name":"sm","mssql_col_data_type":"smallmoney","type":{"name":"money4"}}},)J"
    R"J("pk":{"name":"pk_lines","cols":{"1":null,"2":null,"3":null}},)J"
    R"J("foreignkeys":{"{FK}":{"cols":{"1":"1","2":"2"},"name":"fk_lines_order","ref_tbl_id":"{O}","deferred":false,"on_delete":"CASCADE","on_update":"NO ACTION"}}}}})J";

const char kExpectedHostInternals[] =
    R"J({"collations":{"{C}":{"2":"SQL_Latin1_General_CP1_CI_AS","3":"Latin1_General_BIN2","4":"Modern_Spanish_CI_AI"},)J"
    R"J("{L}":{"9":"datetime","10":"smalldatetime","14":"SQL_Latin1_General_CP1_CI_AS"}},)J"
    R"J("defvals":{"{C}":{"2":"(N'anon')"},"{O}":{"4":"(getutcdate())","5":"((0))","6":"((1))"}}})J";

TEST_F(Schema, ReflectsTheCatalogIntoTheDefinition) {
  tav_defin *psk = nullptr;
  QK_int64 txid = -1;
  tav_db_mssql__fetch_schema(ctx, h, nullptr, &txid, nullptr, &psk);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(txid, 4);  // the newest table's schema transaction
  std::string fk = std::to_string(int64("SELECT object_id FROM sys.foreign_keys WHERE name = 'fk_lines_order'"));
  std::string expected = with_ids(kExpectedSchema, *this);
  expected.replace(expected.find("{FK}"), 4, fk);
  EXPECT_EQ(json(psk), expected);
  EXPECT_EQ(doc(psk->host_internals), with_ids(kExpectedHostInternals, *this));
  tav_defin__free(ctx, &psk);
}

// Defaults SQL Server takes but a client's column could not: the columns go without a default,
// the administrator is warned, and the rest of the schema is served.
TEST_F(Schema, AnUntranslatableDefaultLeavesItsColumnWithoutOneAndWarns) {
  run_script("cfg",
             "CREATE TABLE dbo.defaults (id int NOT NULL PRIMARY KEY, a decimal(9,2) NULL DEFAULT ((0.000)),"
             " b money NULL DEFAULT ((1.23456)), c decimal(9,2) NULL DEFAULT ('0'), d money NULL DEFAULT ((1.0E+5)),"
             " e decimal(9,2) NULL DEFAULT ((1.5)), f bit NULL DEFAULT ('maybe'))\n");
  std::string defaults = add_table("dbo.defaults");
  std::vector<std::string> warnings;
  QK_context__set_user_data(ctx, &warnings);
  QK_context__set_warning_callback(ctx, [](void *p, const char *text) {
    static_cast<std::vector<std::string> *>(p)->push_back(text);
  });
  tav_defin *psk = nullptr;
  tav_db_mssql__fetch_schema(ctx, h, nullptr, nullptr, nullptr, &psk);
  QK_context__set_warning_callback(ctx, nullptr);
  QK_context__set_user_data(ctx, nullptr);
  ASSERT_EQ(take_error(), "ok");
  struct Expect {
    const char *col, *name, *hostDefault, *clientDefault;
  } expects[] = {
      {"2", "a", "((0.000))", nullptr}, {"3", "b", "((1.23456))", nullptr}, {"4", "c", "('0')", nullptr},
      {"5", "d", "((1.0E+5))", nullptr}, {"6", "e", "((1.5))", "150"},     {"7", "f", "('maybe')", nullptr},
  };
  size_t warned = 0;
  for (const Expect &e : expects) {
    int present = -1;
    const char *expr = nullptr, *host = nullptr;
    tav_defin__get_column_defval(ctx, psk, defaults.c_str(), e.col, &present, nullptr, &expr);
    tav_defin__get_host_defval(ctx, psk, defaults.c_str(), e.col, &host);
    ASSERT_EQ(take_error(), "ok");
    EXPECT_STREQ(host, e.hostDefault) << e.name;
    EXPECT_EQ(present, e.clientDefault != nullptr) << e.name;
    if (e.clientDefault != nullptr) {
      EXPECT_STREQ(expr, e.clientDefault);
      continue;
    }
    ASSERT_LT(warned, warnings.size()) << e.name;
    const std::string &w = warnings[warned++];
    EXPECT_NE(w.find("table [dbo].[defaults] (ID " + defaults + "), column \"" + e.name + "\": the default " +
                     e.hostDefault + " cannot be given to clients"),
              std::string::npos)
        << w;
  }
  EXPECT_EQ(warned, warnings.size());
  // The other tables are served as ever.
  int has = 0;
  tav_defin__has_table(ctx, psk, lines.c_str(), &has);
  EXPECT_EQ(has, 1);
  tav_defin__free(ctx, &psk);
}

TEST_F(Schema, FilterCutsTablesColumnsAndTheKeysOverThem) {
  // Excluding orders.customer_id drops its key; excluding lines.num cuts the composite key
  // and the line table's primary key down; a unique key over an excluded column disappears.
  tav_filter *f = nullptr;
  std::string text = with_ids(
      R"J({"tbls":{"{O}":{"cols":{"3":{"exclude":true}}},"{L}":{"cols":{"2":{"exclude":true}}},)J"
      R"J("{C}":{"cols":{"2":{"exclude":true}}}}})J",
      *this);
  tav_filter__alloc(ctx, 7, "alice", text.c_str(), &f);
  ASSERT_EQ(take_error(), "ok");
  tav_defin *psk = nullptr;
  tav_db_mssql__fetch_schema(ctx, h, f, nullptr, nullptr, &psk);
  ASSERT_EQ(take_error(), "ok");
  std::string s = json(psk);
  EXPECT_NE(s.find("\"filter_id\":7"), std::string::npos);
  EXPECT_EQ(s.find("customer_id"), std::string::npos);
  EXPECT_EQ(s.find("fk_lines_order"), std::string::npos);
  EXPECT_EQ(s.find("\"num\""), s.rfind("\"num\""));  // only the order table's column
  EXPECT_EQ(s.find("uq_customers_name"), std::string::npos);
  EXPECT_NE(s.find(R"J("pk":{"name":"pk_lines","cols":{"1":null,"3":null}})J"), std::string::npos) << s;
  tav_defin__free(ctx, &psk);
  tav_filter__free(ctx, &f);

  // A whole table excluded takes the keys that refer to it along.
  text = with_ids(R"J({"tbls":{"{O}":{"exclude":true}}})J", *this);
  tav_filter__alloc(ctx, 8, nullptr, text.c_str(), &f);
  tav_db_mssql__fetch_schema(ctx, h, f, nullptr, nullptr, &psk);
  ASSERT_EQ(take_error(), "ok");
  s = json(psk);
  EXPECT_EQ(s.find("sales_orders"), std::string::npos);
  EXPECT_EQ(s.find("fk_lines_order"), std::string::npos);
  QK_varray *order = nullptr;
  tav_defin__order_tables_by_fk(ctx, psk, &order);
  EXPECT_EQ(take_error(), "ok");
  QK_varray__free(ctx, order);
  tav_defin__free(ctx, &psk);
  tav_filter__free(ctx, &f);
}

TEST_F(Schema, UnpreparedColumnsAndUnsupportedTypes) {
  // Only the key is synchronised: the wide decimal is known but unprepared, and the keys over
  // unprepared columns stay out. (The stand-in knows no type outside the mapped ones, so the
  // host-type road of an unknown type is not reachable here.)
  run_script("cfg",
             "CREATE TABLE dbo.wide (id int NOT NULL PRIMARY KEY, amount decimal(19,2) NULL,"
             " cust int NULL CONSTRAINT fk_wide_cust REFERENCES dbo.customers(id))\n"
             "CREATE TABLE dbo.refs (id int NOT NULL PRIMARY KEY, wide_id int NULL CONSTRAINT fk_refs_wide"
             " REFERENCES dbo.wide(id), code nvarchar(10) NULL, CONSTRAINT uq_refs UNIQUE (code, wide_id))\n");
  std::string wide = add_table("dbo.wide id");
  std::string refs = add_table("dbo.refs id code");
  tav_defin *psk = nullptr;
  tav_db_mssql__fetch_schema(ctx, h, nullptr, nullptr, nullptr, &psk);
  ASSERT_EQ(take_error(), "ok");
  std::string s = json(psk);
  EXPECT_EQ(s.find("amount"), std::string::npos);
  EXPECT_EQ(s.find("fk_wide_cust"), std::string::npos);
  EXPECT_EQ(s.find("fk_refs_wide"), std::string::npos);
  // The unique index enters with its prepared column only.
  EXPECT_NE(s.find(R"J("uniques":{"uq_refs":{"3":null}})J"), std::string::npos) << s;
  QK_vhash *col = nullptr;
  tav_defin__get_column_record(ctx, psk, wide.c_str(), "2", &col);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(doc(col), R"J({"name":"amount","mssql_col_data_type":"decimal","type":{"name":"decimal","precision":19,"scale":2}})J");
  tav_defin__free(ctx, &psk);

  // The same column synchronised makes every fetch fail.
  struct Case {
    const char *table;
    const char *message;
  } cases[] = {{"CREATE TABLE dbo.t (id int NOT NULL PRIMARY KEY, amount decimal(19,2) NULL)",
                "Precisions greater than 18 are unsupported by Tavrin."}};
  for (const Case &c : cases) {
    std::string out;
    ASSERT_EQ(cli("create-db " + dataDir + " other", &out), 0) << out;
    ASSERT_EQ(cli("create-config " + dataDir + " other", &out), 0) << out;
    ASSERT_EQ(cli("create-dbfile " + dataDir + " other x", &out), 0) << out;
    run_script("other", c.table);
    ASSERT_EQ(cli("add-table " + dataDir + " other x dbo.t", &out), 0) << out;
    QK_mssql_connection *other = nullptr;
    tav_db_handle *hx = nullptr;
    tav_db_mssql__open(ctx, connection_string("other").c_str(), nullptr, &other);
    tav_db_mssql__handle_alloc(ctx, other, "x", &hx);
    ASSERT_EQ(take_error(), "ok");
    tav_db_mssql__fetch_schema(ctx, hx, nullptr, nullptr, nullptr, &psk);
    EXPECT_EQ(take_error(), std::string("312:") + c.message);
    EXPECT_EQ(psk, nullptr);
    tav_db_mssql__handle_free(ctx, &hx);
    tav_db_mssql__close(ctx, &other);
    std::filesystem::remove(dataDir + "/other.sqlite");
  }
}

TEST(SchemaCollation, FlagsFromTheName) {
  QK_context *ctx = nullptr;
  ASSERT_EQ(QK_context__alloc(&ctx), QK_OK);
  struct Case {
    const char *name;
    const char *locale;
    int binary, noaccent, nocase, ks, ws, sc;
  } cases[] = {{"Latin1_General_CI_AS", nullptr, 0, 0, 1, 0, 0, 0},
               {"Latin1_General_BIN2", nullptr, 1, 0, 0, 0, 0, 0},
               {"Latin1_General_BIN", nullptr, 1, 0, 0, 0, 0, 0},
               {"Modern_Spanish_CI_AI", "es-ES", 0, 1, 1, 0, 0, 0},
               {"SQL_Modern_Spanish_CS_AS_KS_WS", "es-ES", 0, 0, 0, 1, 1, 0},
               {"Latin1_General_100_CS_AI_SC", nullptr, 0, 1, 0, 0, 0, 1}};
  for (const Case &c : cases) {
    const char *locale = "x";
    int f[6] = {9, 9, 9, 9, 9, 9};
    tav_db_mssql__parse_collation(ctx, c.name, &locale, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
    ASSERT_FALSE(QK_context__has_error(ctx)) << c.name;
    EXPECT_STREQ(locale, c.locale) << c.name;
    int expected[6] = {c.binary, c.noaccent, c.nocase, c.ks, c.ws, c.sc};
    for (int i = 0; i < 6; i++) EXPECT_EQ(f[i], expected[i]) << c.name << " flag " << i;
  }
  for (const char *bad : {"Latin1_General_CI", "Latin1_General_AS", "_AS", "Latin1_General_UTF8"}) {
    const char *locale = nullptr;
    int f[6];
    tav_db_mssql__parse_collation(ctx, bad, &locale, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
    const char *msg = nullptr;
    QK_context__get_message(ctx, &msg);
    EXPECT_EQ(std::string(msg), std::string("unsupported collation: ") + bad);
    QK_context__reset_error(ctx);
  }
  EXPECT_STREQ(tav_db_mssql__referential_action_name(3), "SET DEFAULT");
  EXPECT_EQ(tav_db_mssql__referential_action_name(4), nullptr);
  QK_context__free(ctx);
}

// The cache keeps one definition per dbfile history and filter, replaced only by a newer
// generation; a hit is a copy that the caller owns.
struct SchemaCache : Schema {
  // Gives the dbfile a history name and puts the newest schema change into a generation.
  void SetUp() override {
    Schema::SetUp();
    static int s_history = 0;
    char guid[40];
    snprintf(guid, sizeof guid, "5C0FFEE0-0000-4000-8000-%012d", ++s_history * 7 + getpid() % 1000);
    exec(std::string("UPDATE tavrin.[demo$t$tx] SET rstamp = '") + guid +
         "' WHERE txid = (SELECT MIN(txid) FROM tavrin.[demo$t$tx])");
    new_generation();
  }
  void new_generation() {
    QK_int64 g = 0;
    tav_db_mssql__begin_tx(ctx, h, &g);
    tav_db_mssql__commit_tx(ctx, h);
    ASSERT_EQ(take_error(), "ok");
  }
  std::string fetch(tav_filter *f = nullptr, QK_int64 *pGen = nullptr) {
    tav_defin *psk = nullptr;
    tav_db_mssql__fetch_schema(ctx, h, f, nullptr, pGen, &psk);
    if (QK_context__has_error(ctx)) return take_error();
    std::string s = json(psk) + doc(psk->host_internals);
    tav_defin__free(ctx, &psk);
    return s;
  }
  // A foreign-key rule changes what a fresh reflection gives without a schema transaction.
  void add_fk_rule() {
    exec("INSERT INTO tavrin.rules_fk (fk_id, sit, act) SELECT object_id, 5, 2 FROM sys.foreign_keys"
         " WHERE name = 'fk_orders_customer'");
  }
};

TEST_F(SchemaCache, HitUntilTheSchemaTxidChanges) {
  QK_int64 gen = 0;
  std::string first = fetch(nullptr, &gen);
  EXPECT_GT(gen, 0);
  add_fk_rule();
  EXPECT_EQ(fetch(), first);  // served from the cache
  // A schema change misses (another txid), and is not cached before its generation exists.
  run_script("cfg", "CREATE TABLE dbo.extra (id int NOT NULL PRIMARY KEY)\n");
  add_table("dbo.extra");
  EXPECT_EQ(fetch(nullptr, &gen), "91:schema too new to identify by export generation");
  std::string changed = fetch();
  EXPECT_NE(changed.find("violation-on-insert"), std::string::npos);
  EXPECT_NE(changed.find("extra"), std::string::npos);
  exec("DELETE FROM tavrin.rules_fk");
  EXPECT_EQ(fetch().find("violation-on-insert"), std::string::npos);  // nothing was cached
  new_generation();
  std::string cached = fetch(nullptr, &gen);
  add_fk_rule();
  EXPECT_EQ(fetch(), cached);
}

TEST_F(SchemaCache, AHistoryWhoseFirstTransactionNoPushStampedIsNamedByItsOldestGeneration) {
  exec("UPDATE tavrin.[demo$t$tx] SET rstamp = NULL WHERE txid = (SELECT MIN(txid) FROM tavrin.[demo$t$tx])");
  std::string first = fetch();
  add_fk_rule();
  EXPECT_EQ(fetch(), first);  // served from the cache
  // Another history (another oldest generation id) never meets that entry.
  exec("UPDATE tavrin.[demo$t$gen] SET id = id + 1 WHERE generation = (SELECT MIN(generation) FROM tavrin.[demo$t$gen])");
  EXPECT_NE(fetch().find("violation-on-insert"), std::string::npos);
}

TEST_F(SchemaCache, OneEntryPerFilterAndFilterText) {
  std::string plain = fetch();
  tav_filter *f = nullptr;
  std::string text = with_ids(R"J({"tbls":{"{L}":{"exclude":true}}})J", *this);
  tav_filter__alloc(ctx, 3, "u", text.c_str(), &f);
  std::string filtered = fetch(f);
  EXPECT_EQ(filtered.find("\"lines\""), std::string::npos);
  EXPECT_NE(plain.find("\"lines\""), std::string::npos);
  tav_filter__free(ctx, &f);
  // The same filter id with another text is not served the old cut.
  text = with_ids(R"J({"tbls":{"{C}":{"exclude":true}}})J", *this);
  tav_filter__alloc(ctx, 3, "u", text.c_str(), &f);
  std::string edited = fetch(f);
  EXPECT_NE(edited.find("\"lines\""), std::string::npos);
  EXPECT_EQ(edited.find("\"customers\""), std::string::npos);
  tav_filter__free(ctx, &f);
  EXPECT_EQ(fetch(), plain);
}

TEST_F(SchemaCache, StoreKeepsTheNewestGeneration) {
  auto defin = [&](const char *name) {
    tav_defin *psk = nullptr;
    tav_defin__alloc(ctx, 1, &psk);
    tav_defin__set_backend_name(ctx, psk, name);
    return psk;
  };
  auto get = [&](const char *key, QK_int64 txid) {
    tav_defin *psk = nullptr;
    tav_db_mssql__schema_cache_get(ctx, key, txid, &psk);
    EXPECT_EQ(take_error(), "ok");
    std::string s = psk ? json(psk) : "miss";
    tav_defin__free(ctx, &psk);
    return s;
  };
  std::string key = "store-test>" + std::to_string(getpid());
  const char *k = key.c_str();
  tav_defin *a = defin("a"), *b = defin("b"), *c = defin("c");
  tav_db_mssql__schema_cache_put(ctx, k, 0, 10, a);  // generation 0 is never kept
  EXPECT_EQ(get(k, 10), "miss");
  tav_db_mssql__schema_cache_put(ctx, k, TAV_SCHEMA_GENERATION_NONE, 10, a);
  EXPECT_EQ(get(k, 10), "miss");
  tav_db_mssql__schema_cache_put(ctx, k, 5, 10, a);
  EXPECT_NE(get(k, 10).find("\"a\""), std::string::npos);
  EXPECT_EQ(get(k, 11), "miss");
  tav_db_mssql__schema_cache_put(ctx, k, 5, 11, b);  // same generation: kept as it was
  EXPECT_EQ(get(k, 11), "miss");
  tav_db_mssql__schema_cache_put(ctx, k, 6, 11, c);
  EXPECT_NE(get(k, 11).find("\"c\""), std::string::npos);
  EXPECT_EQ(take_error(), "ok");
  tav_defin__free(ctx, &a);
  tav_defin__free(ctx, &b);
  tav_defin__free(ctx, &c);
}

TEST_F(SchemaCache, ConcurrentFetchesShareOneEntry) {
  std::string expected = fetch();
  std::vector<std::thread> threads;
  std::vector<std::string> results(6);
  for (size_t t = 0; t < results.size(); t++)
    threads.emplace_back([&, t] {
      QK_context *c = nullptr;
      QK_context__alloc(&c);
      QK_mssql_connection *cn = nullptr;
      tav_db_handle *hh = nullptr;
      tav_db_mssql__open(c, connection_string("cfg").c_str(), nullptr, &cn);
      tav_db_mssql__handle_alloc(c, cn, "demo", &hh);
      for (int i = 0; i < 10 && !QK_context__has_error(c); i++) {
        tav_defin *psk = nullptr;
        QK_string *p = nullptr;
        tav_db_mssql__fetch_schema(c, hh, nullptr, nullptr, nullptr, &psk);
        if (psk) tav_defin__to_json(c, psk, &p);
        if (p && psk->host_internals) QK_vhash__to_json(c, psk->host_internals, p);
        if (p) results[t] = QK_string__sz(p);
        QK_string__free(c, p);
        tav_defin__free(c, &psk);
      }
      if (QK_context__has_error(c)) results[t] = "error";
      tav_db_mssql__handle_free(c, &hh);
      tav_db_mssql__close(c, &cn);
      QK_context__free(c);
    });
  for (auto &th : threads) th.join();
  for (const std::string &r : results) EXPECT_EQ(r, expected);
}

}  // namespace

#endif
