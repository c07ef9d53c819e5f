// The store's statement texts (dbfile registry, schema reflection, access
// lists and filters, request log) against a database with realistic host
// tables, answering as SQL Server would.
#include <gtest/gtest.h>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class Corpus : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "cfg"};
    std::string orders_id, lines_id, cust_id;

    void ok(const std::string& sql) { ASSERT_TRUE(runs(c, sql)); }
    std::string one(const std::string& sql) {
        Rows r = c.query(sql);
        return r.empty() ? "<no row>" : r[0][0];
    }

    void SetUp() override {
        ok("CREATE SCHEMA tavrin");
        ok("CREATE SCHEMA sales");
        ok("CREATE TABLE tavrin.dbfiles (name nvarchar(255) NOT NULL PRIMARY KEY, version int NOT NULL, odbc nvarchar(max) NULL, scheme nvarchar(max) NULL)");
        ok("CREATE TABLE tavrin.log (url nvarchar(max), unix_time bigint, ip_address varchar(64), request_size bigint, response_size bigint, status bigint, elapsed bigint, txid bigint, txid_r bigint)");
        ok("CREATE TABLE tavrin.rules_fk (fk_id int NOT NULL, sit int NOT NULL, act int NOT NULL)");
        ok("CREATE TABLE tavrin.users (name nvarchar(255) NOT NULL PRIMARY KEY, pass nvarchar(max) NULL)");
        ok("CREATE TABLE tavrin.groups (username nvarchar(255) NOT NULL, groupname nvarchar(255) NOT NULL)");
        // Host tables: identity key, composite key, foreign keys with actions, defaults, checks, many types.
        ok("CREATE TABLE dbo.customers (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(100) COLLATE Latin1_General_CS_AS NOT NULL,"
           " email varchar(200) NULL UNIQUE, created datetime NOT NULL DEFAULT (getdate()), balance money NOT NULL DEFAULT 0,"
           " photo varbinary(max) NULL, rowguid uniqueidentifier NOT NULL DEFAULT newid())");
        ok("CREATE TABLE sales.orders (region char(2) NOT NULL, order_no bigint NOT NULL, customer_id int NOT NULL,"
           " placed date NOT NULL, due time(3) NULL, total decimal(12,2) NOT NULL CONSTRAINT CK_orders_total CHECK (total >= 0),"
           " note nvarchar(max) NULL, CONSTRAINT PK_orders PRIMARY KEY (region, order_no),"
           " CONSTRAINT FK_orders_customer FOREIGN KEY (customer_id) REFERENCES dbo.customers (id) ON DELETE CASCADE)");
        ok("CREATE TABLE sales.lines (region char(2) NOT NULL, order_no bigint NOT NULL, line smallint NOT NULL,"
           " qty int NOT NULL DEFAULT 1, price numeric(9,3) NULL, shipped bit NOT NULL DEFAULT 0, stamp datetime2(7) NULL,"
           " CONSTRAINT PK_lines PRIMARY KEY (region, order_no, line),"
           " CONSTRAINT FK_lines_orders FOREIGN KEY (region, order_no) REFERENCES sales.orders (region, order_no) ON DELETE CASCADE ON UPDATE CASCADE)");
        ok("CREATE UNIQUE INDEX IX_lines_stamp ON sales.lines (stamp, line)");
        cust_id = one("SELECT OBJECT_ID('dbo.customers')");
        orders_id = one("SELECT OBJECT_ID('sales.orders', 'U')");
        lines_id = one("SELECT OBJECT_ID('[sales].[lines]')");
        // Backing tables the statements read; the prepared columns are those of the old_id tables.
        ok("CREATE TABLE tavrin.[demo$t$tx] (txid bigint NOT NULL PRIMARY KEY, generation bigint NULL, rstamp uniqueidentifier NULL, rebaseid bigint NULL)");
        ok("CREATE TABLE tavrin.[demo$t$t] (object_id int NOT NULL, txid bigint NOT NULL, old_id int NULL, purged bigint NULL, fk_constraint_list_txid bigint NULL)");
        ok("CREATE TABLE tavrin.[demo$t$c] (tbl int NOT NULL, col int NOT NULL, dump_txid bigint NULL)");
        ok("CREATE TABLE tavrin.[demo$t$a] (scheme nvarchar(50) NULL, who nvarchar(255) NULL, tbl_id int NULL, op nvarchar(50) NULL, result nvarchar(50) NULL)");
        ok("CREATE TABLE tavrin.[demo$t$uf] (scheme nvarchar(50) NULL, who nvarchar(255) NULL, filter bigint NOT NULL, priority int NOT NULL)");
        ok("CREATE TABLE tavrin.[demo$t$f] (id bigint NOT NULL PRIMARY KEY, filter nvarchar(max) NOT NULL)");
        ok("CREATE TABLE tavrin.[demo$z$old$c] (z_rv bigint, id int, name nvarchar(100), email varchar(200), created datetime, balance money, rowguid uniqueidentifier)");
        ok("CREATE TABLE tavrin.[demo$z$old$o] (z_rv bigint, region char(2), order_no bigint, customer_id int, placed date, due time(3), total decimal(12,2))");
        ok("CREATE TABLE tavrin.[demo$z$old$l] (z_rv bigint, region char(2), order_no bigint, line smallint, qty int, price numeric(9,3), shipped bit, stamp datetime2(7))");
        ok("INSERT INTO tavrin.[demo$t$tx] VALUES (1, 1, '0f8fad5b-d9cb-469f-a165-70867728950e', 11), (2, 1, NULL, NULL), (3, NULL, NULL, NULL)");
        ok("INSERT INTO tavrin.[demo$t$t] (object_id, txid, old_id, fk_constraint_list_txid) VALUES (" + cust_id + ", 1, OBJECT_ID('tavrin.[demo$z$old$c]'), 1), (" +
           orders_id + ", 2, OBJECT_ID('tavrin.[demo$z$old$o]'), 2), (" + lines_id + ", 2, OBJECT_ID('tavrin.[demo$z$old$l]'), 2)");
        ok("INSERT INTO tavrin.[demo$t$c] VALUES (" + orders_id + ", 5, 2)");
        ok("INSERT INTO tavrin.rules_fk SELECT object_id, 5, 4 FROM sys.foreign_keys WHERE name = 'FK_orders_customer'");
    }
};

