// A provisioned dbfile written to as an application would, through the
// driver manager: the row-version logic, the procedures, the statements of
// the pull road and the management CLI.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

int cli(const std::string& args, std::string* output = nullptr) {
    std::string cmd = std::string(STANDIN_CLI) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (output) *output = out;
    return WEXITSTATUS(rc);
}

class Dbfile : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    std::string cust, orders, lines;

    void SetUp() override {
        std::ofstream(dir + "/hosts.sql")
            << "CREATE SCHEMA sales\nGO\n"
               "CREATE TABLE dbo.customers (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(50) NOT NULL)\n"
               "CREATE TABLE sales.orders (region char(2) NOT NULL, order_no bigint NOT NULL, customer_id int NOT NULL "
               "REFERENCES dbo.customers (id), total decimal(12,2) NULL, PRIMARY KEY (region, order_no))\n"
               "CREATE TABLE sales.lines (region char(2) NOT NULL, order_no bigint NOT NULL, line int NOT NULL, qty int NULL,"
               " PRIMARY KEY (region, order_no, line), FOREIGN KEY (region, order_no) REFERENCES sales.orders (region, order_no) ON DELETE CASCADE)\n"
               "INSERT INTO dbo.customers (name) VALUES (N'before')\n";
        ASSERT_EQ(cli("run " + dir + " shop " + dir + "/hosts.sql"), 0);
        ASSERT_EQ(cli("create-dbfile " + dir + " shop demo"), 0);
        std::string out;
        ASSERT_EQ(cli("add-table " + dir + " shop demo dbo.customers", &out), 0) << out;
        cust = out.substr(0, out.find('\n'));
        ASSERT_EQ(cli("add-table " + dir + " shop demo sales.orders", &out), 0) << out;
        orders = out.substr(0, out.find('\n'));
        ASSERT_EQ(cli("add-table " + dir + " shop demo sales.lines", &out), 0) << out;
        lines = out.substr(0, out.find('\n'));
    }
};

void ok(OdbcConnection& c, const std::string& sql) {
    SQLRETURN rc = c.exec(sql);
    ASSERT_TRUE(SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) << sql << "\n -> " << c.last_diags().at(0).message;
}