TEST_F(Corpus, RegistryAndTableTests) {
    ok("INSERT INTO tavrin.dbfiles (name, version, odbc, scheme) VALUES (N'demo', 17, NULL, N'{\"t\":\"table\"}')");
    SQLHSTMT st = c.stmt();
    std::u16string sql = to_utf16("SELECT version, odbc, scheme FROM tavrin.\"dbfiles\" WHERE name=? OPTION (OPTIMIZE FOR UNKNOWN);");
    ASSERT_EQ(SQLPrepareW(st, (SQLWCHAR*)sql.c_str(), SQL_NTS), SQL_SUCCESS);
    std::u16string name = u"DEMO";
    SQLLEN len = name.size() * 2;
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, name.size(), 0, (SQLPOINTER)name.c_str(), len, &len);
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(st), SQL_SUCCESS);  // the registry compares names case-insensitively
    SQLINTEGER version = 0;
    SQLLEN ind;
    SQLGetData(st, 1, SQL_C_SLONG, &version, 4, &ind);
    EXPECT_EQ(version, 17);
    EXPECT_FALSE(get_text(st, 2).has_value());
    EXPECT_EQ(get_text(st, 3).value(), "{\"t\":\"table\"}");
    SQLCloseCursor(st);

    // The table test binds "tavrin.[%s%s%s]" into OBJECT_ID(?,'U').
    for (auto [object, exists] : {std::pair{"tavrin.[dbfiles]", true}, {"tavrin.[demo$z$old$c]", true},
                                  {"tavrin.[log]", true}, {"tavrin.[nope]", false}, {"tavrin.[demo$t$tx]", true}}) {
        SCOPED_TRACE(object);
        SQLHSTMT q = c.stmt();
        CursorCloser closer{q};
        SQLPrepare(q, (SQLCHAR*)"SELECT OBJECT_ID(?,'U')", SQL_NTS);
        std::u16string n = to_utf16(object);
        SQLLEN l = n.size() * 2;
        SQLBindParameter(q, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, n.size(), 0, (SQLPOINTER)n.c_str(), l, &l);
        ASSERT_EQ(SQLExecute(q), SQL_SUCCESS);
        ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        SQLINTEGER id;
        SQLLEN i2;
        SQLGetData(q, 1, SQL_C_SLONG, &id, 4, &i2);
        EXPECT_EQ(i2 != SQL_NULL_DATA, exists);
    }
    ok("SET NOCOUNT ON");
}

TEST_F(Corpus, SchemaReflection) {
    Rows head = c.query("SELECT TOP 1 tx.txid, COALESCE(tx.generation,9223372036854775807) AS generation,\n(SELECT TOP 1 CAST (rstamp AS sysname) FROM [tavrin].[demo$t$tx] ORDER BY txid ASC) AS rstamp\n  FROM tavrin.[demo$t$t] t INNER JOIN tavrin.[demo$t$tx] AS tx ON (tx.txid = t.txid) \n  ORDER BY generation DESC, tx.txid DESC;\n");
    EXPECT_EQ(head, (Rows{{"2", "1", "0F8FAD5B-D9CB-469F-A165-70867728950E"}}));

    Rows cols = c.query("SELECT c.object_id, c.column_id, zc.txid, SCHEMA_NAME(t.schema_id), OBJECT_NAME(c.object_id) as tbl_name, c.name AS column_name, c.system_type_id, c.is_nullable, c.max_length, c.precision, c.scale, c.is_identity, dc.[definition] as default_value, c.collation_name, CASE WHEN EXISTS (SELECT 1 FROM sys.columns c2 WHERE c2.object_id = zc.old_id AND c2.name=c.name) THEN 1 ELSE 0 END, COALESCE (col_dump_tx.txid, 0), COALESCE (col_dump_tx.generation, 0), st.name FROM tavrin.demo$t$t zc JOIN sys.tables t ON zc.object_id = t.object_id JOIN sys.columns c ON zc.object_id = c.object_id AND (c.is_computed=0 AND c.system_type_id<>189) LEFT JOIN sys.default_constraints dc ON c.object_id = dc.parent_object_id AND c.column_id = dc.parent_column_id INNER JOIN sys.types st ON st.system_type_id=c.system_type_id AND st.user_type_id=c.user_type_id LEFT OUTER JOIN tavrin.\"demo$t$c\" zcol ON zcol.tbl=c.object_id AND zcol.col=c.column_id LEFT OUTER JOIN tavrin.\"demo$t$tx\" col_dump_tx ON col_dump_tx.txid = zcol.dump_txid ORDER BY zc.object_id, c.column_id");
    ASSERT_EQ(cols.size(), 7u + 7u + 7u);
    // customers (the first table created has the lowest id), column by column as SQL Server reports them.
    const Rows expected_customers = {
        {cust_id, "1", "1", "dbo", "customers", "id", "56", "0", "4", "10", "0", "1", "NULL", "NULL", "1", "0", "0", "int"},
        {cust_id, "2", "1", "dbo", "customers", "name", "231", "0", "200", "0", "0", "0", "NULL", "Latin1_General_CS_AS", "1", "0", "0", "nvarchar"},
        {cust_id, "3", "1", "dbo", "customers", "email", "167", "1", "200", "0", "0", "0", "NULL", "SQL_Latin1_General_CP1_CI_AS", "1", "0", "0", "varchar"},
        {cust_id, "4", "1", "dbo", "customers", "created", "61", "0", "8", "23", "3", "0", "(getdate())", "NULL", "1", "0", "0", "datetime"},
        {cust_id, "5", "1", "dbo", "customers", "balance", "60", "0", "8", "19", "4", "0", "((0))", "NULL", "1", "0", "0", "money"},
        {cust_id, "6", "1", "dbo", "customers", "photo", "165", "1", "-1", "0", "0", "0", "NULL", "NULL", "0", "0", "0", "varbinary"},
        {cust_id, "7", "1", "dbo", "customers", "rowguid", "36", "0", "16", "0", "0", "0", "(newid())", "NULL", "1", "0", "0", "uniqueidentifier"},
    };
    EXPECT_EQ(Rows(cols.begin(), cols.begin() + 7), expected_customers);
    EXPECT_EQ(cols[7][4], "orders");
    EXPECT_EQ(cols[7][3], "sales");
    EXPECT_EQ((std::vector<std::string>(cols[11].begin() + 5, cols[11].end())),
              (std::vector<std::string>{"due", "41", "1", "4", "12", "3", "0", "NULL", "NULL", "1", "2", "1", "time"}));
    EXPECT_EQ(cols[12][12], "NULL") << "a CHECK is not a default";
    EXPECT_EQ(cols[13][14], "0") << "note is not prepared";
    EXPECT_EQ((std::vector<std::string>{cols[20][5], cols[20][8], cols[20][9], cols[20][10]}),
              (std::vector<std::string>{"stamp", "8", "27", "7"}));

    Rows pk = c.query("SELECT t.object_id, i.index_id, c.column_id, i.name as index_name FROM [tavrin].[demo$t$t] t JOIN sys.indexes i ON i.[object_id] = t.[object_id] JOIN sys.index_columns ic ON i.object_id = ic.object_id AND i.index_id = ic.index_id JOIN sys.columns c ON ic.object_id = c.object_id AND c.column_id = ic.column_id  WHERE i.is_primary_key = 1 AND c.is_identity = 0");
    EXPECT_EQ(pk, (Rows{{orders_id, "1", "1", "PK_orders"}, {orders_id, "1", "2", "PK_orders"},
                        {lines_id, "1", "1", "PK_lines"}, {lines_id, "1", "2", "PK_lines"}, {lines_id, "1", "3", "PK_lines"}}));

    Rows composite = c.query("SELECT f.object_id as fk_object_id, COUNT(fkc.parent_column_id) FROM sys.foreign_keys f JOIN sys.foreign_key_columns fkc ON f.object_id = fkc.constraint_object_id JOIN [tavrin].[demo$t$t] t on t.object_id = fkc.parent_object_id WHERE f.is_disabled = 0 GROUP BY f.object_id ");
    ASSERT_EQ(composite.size(), 2u);
    std::string fk_orders = one("SELECT OBJECT_ID('sales.FK_orders_customer')");
    std::string fk_lines = one("SELECT OBJECT_ID('sales.FK_lines_orders', 'F')");
    EXPECT_EQ(composite, (Rows{{fk_orders, "1"}, {fk_lines, "2"}}));

    Rows fks = c.query("SELECT f.object_id as fk_object_id, f.name, f.parent_object_id, f.referenced_object_id, f.update_referential_action, f.delete_referential_action, COALESCE(r.act, 0) FROM sys.foreign_keys f JOIN [tavrin].[demo$t$t] t on t.object_id = f.parent_object_id LEFT OUTER JOIN [tavrin].[rules_fk] r ON r.fk_id = f.object_id AND r.sit = 5 AND f.parent_object_id <> f.referenced_object_id WHERE f.is_disabled = 0 ");
    EXPECT_EQ(fks, (Rows{{fk_orders, "FK_orders_customer", orders_id, cust_id, "0", "1", "4"},
                         {fk_lines, "FK_lines_orders", lines_id, orders_id, "1", "1", "0"}}));

    Rows pairs = c.query("SELECT f.object_id, f.name as fk_name, my_c.object_id AS my_object_id, my_c.column_id AS my_column_id, CASE WHEN EXISTS (SELECT 1 FROM sys.columns c2 WHERE c2.object_id = t.old_id AND c2.name=my_c.name) THEN 1 ELSE 0 END, CASE WHEN EXISTS (SELECT 1 FROM sys.columns c2 WHERE c2.object_id = parent_t.old_id AND c2.name=other_c.name) THEN 1 ELSE 0 END, other_c.object_id AS other_object_id, other_c.column_id AS other_column_id, f.update_referential_action, f.delete_referential_action, COALESCE(r.act, 0) FROM sys.foreign_keys f JOIN sys.foreign_key_columns fkc ON f.object_id = fkc.constraint_object_id JOIN sys.columns my_c ON fkc.parent_object_id = my_c.[object_id] AND fkc.parent_column_id = my_c.column_id JOIN sys.columns other_c ON fkc.referenced_object_id = other_c.[object_id] AND fkc.referenced_column_id = other_c.column_id JOIN [tavrin].[demo$t$t] t on t.object_id = my_c.object_id JOIN [tavrin].[demo$t$t] parent_t on parent_t.object_id = other_c.object_id LEFT OUTER JOIN [tavrin].[rules_fk] r ON r.fk_id = f.object_id AND r.sit = 5 AND f.parent_object_id <> f.referenced_object_id WHERE f.is_disabled = 0 ORDER BY f.object_id ASC");
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0], (std::vector<std::string>{fk_orders, "FK_orders_customer", orders_id, "3", "1", "1", cust_id, "1", "0", "1", "4"}));

    Rows uniques = c.query("SELECT t.object_id, i.index_id, c.column_id, i.name as index_name, c.name as column_name FROM sys.indexes i JOIN [tavrin].[demo$t$t] t ON t.object_id = i.object_id JOIN sys.index_columns AS ic ON i.object_id = ic.object_id AND i.index_id = ic.index_id JOIN sys.columns AS c ON ic.object_id = c.object_id AND c.column_id = ic.column_id WHERE is_primary_key=0 AND is_unique=1 AND has_filter = 0 AND ignore_dup_key = 0 AND is_disabled=0 AND is_hypothetical=0 AND EXISTS (SELECT 1 FROM sys.columns c2 WHERE c2.object_id = t.old_id AND c2.name=c.name) ORDER BY t.object_id, i.index_id, c.column_id");
    ASSERT_EQ(uniques.size(), 3u);
    EXPECT_EQ(uniques[0][4], "email");
    EXPECT_EQ((std::vector<std::string>{uniques[1][3], uniques[1][4], uniques[2][4]}),
              (std::vector<std::string>{"IX_lines_stamp", "line", "stamp"}));

    EXPECT_EQ(c.query("SELECT TOP 1 txid FROM (\n  SELECT tx.txid AS txid, COALESCE(tx.generation,9223372036854775807) AS generation\n  FROM tavrin.[demo$t$t] t INNER JOIN tavrin.[demo$t$tx] AS tx ON (tx.txid = t.txid)\n) j ORDER BY generation DESC, txid DESC;\n"),
              (Rows{{"2"}}));
    // Key columns in their declared order.
    EXPECT_EQ(c.query("SELECT c.name FROM sys.index_columns ic JOIN sys.columns c ON c.object_id = ic.object_id AND c.column_id = ic.column_id WHERE ic.object_id = " + lines_id + " AND ic.index_id = 2 ORDER BY ic.key_ordinal"),
              (Rows{{"stamp"}, {"line"}}));
}