// Runs an EXEC with one bigint parameter bound for output and returns it.
long long exec_output(OdbcConnection& c, const std::string& sql, long long start = 0) {
    SQLHSTMT st = c.stmt();
    SQLBIGINT v = start;
    SQLLEN ind = 0;
    SQLBindParameter(st, 1, SQL_PARAM_INPUT_OUTPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &v, 0, &ind);
    EXPECT_TRUE(SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
    while (SQLMoreResults(st) == SQL_SUCCESS) {
    }
    return v;
}

TEST_F(Dbfile, RowVersionsFollowEveryWriterAndTheProceduresHandOutTxidsAndGenerations) {
    OdbcConnection c(dir, "shop");
    auto q = [&](const std::string& kind) { return "tavrin.[demo$" + kind + "]"; };
    // The new dbfile: generation 1 with its first transaction, the tables' schema transactions after it.
    EXPECT_EQ(c.query("SELECT txid, generation FROM " + q("t$tx") + " ORDER BY txid"),
              (Rows{{"1", "1"}, {"2", "NULL"}, {"3", "NULL"}, {"4", "NULL"}}));
    EXPECT_EQ(c.query("SELECT object_id, txid, fk_constraint_list_txid, CASE WHEN old_id = OBJECT_ID('tavrin.[demo$z$old$' + CAST(object_id AS varchar(20)) + ']') THEN 1 ELSE 0 END FROM " + q("t$t") + " ORDER BY txid"),
              (Rows{{cust, "2", "2", "1"}, {orders, "3", "3", "1"}, {lines, "4", "4", "1"}}));
    // The row present before the table was added has a version in the schema transaction.
    EXPECT_EQ(c.query("SELECT z_rv, txid FROM " + q("z$rv$" + cust)), (Rows{{"1", "2"}}));
    EXPECT_EQ(exec_output(c, "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;"), 2);

    // One transaction: insert, update in place, a no-op counted where the push asked for it.
    ok(c, "BEGIN TRANSACTION");
    long long tx = exec_output(c, "EXEC tavrin.\"demo$z$GetTxId\" @txid = ? OUTPUT;");
    EXPECT_EQ(tx, 5);
    ok(c, "INSERT INTO [tavrin].[demo$z$noop_updates] (txid, tbl_id, noop_count) VALUES (5, " + cust + ", 0)");
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'ann')");
    ok(c, "INSERT INTO sales.orders VALUES ('EU', 1, 2, 10.50), ('EU', 2, 2, NULL)");
    ok(c, "INSERT INTO sales.lines VALUES ('EU', 1, 1, 3), ('EU', 2, 1, 4)");
    ok(c, "UPDATE dbo.customers SET name = N'Ann' WHERE id = 2");
    ok(c, "UPDATE dbo.customers SET name = N'Ann' WHERE id = 2");
    ok(c, "UPDATE sales.orders SET total = NULL WHERE total IS NULL");
    ok(c, "COMMIT TRANSACTION");
    // Only the table whose row the push inserted counts; the orders no-op is not recorded.
    EXPECT_EQ(c.query("SELECT noop_count FROM [tavrin].[demo$z$noop_updates]"), (Rows{{"1"}}));
    EXPECT_EQ(c.query("SELECT z_rv, txid FROM " + q("z$rv$" + cust) + " ORDER BY z_rv"), (Rows{{"1", "2"}, {"2", "5"}}));
    EXPECT_EQ(c.query("SELECT z_rv, name FROM " + q("z$" + cust) + " ORDER BY z_rv"), (Rows{{"1", "before"}, {"2", "Ann"}}));

    // Plain application writes outside a transaction get a txid each; a case change is a change.
    ok(c, "UPDATE dbo.customers SET name = N'ANN' WHERE id = 2");
    ok(c, "DELETE FROM sales.orders WHERE order_no = 2");  // cascades to its line
    ok(c, "UPDATE sales.lines SET line = 7 WHERE order_no = 1");  // a key change
    EXPECT_EQ(c.query("SELECT txid FROM " + q("t$tx") + " WHERE txid > 5 ORDER BY txid"), (Rows{{"6"}, {"7"}, {"8"}}));
    EXPECT_EQ(c.query("SELECT sit, txid, i FROM " + q("t$rules") + " WHERE sit = 123"), (Rows{{"123", "8", "8"}}));
    EXPECT_EQ(c.query("SELECT rv.z_rv, rv.txid, d.txid, o.name FROM " + q("z$rv$" + cust) + " rv LEFT JOIN " + q("z$dd$" + cust) +
                      " d ON d.rv = rv.z_rv LEFT JOIN " + q("z$old$" + cust) + " o ON o.z_rv = rv.z_rv ORDER BY rv.z_rv"),
              (Rows{{"1", "2", "NULL", "NULL"}, {"2", "5", "6", "Ann"}, {"3", "6", "NULL", "NULL"}}));
    EXPECT_EQ(c.query("SELECT COUNT(DISTINCT rid) FROM " + q("z$rv$" + cust)), (Rows{{"2"}}));
    EXPECT_EQ(c.query("SELECT z_rv, rid, add_txid, del_txid FROM " + q("z$deleted_rvs$" + orders) + " d"),
              (Rows{{"2", c.query("SELECT rid FROM " + q("z$rv$" + orders) + " WHERE z_rv = 2")[0][0], "5", "7"}}));
    EXPECT_EQ(c.query("SELECT x.z_rv, x.region, x.order_no, x.line, rv.txid FROM " + q("z$x$" + lines) + " x JOIN " + q("z$rv$" + lines) +
                      " rv ON rv.z_rv = x.z_rv"),
              (Rows{{"3", "EU", "1", "7", "8"}}));
    EXPECT_EQ(c.query("SELECT rv, txid FROM " + q("z$dd$" + lines) + " ORDER BY rv"), (Rows{{"1", "8"}, {"2", "7"}}));
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM " + q("z$rv$" + lines) + " GROUP BY rid, txid HAVING COUNT(*) > 1"), Rows{});

    // Generations: new transactions form one; an idle dbfile hands out the newest again.
    EXPECT_EQ(exec_output(c, "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;"), 3);
    EXPECT_EQ(exec_output(c, "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;"), 3);
    const std::string late = "SELECT COALESCE(generation, -1) FROM tavrin.\"demo$t$tx\" WHERE txid = (SELECT MAX(txid) FROM tavrin.demo$t$tx)";
    EXPECT_EQ(c.query(late), (Rows{{"3"}}));
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'late')");
    EXPECT_EQ(c.query(late), (Rows{{"-1"}})) << "a transaction committed after GetGen is late";
    // Without OUTPUT the argument is passed by value and never comes back.
    EXPECT_EQ(exec_output(c, "EXEC tavrin.\"demo$z$GetGen\" @generation = ?;", 0), 0);
}

TEST_F(Dbfile, AKeySwapKeepsEachRowsVersions) {
    OdbcConnection c(dir, "shop");
    auto q = [&](const std::string& kind) { return "tavrin.[demo$" + kind + "]"; };
    ok(c, "INSERT INTO sales.orders VALUES ('EU', 1, 1, 1.00), ('EU', 2, 1, 2.00)");
    ok(c, "INSERT INTO sales.lines VALUES ('EU', 1, 1, 3), ('EU', 2, 1, 4)");
    const std::string by_total = "SELECT z.total, z.order_no, rv.rid FROM " + q("z$" + orders) + " z JOIN " + q("z$rv$" + orders) +
                                 " rv ON rv.z_rv = z.z_rv ORDER BY z.total";
    Rows before = c.query(by_total);
    // The lines still find both keys at the end of the statement.
    ok(c, "UPDATE sales.orders SET order_no = 3 - order_no");
    Rows after = c.query(by_total);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], (std::vector<std::string>{"1.00", "2", before[0][2]}));
    EXPECT_EQ(after[1], (std::vector<std::string>{"2.00", "1", before[1][2]}));
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM " + q("z$x$" + orders)), (Rows{{"2"}}));
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM " + q("z$dd$" + orders)), (Rows{{"2"}}));
}

TEST_F(Dbfile, InjectedDeadlockRollsTheTransactionBack) {
    OdbcConnection c(dir, "shop", "Fault=1205:1:UPDATE dbo.customers");
    ok(c, "BEGIN TRANSACTION");
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'gone')");
    EXPECT_EQ(c.exec("UPDATE dbo.customers SET name = N'x'"), SQL_ERROR);
    EXPECT_EQ(c.last_diags().at(0).native, 1205);
    EXPECT_EQ(c.query("SELECT @@TRANCOUNT, (SELECT COUNT(*) FROM dbo.customers), (SELECT COUNT(*) FROM tavrin.[demo$t$tx])"),
              (Rows{{"0", "1", "4"}}));
}