TEST_F(Corpus, AccessListsUsersFiltersAndLog) {
    ok("INSERT INTO tavrin.[demo$t$a] VALUES (N'table', N'alice', NULL, N'pull', N'allow'), (N'table', NULL, " + orders_id + ", N'push', N'deny')");
    EXPECT_EQ(c.query("SELECT scheme,who,tbl_id,op,result FROM tavrin.\"demo$t$a\""),
              (Rows{{"table", "alice", "NULL", "pull", "allow"}, {"table", "NULL", orders_id, "push", "deny"}}));
    ok("INSERT INTO tavrin.[demo$t$uf] VALUES (N'table', N'bob', 7, 20), (NULL, NULL, 8, 10)");
    EXPECT_EQ(c.query("SELECT TOP 1 [txid] AS [txid] FROM [tavrin].[demo$t$t] ORDER BY [txid] DESC"), (Rows{{"2"}}));
    EXPECT_EQ(c.query("SELECT scheme,who,filter FROM tavrin.\"demo$t$uf\" ORDER BY priority ASC"),
              (Rows{{"NULL", "NULL", "8"}, {"table", "bob", "7"}}));
    ok("INSERT INTO tavrin.[demo$t$f] VALUES (7, N'{\"tables\":{}}')");
    SQLHSTMT st = c.stmt();
    CursorCloser closer{st};
    SQLPrepare(st, (SQLCHAR*)"SELECT filter FROM tavrin.demo$t$f WHERE id=? OPTION (OPTIMIZE FOR UNKNOWN)", SQL_NTS);
    SQLBIGINT id = 7;
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &id, 0, nullptr);
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(st), SQL_SUCCESS);
    EXPECT_EQ(get_text(st, 1).value(), "{\"tables\":{}}");
    SQLCloseCursor(st);

    ok("INSERT INTO tavrin.users VALUES (N'Alice', N'$2y$05$hash'); INSERT INTO tavrin.groups VALUES (N'alice', N'staff')");
    EXPECT_EQ(one("SELECT CAST(CASE WHEN object_id('[tavrin].[users]') IS NULL THEN 0 ELSE 1 END AS BIT)"), "1");
    EXPECT_EQ(one("SELECT CAST(CASE WHEN object_id('[tavrin].[dbo.nope]') IS NULL THEN 0 ELSE 1 END AS BIT)"), "0");
    EXPECT_EQ(c.query("SELECT name, pass FROM [tavrin].[users] WHERE name=N'alice' OPTION (OPTIMIZE FOR UNKNOWN)"),
              (Rows{{"Alice", "$2y$05$hash"}}));
    EXPECT_EQ(c.query("SELECT groupname FROM [tavrin].[groups] groups WHERE groups.username=N'ALICE' OPTION (OPTIMIZE FOR UNKNOWN)"),
              (Rows{{"staff"}}));

    // Request log: version decides the row's width.
    ok("INSERT INTO tavrin.dbfiles (name, version) VALUES (N'demo', 17)");
    EXPECT_EQ(one("SELECT MAX(version) FROM tavrin.dbfiles"), "17");
    SQLHSTMT ins = c.stmt();
    ASSERT_EQ(SQLPrepare(ins, (SQLCHAR*)"INSERT INTO tavrin.log (url,unix_time,ip_address,request_size,response_size,status,elapsed,txid,txid_r) VALUES (?,?,?,?,?,?,?,?,?)", SQL_NTS), SQL_SUCCESS);
    std::u16string url = to_utf16("/demo?x=ü");
    std::string ip = "127.0.0.1";
    SQLLEN ulen = url.size() * 2, iplen = ip.size();
    SQLBIGINT v[7] = {1700000000, 10, 20, 200, 5, 3, 0};
    SQLBindParameter(ins, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WLONGVARCHAR, url.size(), 0, (SQLPOINTER)url.c_str(), ulen, &ulen);
    SQLBindParameter(ins, 2, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &v[0], 0, nullptr);
    SQLBindParameter(ins, 3, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, ip.size(), 0, ip.data(), iplen, &iplen);
    for (int i = 1; i < 7; ++i) SQLBindParameter(ins, i + 3, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &v[i], 0, nullptr);
    ASSERT_EQ(SQLExecute(ins), SQL_SUCCESS);
    EXPECT_EQ(c.query("SELECT url, ip_address, status, txid, txid_r FROM tavrin.log"),
              (Rows{{"/demo?x=ü", "127.0.0.1", "200", "3", "0"}}));
}

}  // namespace