TEST_F(Dbfile, PullRoadBatches) {
    OdbcConnection c(dir, "shop");
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'a')");
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'b')");
    ok(c, "DELETE FROM dbo.customers WHERE name = N'a'");
    EXPECT_EQ(exec_output(c, "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;"), 2);
    // count_txids, with and without the counter row.
    const std::string count =
        "DECLARE  @count bigint, @full_count bigint, @full_count_verified bigint = 0;\nSELECT @full_count = i FROM tavrin.[demo$t$rules] WHERE sit = 123;\n"
        "WHILE @full_count IS NOT NULL BEGIN\n  SELECT @count = @full_count - (SELECT COUNT(*) FROM tavrin.demo$t$tx WHERE txid > 5);\n"
        "  SELECT @full_count_verified = i FROM tavrin.[demo$t$rules] WHERE sit = 123;\n  IF @full_count_verified IS NULL\n"
        "    SELECT @count = NULL, @full_count = NULL;\n  ELSE\n    SELECT @full_count = CASE\n      WHEN @full_count_verified = @full_count THEN NULL\n"
        "      ELSE @full_count_verified\n    END;\nEND;\nIF @count IS NULL\n  SELECT @count = COUNT(*) FROM tavrin.demo$t$tx WHERE txid <= 5;\nSELECT @count;";
    EXPECT_EQ(c.query(count), (Rows{{"5"}}));
    EXPECT_EQ(c.query("DECLARE @max bigint, @count bigint;\nSELECT @max = txid, @count = i FROM tavrin.[demo$t$rules] WHERE sit = 123;\n"
                      "IF @max IS NULL OR @count IS NULL\n  SELECT @max = MAX(txid), @count = COUNT(*) FROM tavrin.demo$t$tx;\nSELECT @max, @count;"),
              (Rows{{"7", "7"}}));
    ok(c, "DELETE FROM tavrin.[demo$t$rules] WHERE sit = 123");
    EXPECT_EQ(c.query(count), (Rows{{"5"}}));
    // The history window: every generation is recent, so the oldest is the cutoff.
    EXPECT_EQ(c.query("DECLARE @cutoff date = DATEADD(\n  day,\n  -COALESCE((SELECT act FROM tavrin.[demo$t$rules] WHERE sit=1), 65),\n  CAST (GETDATE() AS date));\n"
                      "SELECT COALESCE(MIN(generation), 0) FROM tavrin.\"demo$t$gen\" WITH (INDEX(GENDATE)) WHERE ts >= @cutoff;\n"),
              (Rows{{"1"}}));
    EXPECT_EQ(c.query("SELECT txid FROM\n  (SELECT TOP 2 txid AS txid FROM tavrin.demo$t$tx WHERE txid BETWEEN 2 AND 7 ORDER BY txid DESC) AS t\nORDER BY txid ASC"),
              (Rows{{"6"}, {"7"}}));
    const std::string t = cust;
    const std::string has_changes =
        "DECLARE @x_rv [bigint]; SET @x_rv = -1; \nSELECT TOP (1) @x_rv = d_rv.z_rv FROM [tavrin].[demo$z$deleted_rvs$" + t + "] AS d_rv INNER JOIN [tavrin].[demo$t$tx] AS tx ON (tx.txid = d_rv.del_txid) WHERE (tx.generation BETWEEN %G AND %G); \n"
        "IF (@x_rv < 1) \nBEGIN \n    SELECT TOP (1) @x_rv = x.z_rv FROM [tavrin].[demo$z$x$" + t + "] AS x \n        INNER JOIN \n"
        "          ( SELECT TOP (CAST(0x7FFFFFFFFFFFFFFF AS [bigint])) rv.z_rv FROM [tavrin].[demo$t$tx] AS tx \n                INNER JOIN [tavrin].[demo$z$rv$" + t + "] AS rv ON (rv.txid = tx.txid) \n"
        "                WHERE (tx.generation BETWEEN %G AND %G) \n          )  AS tx_rv ON (tx_rv.z_rv = x.z_rv); \nEND; \nSELECT CASE WHEN (@x_rv > 0) THEN 1 ELSE 0 END;";
    auto with_gen = [&](std::string s, const char* g) {
        for (size_t p; (p = s.find("%G")) != std::string::npos;) s.replace(p, 2, g);
        return s;
    };
    EXPECT_EQ(c.query(with_gen(has_changes, "2")), (Rows{{"1"}}));
    EXPECT_EQ(c.query(with_gen(has_changes, "3")), (Rows{{"0"}}));
    // A final set (current versions up to generation 1, ended ones of generation 2 that were
    // live after 1): only the deleted 'a', so the live table gets it from the old values by MERGE.
    ok(c, "SET NOCOUNT ON;\nCREATE TABLE #fr (rid uniqueidentifier PRIMARY KEY, generation bigint NOT NULL, z_rv bigint NOT NULL);\n"
          "INSERT INTO #fr (rid, generation, z_rv) \nSELECT rv.rid, rvtx.generation, rv.z_rv \n  FROM tavrin.\"demo$z$" + t + "\" AS z \n"
          "  JOIN tavrin.\"demo$z$rv$" + t + "\" AS rv ON z.z_rv = rv.z_rv \n  JOIN tavrin.\"demo$t$tx\" AS rvtx ON(rvtx.txid = rv.txid) AND (rvtx.generation <= 1) \n"
          "UNION \nSELECT b.rid, rvtx.generation, b.z_rv \n  FROM tavrin.\"demo$z$deleted_rvs$" + t + "\" AS b \n"
          "  JOIN tavrin.\"demo$t$tx\" AS rvtx ON(rvtx.txid = b.add_txid) AND (rvtx.generation <= 2) \n"
          "  JOIN tavrin.\"demo$t$tx\" AS deltx ON(deltx.txid = b.del_txid) AND ((deltx.generation > 1) OR (deltx.generation IS NULL))  \n  OPTION(OPTIMIZE FOR UNKNOWN); \n");
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM #fr;\n"), (Rows{{"1"}}));
    ok(c, "CREATE TABLE #live (z_rv bigint PRIMARY KEY, name nvarchar(50) NULL)");
    ok(c, "INSERT INTO #live (z_rv, name) SELECT a.z_rv, rec.name FROM #fr a INNER JOIN tavrin.\"demo$z$" + t + "\" rec ON (rec.z_rv=a.z_rv)");
    ok(c, "MERGE INTO #live z$$l USING #fr z$$a INNER JOIN tavrin.\"demo$z$old$" + t + "\" rec ON (rec.z_rv=z$$a.z_rv)  ON (z$$a.z_rv=z$$l.z_rv)  WHEN NOT MATCHED THEN INSERT (z_rv, name) VALUES(z$$a.z_rv, rec.name);");
    ok(c, "MERGE INTO #live z$$l USING #fr z$$a INNER JOIN tavrin.\"demo$z$old$" + t + "\" rec ON (rec.z_rv=z$$a.z_rv)  ON (z$$a.z_rv=z$$l.z_rv)  WHEN NOT MATCHED THEN INSERT (z_rv, name) VALUES(z$$a.z_rv, rec.name);");
    EXPECT_EQ(c.query("SELECT z_rv, name FROM #live"), (Rows{{"2", "a"}}));
    // The prune loop: WHILE, a CTE and DELETE until the count is stable.
    ok(c, "CREATE TABLE #inc (z_rv bigint PRIMARY KEY, rid uniqueidentifier NOT NULL, generation bigint NOT NULL)");
    ok(c, "INSERT INTO #inc (z_rv, rid, generation) SELECT z_rv, rid, 1 FROM tavrin.\"demo$z$rv$" + t + "\"");
    EXPECT_EQ(c.query("SET NOCOUNT ON\nDECLARE @prev_count_included bigint = 0, @count_included bigint = 0\nSELECT @count_included = COUNT(*) FROM #inc\n"
                      "WHILE @count_included <> @prev_count_included\nBEGIN\n  SELECT @prev_count_included = @count_included;\n  WITH z$rows AS\n  (\n"
                      "    SELECT z_rv AS z_rv, \"name\" AS \"name\" FROM tavrin.\"demo$z$" + t + "\" WHERE z_rv IN (SELECT z_rv FROM #inc)\n"
                      "    UNION ALL SELECT z_rv AS z_rv, \"name\" AS \"name\" FROM tavrin.\"demo$z$old$" + t + "\" WHERE z_rv IN (SELECT z_rv FROM #inc)\n  )\n"
                      "  DELETE FROM #inc WHERE z_rv IN (SELECT z$child.z_rv\n    FROM z$rows AS z$child\n    WHERE (z$child.\"name\" IS NOT NULL AND z$child.\"name\" = N'a')\n  )\n"
                      "  SELECT @count_included = COUNT(*) FROM #inc\nEND;\nSELECT @count_included"),
              (Rows{{"2"}}));
    // The row-id digest: MD5 chained over the ids' bytes in uniqueidentifier order.
    std::string digest = c.query(
        "SET NOCOUNT ON\nDECLARE @hash binary(16) = 0x00000000000000000000000000000000\nDECLARE cur CURSOR LOCAL FAST_FORWARD FOR SELECT CAST (rv.rid AS binary(16)) FROM\n"
        "  #inc z$included INNER JOIN tavrin.\"demo$z$rv$" + t + "\" rv ON (rv.z_rv=z$included.z_rv)\n  ORDER BY rv.rid ASC\nOPEN cur\nDECLARE @rid binary(16)\n"
        "FETCH NEXT FROM cur INTO @rid\nWHILE @@FETCH_STATUS = 0\nBEGIN\n  SELECT @hash = HASHBYTES('MD5', @hash+@rid)\n  FETCH NEXT FROM cur INTO @rid\nEND\n"
        "CLOSE cur\nDEALLOCATE cur\nSELECT @hash\n")[0][0];
    Rows rids = c.query("SELECT rv.rid FROM #inc i JOIN tavrin.\"demo$z$rv$" + t + "\" rv ON rv.z_rv = i.z_rv");
    std::string script = "import hashlib,uuid\nids=[uuid.UUID(x) for x in '" + rids[0][0] + " " + rids[1][0] +
                         "'.split()]\nids.sort(key=lambda u:(u.bytes[10:16],u.bytes[8:10],u.bytes[6:8],u.bytes[4:6],u.bytes[0:4]))\n"
                         "h=bytes(16)\nfor u in ids: h=hashlib.md5(h+u.bytes_le).digest()\nprint(h.hex())\n";
    std::ofstream(dir + "/digest.py") << script;
    FILE* p = popen(("/usr/bin/python3 " + dir + "/digest.py").c_str(), "r");
    char out[64] = {0};
    ASSERT_TRUE(fgets(out, sizeof out, p));
    pclose(p);
    std::string expected(out, 32);
    for (auto& ch : expected) ch = static_cast<char>(toupper(ch));
    EXPECT_EQ(digest, expected);
}

TEST_F(Dbfile, CliDocumentsItsCommandsAndRefusesBadInput) {
    std::string help;
    ASSERT_EQ(cli("--help", &help), 0);
    for (const char* c : {"create-db", "run", "create-config", "register-dbfile", "create-dbfile", "add-table", "set-rule", "add-acl",
                          "add-filter", "assign-filter", "add-user", "add-group", "purge", "snapshot", "restore"})
        EXPECT_NE(help.find(std::string("  ") + c + " "), std::string::npos) << c;
    std::ofstream(dir + "/keyless.sql") << "CREATE TABLE dbo.keyless (a int NULL)\n";
    ASSERT_EQ(cli("run " + dir + " shop " + dir + "/keyless.sql"), 0);
    struct Case {
        std::string args, message;
    } cases[] = {
        {"add-table " + dir + " shop nodb dbo.customers", "unknown dbfile 'nodb'"},
        {"add-table " + dir + " shop demo dbo.keyless", "neither a primary key nor an identity column"},
        {"add-table " + dir + " shop demo dbo.customers", "synchronised already"},
        {"set-rule " + dir + " shop demo 123 0", "counter row"},
        {"set-rule " + dir + " shop demo x 0", "not a number"},
        {"create-dbfile " + dir + " shop Bad-Name", "bad dbfile name"},
    };
    OdbcConnection c(dir, "shop");
    Rows before = c.query("SELECT (SELECT COUNT(*) FROM sys.objects), (SELECT COUNT(*) FROM tavrin.[demo$t$tx]), (SELECT COUNT(*) FROM tavrin.[demo$t$rules])");
    for (const auto& k : cases) {
        std::string out;
        EXPECT_NE(cli(k.args, &out), 0) << k.args;
        EXPECT_NE(out.find(k.message), std::string::npos) << k.args << " -> " << out;
    }
    EXPECT_EQ(c.query("SELECT (SELECT COUNT(*) FROM sys.objects), (SELECT COUNT(*) FROM tavrin.[demo$t$tx]), (SELECT COUNT(*) FROM tavrin.[demo$t$rules])"), before);
    // Rules, filters and purge take effect.
    ASSERT_EQ(cli("set-rule " + dir + " shop demo 1 30"), 0);
    ASSERT_EQ(cli("add-filter " + dir + " shop demo 7 '{\"tables\":{}}'"), 0);
    ASSERT_EQ(cli("assign-filter " + dir + " shop demo table bob 7 10"), 0);
    EXPECT_EQ(c.query("SELECT act FROM tavrin.[demo$t$rules] WHERE sit = 1"), (Rows{{"30"}}));
    EXPECT_EQ(c.query("SELECT who, filter FROM tavrin.[demo$t$uf]"), (Rows{{"bob", "7"}}));
    ok(c, "UPDATE dbo.customers SET name = N'after'");
    exec_output(c, "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;");
    ASSERT_EQ(cli("purge " + dir + " shop demo 3"), 0);
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM tavrin.[demo$z$old$" + cust + "]"), (Rows{{"0"}}));
    EXPECT_EQ(c.query("DECLARE @v [nvarchar](32); EXEC[tavrin].[demo$z$GetProperty] @key = 'purge_generation_at_history_purge', @val = @v OUTPUT, @default_val = '-1'; SELECT @v"),
              (Rows{{"3"}}));
}

}  // namespace
