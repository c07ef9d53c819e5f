// A provisioned dbfile written to as an application would, through the
// driver manager: the row-version logic, the procedures, the statements of
// the pull road and the management CLI.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "dbfile_fixture.h"

namespace {

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
    // GetTxId hands out a txid and nothing more: no push stored a stamp or rebase id.
    EXPECT_EQ(c.query("SELECT COUNT(*), COUNT(rstamp), COUNT(rebaseid) FROM " + q("t$tx")), (Rows{{"8", "0", "0"}}));
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

// The row-version logic is the table's triggers: SQL Server's OUTPUT INTO cannot write there.
TEST_F(Dbfile, OutputOnASynchronisedTableIsRefused) {
    OdbcConnection c(dir, "shop");
    ok(c, "CREATE TABLE dbo.memo (id int NOT NULL PRIMARY KEY)");
    const std::string output = "UPDATE dbo.customers SET name = name OUTPUT DELETED.id INTO dbo.memo (id)";
    ok(c, output);
    ok(c, "DELETE FROM dbo.memo");
    std::string out;
    ASSERT_EQ(cli("add-table " + dir + " shop demo dbo.memo", &out), 0) << out;
    EXPECT_EQ(c.exec(output), SQL_ERROR);
    ASSERT_FALSE(c.last_diags().empty());
    EXPECT_EQ(c.last_diags()[0].native, 331);
    EXPECT_EQ(c.last_diags()[0].message, "The target table 'memo' of the OUTPUT INTO clause cannot have any enabled triggers.");
    // Nor may a statement on it send rows back without INTO.
    for (const char* sql : {"UPDATE dbo.memo SET id = id OUTPUT INSERTED.id",
                            "MERGE INTO dbo.memo AS m USING dbo.customers AS c ON m.id = c.id "
                            "WHEN NOT MATCHED THEN INSERT (id) VALUES (c.id) OUTPUT INSERTED.id;"}) {
        SCOPED_TRACE(sql);
        EXPECT_EQ(c.exec(sql), SQL_ERROR);
        ASSERT_FALSE(c.last_diags().empty());
        EXPECT_EQ(c.last_diags()[0].native, 334);
        EXPECT_EQ(c.last_diags()[0].message, "The target table 'memo' of the DML statement cannot have any enabled "
                                             "triggers if the statement contains an OUTPUT clause without INTO clause.");
    }
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.memo"), (Rows{{"0"}}));
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


// The statement texts of transactions, generations, the meta and table
// exports (by generation, filtered sets, column dumps) with the answers SQL
// Server gives. History: generation 2 holds the schema transactions, 3 the
// inserts of ann, bob and their orders (transaction 5), 4 the update of ann
// and the deletion of bob and his order (transaction 6).
TEST_F(Dbfile, CorpusOfThePullRoad) {
    OdbcConnection c(dir, "shop");
    auto gen = [&] { return exec_output(c, "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;"); };
    ASSERT_EQ(gen(), 2);
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'ann')");  // id 2; the first write allocates transaction 5
    ok(c, "BEGIN TRANSACTION");
    ASSERT_EQ(exec_output(c, "EXEC tavrin.\"demo$z$GetTxId\" @txid = ? OUTPUT;"), 6);
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'bob')");  // id 3
    ok(c, "INSERT INTO sales.orders VALUES ('EU', 1, 2, 10.00), ('EU', 2, 3, 20.00), ('EU', 3, 1, 30.00)");
    // The push step around GetTxId: the rstamp looked up under lock, then stored with a fresh
    // random rebaseid.
    const std::string rstamp = "a0b1c2d3-0000-4000-8000-00000000000a";
    const std::string applied = "SELECT COUNT(*) FROM tavrin.\"demo$t$tx\" WITH (UPDLOCK, HOLDLOCK) WHERE rstamp=?";
    EXPECT_EQ(bound_query(c, applied, {rstamp}, {}), (Rows{{"0"}}));
    bound_query(c, "UPDATE tavrin.\"demo$t$tx\" SET rstamp=?, rebaseid=cast(crypt_gen_random(8) as bigint) WHERE txid=?", {rstamp}, {6});
    EXPECT_EQ(bound_query(c, applied, {rstamp}, {}), (Rows{{"1"}}));
    ok(c, "COMMIT TRANSACTION");
    ASSERT_EQ(gen(), 3);
    ok(c, "BEGIN TRANSACTION");
    ok(c, "UPDATE dbo.customers SET name = N'Ann' WHERE id = 2");
    ok(c, "DELETE FROM sales.orders WHERE order_no = 2");
    ok(c, "DELETE FROM dbo.customers WHERE id = 3");
    ok(c, "COMMIT TRANSACTION");
    ASSERT_EQ(gen(), 4);

    // 3.104-shaped single statements.
    const std::string rebaseid = c.query("SELECT rebaseid FROM tavrin.demo$t$tx WHERE txid = 6")[0][0];
    EXPECT_NE(rebaseid, "NULL");
    EXPECT_EQ(c.query("SELECT rebaseid, txid, generation FROM tavrin.demo$t$tx WHERE rstamp='A0B1C2D3-0000-4000-8000-00000000000A';\n"),
              (Rows{{rebaseid, "6", "3"}}));
    EXPECT_EQ(c.query("SELECT rebaseid, txid, generation FROM tavrin.demo$t$tx WHERE rstamp='00000000-0000-0000-0000-000000000001';\n"), Rows{});
    EXPECT_EQ(c.query("SELECT TOP 1 txid, rstamp, rebaseid FROM tavrin.demo$t$tx ORDER BY txid ASC"), (Rows{{"1", "NULL", "NULL"}}));
    EXPECT_EQ(bound_query(c, "SELECT TOP 1 txid, rstamp, rebaseid FROM tavrin.demo$t$tx WHERE txid=? OPTION (OPTIMIZE FOR UNKNOWN)", {}, {6}),
              (Rows{{"6", "A0B1C2D3-0000-4000-8000-00000000000A", rebaseid}}));
    const std::string gen1_id = c.query("SELECT id FROM tavrin.[demo$t$gen] WHERE generation = 1")[0][0];
    const std::string exists = "SELECT CAST ((CASE WHEN EXISTS (SELECT 1 FROM tavrin.\"demo$t$gen\" WHERE generation=%G AND id=%I) THEN 1 ELSE 0 END) AS bit)";
    EXPECT_EQ(c.query(replaced(exists, {{"%G", "1"}, {"%I", gen1_id}})), (Rows{{"1"}}));
    EXPECT_EQ(c.query(replaced(exists, {{"%G", "2"}, {"%I", gen1_id}})), (Rows{{"0"}}));
    EXPECT_EQ(c.query("SELECT t.fk_constraint_list_txid, COALESCE(tx.generation, 0)\n  FROM tavrin.demo$t$t AS t\n"
                      "  INNER JOIN tavrin.demo$t$tx AS tx ON (tx.txid = t.fk_constraint_list_txid)\n  WHERE [object_id]=" + orders),
              (Rows{{"3", "2"}}));
    ok(c, "INSERT INTO tavrin.[demo$t$ipklog] (fid, tbl_id, temp_ipk, import_txid, final_ipk) VALUES (7, " + cust + ", -1, 5, 2), (7, " +
              cust + ", -2, 6, 3), (8, " + cust + ", -1, 5, 4)");
    const std::string purge_ipklog = "IF OBJECT_ID('[tavrin].[%D$t$ipklog]') IS NOT NULL\n  DELETE FROM [tavrin].[%D$t$ipklog] WHERE fid = 7 AND import_txid <= 5;\n";
    ok(c, replaced(purge_ipklog, {{"%D", "demo"}}));
    ok(c, replaced(purge_ipklog, {{"%D", "other"}}));  // the log is optional
    EXPECT_EQ(c.query("SELECT fid, import_txid FROM tavrin.[demo$t$ipklog] ORDER BY fid"), (Rows{{"7", "6"}, {"8", "5"}}));

    // export_meta_table with the three column lists, with and without an extra condition.
    EXPECT_EQ(bound_query(c, "SELECT \"txid\",\"rstamp\",\"rebaseid\" FROM tavrin.demo$t$tx WHERE (txid BETWEEN ? AND ?) OPTION (OPTIMIZE FOR UNKNOWN)", {}, {6, 6}),
              (Rows{{"6", "A0B1C2D3-0000-4000-8000-00000000000A", rebaseid}}));
    EXPECT_EQ(bound_query(c, "SELECT \"txid\",\"generation\" FROM tavrin.demo$t$tx WHERE (txid BETWEEN ? AND ?) AND generation > 2 OPTION (OPTIMIZE FOR UNKNOWN)", {}, {1, 9}),
              (Rows{{"5", "3"}, {"6", "3"}, {"7", "4"}}));
    EXPECT_EQ(bound_query(c, "SELECT \"txid\" FROM tavrin.demo$t$tx WHERE (txid BETWEEN ? AND ?) OPTION (OPTIMIZE FOR UNKNOWN)", {}, {8, 20}), Rows{});

    // The newest transaction an export hands out is stamped when no push stamped it; a push's stamp stays.
    const std::string unstamped = "SELECT COUNT(*) FROM tavrin.\"demo$t$tx\" WHERE txid = %T AND rstamp IS NULL";
    const std::string stamp = "UPDATE tavrin.\"demo$t$tx\" SET rstamp=NEWID(), rebaseid=cast(crypt_gen_random(8) as bigint) WHERE txid = %T AND rstamp IS NULL";
    EXPECT_EQ(c.query(replaced(unstamped, {{"%T", "7"}})), (Rows{{"1"}}));
    ok(c, replaced(stamp, {{"%T", "7"}}));
    ok(c, replaced(stamp, {{"%T", "6"}}));
    EXPECT_EQ(c.query(replaced(unstamped, {{"%T", "7"}})), (Rows{{"0"}}));
    EXPECT_EQ(c.query("SELECT COUNT(DISTINCT rstamp), COUNT(DISTINCT rebaseid) FROM tavrin.demo$t$tx WHERE txid IN (6, 7)"), (Rows{{"2", "2"}}));
    EXPECT_EQ(c.query("SELECT rstamp, rebaseid FROM tavrin.demo$t$tx WHERE txid = 6"), (Rows{{"A0B1C2D3-0000-4000-8000-00000000000A", rebaseid}}));

    const std::vector<std::pair<std::string, std::string>> ids{{"%C", cust}, {"%O", orders}};
    auto run = [&](const std::string& sql) { ok(c, replaced(sql, ids)); };
    auto rows = [&](const std::string& sql) { return c.query(replaced(sql, ids)); };
    auto rid_of = [&](const std::string& table, const std::string& txid, const std::string& key) {
        return c.query(replaced("SELECT rv.rid FROM tavrin.\"demo$z$rv$" + table + "\" rv JOIN tavrin.\"demo$z$x$" + table +
                                    "\" x ON x.z_rv = rv.z_rv WHERE " + key + " UNION SELECT rid FROM tavrin.\"demo$z$deleted_rvs$" + table +
                                    "\" WHERE add_txid = " + txid + " AND " + "z_rv IN (SELECT z_rv FROM tavrin.\"demo$z$old$" + table + "\" WHERE " + key + ")",
                                ids))[0][0];
    };
    const std::string ann = rid_of(cust, "5", "id = 2"), bob = rid_of(cust, "6", "id = 3"), before = rid_of(cust, "2", "id = 1");

    // From scratch up to generation 4: every live row; deletions from the cutoff on.
    run("SET NOCOUNT ON;\nCREATE TABLE #fs (rid uniqueidentifier PRIMARY KEY, generation bigint NOT NULL, z_rv bigint NOT NULL);\n"
        "INSERT INTO #fs (rid, generation, z_rv) \nSELECT rv.rid, rvtx.generation, rv.z_rv \n  FROM tavrin.\"demo$z$%C\" AS z \n"
        "  JOIN tavrin.\"demo$z$rv$%C\" AS rv ON z.z_rv = rv.z_rv \n  JOIN tavrin.\"demo$t$tx\" AS rvtx ON(rvtx.txid = rv.txid) AND (rvtx.generation <= 4) \n"
        "UNION \nSELECT b.rid, rvtx.generation, b.z_rv \n  FROM tavrin.\"demo$z$deleted_rvs$%C\" AS b \n"
        "  JOIN tavrin.\"demo$t$tx\" AS rvtx ON(rvtx.txid = b.add_txid) AND (rvtx.generation <= 4) \n"
        "  JOIN tavrin.\"demo$t$tx\" AS deltx ON(deltx.txid = b.del_txid) AND ((deltx.generation > 4) OR (deltx.generation IS NULL))  \n"
        "  OPTION(OPTIMIZE FOR UNKNOWN); \n");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #fs;\n"), (Rows{{"2"}}));
    // The query has no ORDER BY: the rows are compared in the order of their ids.
    Rows scratch = rows("SELECT frv.rid, NULL, frv.generation, z.\"id\", z.\"name\"\n  FROM #fs frv\n  INNER JOIN tavrin.\"demo$z$%C\" z ON z.z_rv = frv.z_rv;\n");
    std::sort(scratch.begin(), scratch.end(), [](const auto& a, const auto& b) { return a[3] < b[3]; });
    EXPECT_EQ(scratch, (Rows{{before, "NULL", "2", "1", "before"}, {ann, "NULL", "4", "2", "Ann"}}));
    const std::string scratch_deletes =
        "WITH final_deletes (rid, generation) AS\n(\n  SELECT dd.rid, max(ddtx.generation)\n  FROM tavrin.\"demo$z$deleted_rvs$%C\" dd \n"
        "  INNER JOIN tavrin.\"demo$t$tx\" ddtx ON ddtx.txid = dd.del_txid \n  WHERE ddtx.generation <= 4 AND dd.rid NOT IN(SELECT rid FROM #fs) \n"
        "  GROUP BY dd.rid \n)\nSELECT rid, NULL, generation, NULL, NULL FROM final_deletes\n  WHERE generation >= %CUT;\n";
    EXPECT_EQ(rows(replaced(scratch_deletes, {{"%CUT", "4"}})), (Rows{{bob, "NULL", "4", "NULL", "NULL"}}));
    EXPECT_EQ(rows(replaced(scratch_deletes, {{"%CUT", "5"}})), Rows{});

    // By generation 4 to 4 for a client at generation 3.
    run("SET NOCOUNT ON;\nCREATE TABLE #bd (rid uniqueidentifier PRIMARY KEY, rv_gen bigint NOT NULL);\nINSERT INTO #bd (rid, rv_gen) \n"
        "SELECT rv.rid, rvtx.generation \nFROM tavrin.\"demo$z$deleted_rvs$%C\" rv \nINNER JOIN tavrin.\"demo$t$tx\" ddtx ON ddtx.txid = rv.del_txid \n"
        "INNER JOIN tavrin.\"demo$t$tx\" rvtx ON rvtx.txid = rv.add_txid \nWHERE ddtx.generation BETWEEN 4 AND 4 \nAND rvtx.generation < 4 OPTION(OPTIMIZE FOR UNKNOWN); \n");
    run("SET NOCOUNT ON;\nCREATE TABLE #fg (rid uniqueidentifier PRIMARY KEY, generation bigint NOT NULL, z_rv bigint NOT NULL);\n"
        "INSERT INTO #fg (rid, generation, z_rv) \nSELECT rv.rid, addtx.generation, rv.z_rv \n  FROM tavrin.\"demo$z$%C\" z \n"
        "  INNER JOIN tavrin.\"demo$z$rv$%C\" rv ON z.z_rv = rv.z_rv \n  INNER JOIN tavrin.\"demo$t$tx\" addtx ON(addtx.txid = rv.txid) \n"
        "  WHERE(addtx.generation BETWEEN 4 AND 4) \nUNION \nSELECT rv.rid, addtx.generation, rv.z_rv \n  FROM tavrin.\"demo$z$deleted_rvs$%C\" rv \n"
        "  INNER JOIN tavrin.\"demo$t$tx\" deltx ON(deltx.txid = rv.del_txid) \n  INNER JOIN tavrin.\"demo$t$tx\" addtx ON(addtx.txid = rv.add_txid) \n"
        "  WHERE(addtx.generation BETWEEN 4 AND 4) \n  AND   (deltx.generation > 4  OR (deltx.generation IS NULL)) OPTION(OPTIMIZE FOR UNKNOWN); \n");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #fg;"), (Rows{{"1"}}));
    EXPECT_EQ(rows("SELECT rid, rv_gen FROM #bd ORDER BY rv_gen"), (Rows{{ann, "3"}, {bob, "3"}}));
    // Ann's version is superseded between the set and its values: the count
    // check finds the current values short and takes it from the old values.
    ok(c, "UPDATE dbo.customers SET name = N'ANN' WHERE id = 2");
    const std::string by_gen_rows = "SELECT frv.rid, bd.rv_gen, frv.generation, z.\"id\", z.\"name\"\n  FROM #fg frv\n  LEFT OUTER JOIN #bd bd ON bd.rid = frv.rid\n"
                                    "  INNER JOIN tavrin.\"demo$z$%T\" z ON z.z_rv = frv.z_rv;\n";
    Rows delivered = rows(replaced(by_gen_rows, {{"%T", "%C"}}));
    EXPECT_EQ(delivered, Rows{});
    for (const auto& r : rows(replaced(by_gen_rows, {{"%T", "old$%C"}}))) delivered.push_back(r);
    EXPECT_EQ(delivered, (Rows{{ann, "3", "4", "2", "Ann"}}));
    EXPECT_EQ(rows("WITH final_deletes (rid, generation) AS\n(\n  SELECT dd.rid, max(ddtx.generation)\n  FROM tavrin.\"demo$z$deleted_rvs$%C\" dd \n"
                   "  INNER JOIN tavrin.\"demo$t$tx\" ddtx ON ddtx.txid = dd.del_txid \n  WHERE ddtx.generation BETWEEN 4 AND 4 AND dd.rid NOT IN(SELECT rid FROM #fg) \n"
                   "  GROUP BY dd.rid \n)\nSELECT fd.rid, bd.rv_gen, fd.generation, NULL, NULL\n  FROM #bd bd\n  RIGHT OUTER JOIN final_deletes fd ON fd.rid = bd.rid\n"
                   "  WHERE bd.rv_gen IS NOT NULL OR fd.generation >= 5;\n"),
              (Rows{{bob, "3", "4", "NULL", "NULL"}}));

    // Filtered sets: customers whose name is not 'before', orders over 5 whose customer is in the set.
    const std::string parent_cond =
        "  AND ( (z$this.\"customer_id\" IS NULL)\n    OR (EXISTS (SELECT * FROM #%P AS tt \n                  INNER JOIN tavrin.\"demo$z$%C\" AS pz ON (pz.z_rv = tt.z_rv) WHERE (pz.\"id\" = z$this.\"customer_id\")))\n"
        "    OR (EXISTS (SELECT * FROM #%P AS tt \n                  INNER JOIN tavrin.\"demo$z$old$%C\" AS pz ON (pz.z_rv = tt.z_rv) WHERE (pz.\"id\" = z$this.\"customer_id\")))  )\n";
    auto two_part = [&](const std::string& set, const std::string& table, const std::string& g, const std::string& cond) {
        return "INSERT INTO #" + set + " (z_rv, rid, generation) \n"
               "SELECT rv.z_rv, rv.rid, tx.generation \n  FROM tavrin.\"demo$z$" + table + "\" AS z$this \n  JOIN tavrin.\"demo$z$rv$" + table +
               "\" AS rv ON (rv.z_rv = z$this.z_rv) \n  JOIN tavrin.\"demo$t$tx\" AS tx ON (tx.txid = rv.txid) AND (tx.generation <= " + g + ") \n" + cond +
               "UNION \nSELECT b.z_rv, b.rid, tx1.generation \n  FROM tavrin.\"demo$z$deleted_rvs$" + table + "\" AS b \n"
               "  JOIN tavrin.\"demo$t$tx\" AS tx2 ON (tx2.txid = b.del_txid) AND ((tx2.generation > " + g + ") OR (tx2.generation IS NULL)) \n"
               "  JOIN tavrin.\"demo$t$tx\" AS tx1 ON (tx1.txid = b.add_txid) AND (tx1.generation <= " + g + ") \n"
               "  JOIN tavrin.\"demo$z$old$" + table + "\" AS z$this ON (b.z_rv = z$this.z_rv) \n" + cond + " OPTION (OPTIMIZE FOR UNKNOWN);";
    };
    for (const char* set : {"cf", "cb", "of", "ob"})
        run(std::string("CREATE TABLE #") + set + " (z_rv bigint PRIMARY KEY, rid uniqueidentifier NOT NULL, generation bigint NOT NULL)");
    const std::string customer_cond = "  WHERE (z$this.name <> N'before')\n";
    run(two_part("cf", "%C", "4", customer_cond));
    run(two_part("cb", "%C", "3", customer_cond));
    run(two_part("of", "%O", "4", "  WHERE (z$this.total > 5)\n" + replaced(parent_cond, {{"%P", "cf"}})));
    run(two_part("ob", "%O", "3", "  WHERE (z$this.total > 5)\n" + replaced(parent_cond, {{"%P", "cb"}})));
    // At generation 4 Ann's version of transaction 7 was current (superseded
    // since); at generation 3 the first versions of ann and bob were.
    EXPECT_EQ(rows("SELECT s.rid, s.generation FROM #cf s"), (Rows{{ann, "4"}}));
    EXPECT_EQ(rows("SELECT s.rid, s.generation FROM #cb s ORDER BY s.z_rv"), (Rows{{ann, "3"}, {bob, "3"}}));
    EXPECT_EQ(rows("SELECT o.order_no FROM #ob s JOIN tavrin.\"demo$z$old$%O\" o ON o.z_rv = s.z_rv UNION ALL "
                   "SELECT x.order_no FROM #ob s JOIN tavrin.\"demo$z$x$%O\" x ON x.z_rv = s.z_rv ORDER BY 1"),
              (Rows{{"1"}, {"2"}}));
    const std::string order1 = rows("SELECT rid FROM #ob WHERE z_rv = (SELECT MIN(z_rv) FROM #ob)")[0][0];
    const std::string order2 = rows("SELECT rid FROM #ob WHERE z_rv = (SELECT MAX(z_rv) FROM #ob)")[0][0];
    EXPECT_EQ(rows("SELECT rid FROM #of"), (Rows{{order1}})) << "order 3's customer is filtered out";
    // The same orders at the baseline by transaction (up to 6), the one-part form with its CTE.
    run("CREATE TABLE #ot (z_rv bigint PRIMARY KEY, rid uniqueidentifier NOT NULL, generation bigint NOT NULL)");
    const std::string ot_cond = "  WHERE (z$this.total > 5)\n" + replaced(parent_cond, {{"%P", "cb"}});
    run("WITH relevant_rvs (z_rv, rid, generation) AS\n(\n  SELECT z_rv, rid, -1 AS generation FROM tavrin.\"demo$z$rv$%O\" AS rv WHERE (txid <= 6)\n"
        "  AND NOT EXISTS (SELECT dd.* FROM tavrin.\"demo$z$dd$%O\" AS dd WHERE (txid <= 6) AND (dd.rv=rv.z_rv))\n)\n"
        "INSERT INTO #ot (z_rv, rid, generation)\nSELECT z$rv.z_rv, z$rv.rid, z$rv.generation\n  FROM tavrin.\"demo$z$%O\" z$this\n"
        "  INNER JOIN relevant_rvs z$rv ON (z$this.z_rv = z$rv.z_rv)\n" + ot_cond + "UNION ALL \nSELECT z$rv.z_rv, z$rv.rid, z$rv.generation\n"
        "  FROM tavrin.\"demo$z$old$%O\" z$this\n  INNER JOIN relevant_rvs z$rv ON (z$this.z_rv = z$rv.z_rv)\n" + ot_cond + " OPTION (OPTIMIZE FOR UNKNOWN);");
    EXPECT_EQ(rows("SELECT COUNT(*), MIN(generation) FROM #ot"), (Rows{{"2", "-1"}}));
    // An unfiltered set by transaction: versions up to 6 not ended by then, but those of 5, which
    // the client lists as missing.
    run("CREATE TABLE #listed (txid bigint PRIMARY KEY); INSERT INTO #listed (txid) VALUES (5);");
    run("CREATE TABLE #ut (z_rv bigint PRIMARY KEY, rid uniqueidentifier NOT NULL, generation bigint NOT NULL)");
    run("INSERT INTO #ut (z_rv, rid, generation) \n  SELECT z_rv, rid, -1 AS generation FROM tavrin.\"demo$z$rv$%C\" AS rv WHERE (txid <= 6) AND (txid NOT IN (SELECT txid FROM #listed)) \n"
        "  AND (NOT EXISTS (SELECT dd.* FROM tavrin.\"demo$z$dd$%C\" AS dd WHERE (txid <= 6) AND (txid NOT IN (SELECT txid FROM #listed)) AND (dd.rv=rv.z_rv))) OPTION (OPTIMIZE FOR UNKNOWN);");
    EXPECT_EQ(rows("SELECT rid FROM #ut ORDER BY z_rv"), (Rows{{before}, {bob}}));
    // The filtered generation export's deletions: orders of the baseline that left the final set.
    EXPECT_EQ(rows("SELECT COUNT_BIG(*) FROM #of AS f WHERE (NOT EXISTS (SELECT * FROM #ob AS b WHERE (f.z_rv = b.z_rv)));"), (Rows{{"0"}}));
    EXPECT_EQ(rows(
        "SELECT DISTINCT rid, MIN(generation), MAX(del_generation), NULL \nFROM ( \n  SELECT base_rv.rid AS rid, base_rv.generation AS generation, dd_tx.generation AS del_generation \n"
        "  FROM #ob AS base_rv  \n    INNER JOIN  tavrin.\"demo$z$deleted_rvs$%O\" AS ddrv ON ddrv.rid = base_rv.rid  \n"
        "\tINNER JOIN tavrin.\"demo$t$tx\" AS dd_tx ON  (dd_tx.txid = ddrv.del_txid) AND (dd_tx.generation BETWEEN 4 AND 4)  \n"
        "\tLEFT JOIN tavrin.\"demo$z$rv$%O\" AS next_rv  ON (next_rv.rid = ddrv.rid) AND (next_rv.txid = ddrv.del_txid) \n"
        "\tWHERE next_rv.rid IS NULL AND ( NOT EXISTS (SELECT * FROM #of AS ft WHERE (ft.rid = base_rv.rid)) ) \n  UNION ALL  \n"
        "  SELECT base_rv.rid AS rid, base_rv.generation AS generation, 0 AS del_generation \n  FROM #ob AS base_rv  \n"
        "\tWHERE ( NOT EXISTS (SELECT * FROM #of AS ft WHERE (ft.rid = base_rv.rid)) ) \n\t) a GROUP BY a.rid \n"),
              (Rows{{order2, "3", "4", "NULL"}}));

    // Column dumps: an unfiltered table (held at 3, still current at 4) and a filtered one.
    run("CREATE TABLE #cd (z_rv bigint PRIMARY KEY)");
    run("INSERT INTO #cd SELECT base.z_rv FROM\n  (SELECT rv.z_rv, rv.rid, tx.generation FROM tavrin.\"demo$t$tx\" AS tx INNER JOIN tavrin.\"demo$z$rv$%C\" AS rv ON (tx.txid=rv.txid) WHERE (tx.generation <= 3)) AS base\n"
        "WHERE NOT EXISTS(SELECT 1 FROM\n  (SELECT dd.* FROM tavrin.\"demo$t$tx\" AS tx2 INNER JOIN tavrin.\"demo$z$dd$%C\" AS dd ON (tx2.txid=dd.txid) WHERE (tx2.generation <= 4)) AS dd\n"
        "  WHERE dd.rv = base.z_rv\n)");
    run("CREATE TABLE #pr (z_rv bigint PRIMARY KEY, \"name\" nvarchar(50) NULL)");
    run("INSERT INTO #pr (z_rv, \"name\") SELECT a.z_rv, rec.\"name\" FROM #cd a INNER JOIN tavrin.\"demo$z$%C\" rec ON (rec.z_rv=a.z_rv)");
    run("MERGE INTO #pr l USING #cd a INNER JOIN tavrin.\"demo$z$old$%C\" rec ON (rec.z_rv=a.z_rv)  ON (a.z_rv=l.z_rv)  WHEN NOT MATCHED THEN INSERT (z_rv, \"name\") VALUES(a.z_rv, rec.\"name\");");
    EXPECT_EQ(rows("SELECT rv.rid, rec.\"name\" FROM #pr rec INNER JOIN tavrin.\"demo$z$rv$%C\" rv ON (rv.z_rv=rec.z_rv)"), (Rows{{before, "before"}}));
    run("CREATE TABLE #cdo (z_rv bigint PRIMARY KEY)");
    run("INSERT INTO #cdo SELECT z_rv FROM #ob WHERE z_rv IN (SELECT z_rv FROM #of)\n");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #cdo"), (Rows{{"1"}}));
}

TEST_F(Dbfile, AColumnPreparedLaterIsVersionedFromItsSchemaTransactionOn) {
    OdbcConnection c(dir, "shop");
    ok(c, "CREATE TABLE dbo.notes (id int NOT NULL PRIMARY KEY, body nvarchar(50) NULL, extra int NULL)");
    ok(c, "INSERT INTO dbo.notes VALUES (1, N'one', 10)");
    std::string notes;
    ASSERT_EQ(cli("add-table " + dir + " shop demo dbo.notes id body", &notes), 0) << notes;
    notes = notes.substr(0, notes.find('\n'));
    auto q = [&](const std::string& kind) { return "tavrin.[demo$" + kind + notes + "]"; };
    // A column the host table gains later, then both are prepared.
    ok(c, "ALTER TABLE dbo.notes ADD late nvarchar(10) COLLATE Latin1_General_CS_AS NULL");
    EXPECT_EQ(c.query("SELECT name, collation_name, is_nullable FROM sys.columns WHERE object_id = OBJECT_ID('dbo.notes') AND column_id = 4"),
              (Rows{{"late", "Latin1_General_CS_AS", "1"}}));
    std::string out;
    ASSERT_EQ(cli("prepare-column " + dir + " shop demo dbo.notes extra", &out), 0) << out;
    ASSERT_EQ(cli("prepare-column " + dir + " shop demo dbo.notes late", &out), 0) << out;
    EXPECT_EQ(c.query("SELECT name FROM sys.columns WHERE object_id = OBJECT_ID('tavrin.[demo$z$old$" + notes + "]') ORDER BY column_id"),
              (Rows{{"z_rv"}, {"id"}, {"body"}, {"extra"}, {"late"}}));
    // Each preparation is a schema transaction of its own: the table's mark and the column's dump.
    EXPECT_EQ(c.query("SELECT txid FROM tavrin.[demo$t$t] WHERE object_id = " + notes), (Rows{{"7"}}));
    EXPECT_EQ(c.query("SELECT col, dump_txid FROM tavrin.[demo$t$c] WHERE tbl = " + notes + " ORDER BY col"), (Rows{{"3", "6"}, {"4", "7"}}));
    EXPECT_EQ(c.query("SELECT MAX(txid), COUNT(*) FROM tavrin.[demo$t$tx]"), (Rows{{"7", "7"}}));
    ok(c, "UPDATE dbo.notes SET extra = 11, late = N'x' WHERE id = 1");
    EXPECT_EQ(c.query("SELECT id, body, extra, late FROM " + q("z$old$")), (Rows{{"1", "one", "10", "NULL"}}));
    EXPECT_EQ(c.query("SELECT id, extra, late FROM " + q("z$")), (Rows{{"1", "11", "x"}}));
    auto d = [&](const std::string& sql) {
        EXPECT_EQ(c.exec(sql), SQL_ERROR) << sql;
        return c.last_diags().at(0).native;
    };
    EXPECT_EQ(d("ALTER TABLE dbo.notes ADD late int NULL"), 2705);
    EXPECT_EQ(d("ALTER TABLE dbo.notes ADD other int NOT NULL"), 102) << "outside the dialect: a NOT NULL column needs a default";
}

TEST(DbfileCli, GlobalRulesNameTablesColumnsAndForeignKeys) {
    std::string dir = make_data_dir();
    ASSERT_EQ(cli("create-config " + dir + " cfg"), 0);
    std::ofstream(dir + "/hosts.sql") << "CREATE TABLE dbo.p (id int NOT NULL PRIMARY KEY, v int NULL)\n"
                                         "CREATE TABLE dbo.c (id int NOT NULL PRIMARY KEY, pid int NULL CONSTRAINT FK_c_p REFERENCES dbo.p (id))\n";
    ASSERT_EQ(cli("run " + dir + " cfg " + dir + "/hosts.sql"), 0);
    for (const char* args : {"set-record-rule %D cfg dbo.p 2 1", "set-record-rule %D cfg dbo.p 2 3 keep", "set-column-rule %D cfg dbo.p v 4",
                             "set-column-rule %D cfg dbo.p '*' 5 x", "set-fk-rule %D cfg dbo.FK_c_p 5 2"}) {
        std::string a = args, out;
        a.replace(a.find("%D"), 2, dir);
        ASSERT_EQ(cli(a, &out), 0) << a << " -> " << out;
    }
    struct Case {
        std::string args, message;
    } cases[] = {
        {"set-record-rule " + dir + " cfg dbo.none 2 1", "no table 'dbo.none'"},
        {"set-column-rule " + dir + " cfg dbo.p nope 1", "has no column 'nope'"},
        {"set-fk-rule " + dir + " cfg dbo.FK_none 5 1", "no foreign key"},
        {"set-record-rule " + dir + " cfg dbo.p two 1", "not a number"},
    };
    for (const auto& k : cases) {
        std::string out;
        EXPECT_NE(cli(k.args, &out), 0) << k.args;
        EXPECT_NE(out.find(k.message), std::string::npos) << k.args << " -> " << out;
    }
    OdbcConnection c(dir, "cfg");
    const std::string p = c.query("SELECT OBJECT_ID('dbo.p')")[0][0];
    EXPECT_EQ(c.query("SELECT sit, tbl_id, act, extra FROM tavrin.rules_record"), (Rows{{"2", p, "3", "keep"}}));
    EXPECT_EQ(c.query("SELECT tbl_id, col_id, act, extra FROM tavrin.rules_column ORDER BY act"), (Rows{{p, "2", "4", "NULL"}, {p, "NULL", "5", "x"}}));
    EXPECT_EQ(c.query("SELECT r.sit, r.act FROM tavrin.rules_fk r JOIN sys.foreign_keys f ON f.object_id = r.fk_id WHERE f.name = N'FK_c_p'"),
              (Rows{{"5", "2"}}));
}

TEST_F(Dbfile, CliDocumentsItsCommandsAndRefusesBadInput) {
    std::string help;
    ASSERT_EQ(cli("--help", &help), 0);
    for (const char* c : {"create-db", "run", "create-config", "register-dbfile", "create-dbfile", "add-table", "prepare-column", "set-rule",
                          "set-record-rule", "set-column-rule", "set-fk-rule", "add-acl", "add-filter", "assign-filter", "add-user",
                          "add-group", "purge", "snapshot", "restore"})
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
        {"prepare-column " + dir + " shop demo dbo.keyless a", "not synchronised"},
        {"prepare-column " + dir + " shop demo dbo.customers nope", "has no column 'nope'"},
        {"prepare-column " + dir + " shop demo dbo.customers name", "synchronised already"},
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

// A push as the store runs it: staging into temp tables, the per-table MERGE
// with DELETE/UPDATE/INSERT, the identity insert with OUTPUT INTO, the rid
// rewrites and the late-conflict checks, each answered as SQL Server would.
TEST_F(Dbfile, CorpusOfThePushRoad) {
    OdbcConnection c(dir, "shop");
    ok(c, "INSERT INTO dbo.customers (name) VALUES (N'ann')");  // id 2
    ok(c, "INSERT INTO sales.orders VALUES ('EU', 1, 2, 10.00), ('EU', 2, 1, 20.00)");
    ok(c, "INSERT INTO sales.lines VALUES ('EU', 1, 1, 5)");
    const std::string o1_txid = c.query("SELECT rv.txid FROM tavrin.\"demo$z$rv$" + orders + "\" rv JOIN tavrin.\"demo$z$x$" + orders +
                                        "\" x ON x.z_rv = rv.z_rv WHERE order_no = 1")[0][0];
    const std::string o1 = live_rid(c, orders, "order_no = 1"), o2 = live_rid(c, orders, "order_no = 2");
    const std::string c1 = live_rid(c, cust, "id = 1"), c1_txid = "2";
    const std::string r_cat = "11111111-2222-4333-8444-000000000001", r_o3 = "11111111-2222-4333-8444-000000000003";

    ok(c, "BEGIN TRANSACTION");
    const long long t = exec_output(c, "EXEC tavrin.\"demo$z$GetTxId\" @txid = ? OUTPUT;");
    const std::string T = std::to_string(t);
    EXPECT_EQ(bound_query(c, "SELECT '[' + OBJECT_SCHEMA_NAME(?) + ']' + '.' + '[' + OBJECT_NAME(?) + ']'  OPTION (OPTIMIZE FOR UNKNOWN)", {},
                          {std::stoll(orders), std::stoll(orders)}),
              (Rows{{"[sales].[orders]"}}));
    // Staging: records with identity references as key text, deltas.
    const std::vector<std::pair<std::string, std::string>> ids{{"%C", cust}, {"%O", orders}, {"%T", T}};
    auto run = [&](const std::string& sql) { ok(c, replaced(sql, ids)); };
    auto rows = [&](const std::string& sql) { return c.query(replaced(sql, ids)); };
    const std::string keytext = " varchar(25) CHECK(LEN([%s]) >= 3 AND SUBSTRING([%s],2,1) = ':')";
    run("CREATE TABLE #rec_c (z_rid uniqueidentifier, [id]" + replaced(keytext, {{"%s", "id"}}) + ", [name] nvarchar(50) NULL)");
    run("CREATE TABLE #rec_o (z_rid uniqueidentifier, [region] char(2) NULL, [order_no] bigint NULL, [customer_id]" +
        replaced(keytext, {{"%s", "customer_id"}}) + ", [total] decimal(12,2) NULL)");
    for (const char* d : {"#del_c", "#del_o"})
        run(std::string("CREATE TABLE ") + d +
            " (rid uniqueidentifier NOT NULL UNIQUE, txid_rec_add bit NOT NULL, txid_rec_del bigint NULL, txid_rec_undel bigint NULL, txid_rec_reinsert bigint NULL)");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #rec_c WHERE 1=0"), (Rows{{"0"}}));
    const std::string delta = "INSERT INTO %s (rid,txid_rec_add,txid_rec_del,txid_rec_undel,txid_rec_reinsert) VALUES (?,?,?,?,NULL)";
    auto add_delta = [&](const char* table, const std::string& rid, int add, const std::string& del) {
        SQLHSTMT st = c.stmt();
        SQLINTEGER a = add;
        SQLBIGINT d = del.empty() ? 0 : std::stoll(del);
        SQLLEN rid_len = static_cast<SQLLEN>(rid.size()), a_len = 0, d_len = del.empty() ? SQL_NULL_DATA : 0, u_len = SQL_NULL_DATA;
        SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 36, 0, (SQLPOINTER)rid.c_str(), 0, &rid_len);
        SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &a, 0, &a_len);
        SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &d, 0, &d_len);
        SQLBindParameter(st, 4, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &d, 0, &u_len);
        std::string sql = replaced(delta, {{"%s", table}});
        EXPECT_TRUE(SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS)))
            << OdbcConnection::diags(SQL_HANDLE_STMT, st).at(0).message;
    };
    // Customers: a new row with the client's temporary key -1, a no-op update of row 1.
    run("INSERT INTO #rec_c (z_rid,[id],[name]) VALUES ('" + r_cat + "', 'C:-1', N'cat'), ('" + c1 + "', 'S:1', N'before')");
    add_delta("#del_c", r_cat, 1, "");
    add_delta("#del_c", c1, 1, c1_txid);
    // Orders: an update of EU/1, a delete of EU/2, a new EU/3 for the new customer.
    run("INSERT INTO #rec_o (z_rid,[region],[order_no],[customer_id],[total]) VALUES ('" + o1 + "', 'EU', 1, 'S:2', '11.50'), ('" + r_o3 +
        "', 'EU', 3, 'C:-1', '7.25')");
    add_delta("#del_o", o1, 1, o1_txid);
    add_delta("#del_o", o2, 0, o1_txid);
    add_delta("#del_o", r_o3, 1, "");
    // A key text without its prefix breaks the check constraint (547).
    EXPECT_EQ(c.exec("INSERT INTO #rec_o (z_rid, customer_id) VALUES (NEWID(), '7')"), SQL_ERROR);
    EXPECT_EQ(c.last_diags().at(0).native, 547);

    // Customers first (the parent): the MERGE of updates, identity rows left out.
    run("INSERT INTO [tavrin].[demo$z$noop_updates] (txid, tbl_id, noop_count) VALUES (%T, %C, 0)");
    run("WITH current_rv (rid, z_rv) AS\n(\n  SELECT rv.rid, x.z_rv FROM tavrin.\"demo$z$x$%C\" AS x INNER JOIN tavrin.\"demo$z$rv$%C\" AS rv ON (rv.z_rv=x.z_rv)\n)\n"
        "MERGE INTO [dbo].[customers] z$$dest\n  USING\n"
        "    (SELECT * FROM #del_c WHERE NOT(txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL)) td\n"
        "    LEFT OUTER JOIN #rec_c z$$src ON (z$$src.z_rid=td.rid)\n    LEFT OUTER JOIN current_rv cur ON (cur.rid=td.rid)\n"
        "    LEFT OUTER JOIN tavrin.\"demo$z$x$%C\" x ON (x.z_rv=cur.z_rv)\n  ON (x.\"id\"=z$$dest.\"id\")\n"
        "  WHEN MATCHED AND td.txid_rec_add=0 THEN DELETE\n  WHEN MATCHED THEN UPDATE SET \"z$$dest\".\"name\"=\"z$$src\".\"name\";");
    // The no-op update made no version but counted; the check query sees 0 versions + 1 no-op.
    const std::string updates_applied =
        "SELECT COUNT(*) FROM\n  (SELECT * FROM #del_%x WHERE txid_rec_add=1 AND txid_rec_del IS NOT NULL AND txid_rec_undel IS NULL) td\n"
        "  INNER JOIN tavrin.\"demo$z$rv$%t\" rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_del)\n"
        "  INNER JOIN tavrin.\"demo$z$dd$%t\" dd ON (dd.rv=rv.z_rv)\n"
        "  INNER JOIN tavrin.\"demo$z$rv$%t\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\nWHERE dd.txid=%T";
    EXPECT_EQ(rows(replaced(updates_applied, {{"%x", "c"}, {"%t", cust}})), (Rows{{"0"}}));
    EXPECT_EQ(rows("SELECT noop_count FROM [tavrin].[demo$z$noop_updates] WHERE txid=%T AND tbl_id = %C"), (Rows{{"1"}}));
    run("DELETE FROM [tavrin].[demo$z$noop_updates] WHERE txid=%T AND tbl_id=%C");

    // The identity insert: duplicate rids, the MERGE with OUTPUT INTO, the rewrite of references, the rids.
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #del_c\nWHERE txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL\n"
                   "AND rid IN (SELECT rv.rid FROM tavrin.\"demo$z$%C\" AS z INNER JOIN tavrin.\"demo$z$rv$%C\" AS rv ON rv.z_rv=z.z_rv);\n"),
              (Rows{{"0"}}));
    run("CREATE TABLE #ids_c (orig bigint NOT NULL UNIQUE, z_identity bigint NOT NULL UNIQUE)");
    run("SET NOCOUNT ON;\nWITH current_id (rid, live_identity) AS\n(\n  SELECT rv.rid, x.[id] FROM tavrin.\"demo$z$x$%C\" AS x INNER JOIN tavrin.\"demo$z$rv$%C\" AS rv ON (rv.z_rv=x.z_rv)\n)\n"
        "MERGE INTO [dbo].[customers] z$$host_table\n  USING\n"
        "    (SELECT tr.[id], tr.[name], td.rid AS z_rid FROM #rec_c tr INNER JOIN #del_c td ON (td.rid=tr.z_rid) WHERE td.txid_rec_del IS NULL AND td.txid_rec_undel IS NULL AND td.txid_rec_reinsert IS NULL) AS s\n"
        "    LEFT OUTER JOIN current_id c ON (c.rid=s.z_rid)\n  ON (c.live_identity = z$$host_table.[id])\n"
        "  WHEN NOT MATCHED THEN\n    INSERT ([name]) VALUES (s.[name]) OUTPUT CAST(SUBSTRING(s.[id],3,25) AS bigint), inserted.[id] INTO #ids_c;");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #ids_c;\n"), (Rows{{"1"}}));
    EXPECT_EQ(rows("SELECT orig,z_identity FROM #ids_c"), (Rows{{"-1", "3"}}));
    EXPECT_EQ(rows("SELECT COALESCE(COL_LENGTH('tempdb..#rec_o', 'customer_id'), -4)"), (Rows{{"25"}}));
    EXPECT_EQ(rows("SELECT COALESCE(COL_LENGTH('tempdb..#rec_o', 'missing'), -4)"), (Rows{{"-4"}}));
    EXPECT_EQ(bound_query(c, "UPDATE #rec_o SET \"customer_id\"=('S:' + CAST(? AS varchar(25))) WHERE \"customer_id\"=('C:' + CAST(? AS varchar(25)))", {},
                          {3, -1}),
              Rows{});
    EXPECT_EQ(rows("SELECT customer_id FROM #rec_o ORDER BY order_no"), (Rows{{"S:2"}, {"S:3"}}));
    run("MERGE INTO tavrin.\"demo$z$rv$%C\" AS rv   USING (    (SELECT rid AS rid FROM #del_c WHERE txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL) AS td"
        "    INNER JOIN #rec_c tr ON (tr.z_rid=td.rid)    INNER JOIN #ids_c tid ON ((CAST(SUBSTRING(tr.[id],3,25) AS bigint))=tid.orig)"
        "    INNER JOIN tavrin.\"demo$z$x$%C\" l ON (tid.z_identity=l.[id])  )  ON rv.z_rv=l.z_rv   WHEN MATCHED THEN UPDATE SET rid = tr.z_rid;");
    EXPECT_EQ(rows("SELECT @@ROWCOUNT"), (Rows{{"1"}}));
    EXPECT_EQ(live_rid(c, cust, "id = 3"), r_cat);
    run("IF OBJECT_ID('[tavrin].[demo$t$ipklog]') IS NOT NULL\n  INSERT INTO [tavrin].[demo$t$ipklog] (fid, tbl_id, temp_ipk, import_txid, final_ipk)\n"
        "    SELECT 42, %C, orig, %T, z_identity FROM #ids_c;");

    // Orders: one MERGE deletes, updates and inserts; the key text decoded.
    run("INSERT INTO [tavrin].[demo$z$noop_updates] (txid, tbl_id, noop_count) VALUES (%T, %O, 0)");
    const std::string decoded = "(CAST(SUBSTRING(\"z$$src\".\"customer_id\",3,25) AS bigint))";
    run("WITH current_rv (rid, z_rv) AS\n(\n  SELECT rv.rid, x.z_rv FROM tavrin.\"demo$z$x$%O\" AS x INNER JOIN tavrin.\"demo$z$rv$%O\" AS rv ON (rv.z_rv=x.z_rv)\n)\n"
        "MERGE INTO [sales].[orders] z$$dest\n  USING\n    #del_o td\n    LEFT OUTER JOIN #rec_o z$$src ON (z$$src.z_rid=td.rid)\n"
        "    LEFT OUTER JOIN current_rv cur ON (cur.rid=td.rid)\n    LEFT OUTER JOIN tavrin.\"demo$z$x$%O\" x ON (x.z_rv=cur.z_rv)\n"
        "  ON ((x.\"region\"=z$$dest.\"region\") AND (x.\"order_no\"=z$$dest.\"order_no\"))\n"
        "  WHEN MATCHED AND td.txid_rec_add=0 THEN DELETE\n"
        "  WHEN MATCHED THEN UPDATE SET \"z$$dest\".\"region\"=\"z$$src\".\"region\", \"z$$dest\".\"order_no\"=\"z$$src\".\"order_no\", "
        "\"z$$dest\".\"customer_id\"=" + decoded + ", \"z$$dest\".\"total\"=\"z$$src\".\"total\"\n"
        "  WHEN NOT MATCHED\n    THEN INSERT (\"region\",\"order_no\",\"customer_id\",\"total\") VALUES (\"z$$src\".\"region\",\"z$$src\".\"order_no\"," + decoded +
        ",\"z$$src\".\"total\");");
    EXPECT_EQ(rows("SELECT @@ROWCOUNT"), (Rows{{"3"}}));
    EXPECT_EQ(rows("SELECT region, order_no, customer_id, total FROM sales.orders ORDER BY order_no"),
              (Rows{{"EU", "1", "2", "11.50"}, {"EU", "3", "3", "7.25"}}));
    EXPECT_EQ(rows("SELECT CAST ((CASE WHEN EXISTS (\n  SELECT 1 FROM tavrin.\"demo$z$dd$%O\" dd INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON (rv.z_rv=dd.rv)\n"
                   "  WHERE dd.txid=%T AND rv.rid IN (SELECT rid FROM #del_o WHERE txid_rec_del IS NULL AND txid_rec_reinsert IS NULL)\n) THEN 1 ELSE 0 END) AS bit)\n"),
              (Rows{{"0"}}));
    run("MERGE INTO tavrin.\"demo$z$rv$%O\" AS rv\n  USING (\n    (SELECT rid AS rid FROM #del_o WHERE txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL) AS td\n"
        "    INNER JOIN #rec_o tr ON (tr.z_rid=td.rid)\n    INNER JOIN tavrin.\"demo$z$x$%O\" l ON ((tr.\"region\"=l.\"region\") AND (tr.\"order_no\"=l.\"order_no\"))\n  )\n"
        "  ON rv.z_rv=l.z_rv\n  WHEN MATCHED AND rv.txid=%T THEN UPDATE SET rid = tr.z_rid;");
    EXPECT_EQ(rows("SELECT @@ROWCOUNT"), (Rows{{"1"}}));
    EXPECT_EQ(live_rid(c, orders, "order_no = 3"), r_o3);
    // The update landed on the version the client saw, the delete too: one version per row and txid.
    EXPECT_EQ(rows(replaced(updates_applied, {{"%x", "o"}, {"%t", orders}})), (Rows{{"1"}}));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM\n  (SELECT * FROM #del_o WHERE txid_rec_add=0) td\n"
                   "  INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_del)\n"
                   "  INNER JOIN tavrin.\"demo$z$dd$%O\" dd ON (dd.rv=rv.z_rv)\n"
                   "  LEFT OUTER JOIN tavrin.\"demo$z$rv$%O\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\nWHERE dd.txid=%T AND rv2.rid IS NULL"),
              (Rows{{"1"}}));
    EXPECT_EQ(rows("SELECT noop_count FROM [tavrin].[demo$z$noop_updates] WHERE txid=%T AND tbl_id = %O"), (Rows{{"0"}}));
    run("DELETE FROM [tavrin].[demo$z$noop_updates] WHERE txid=%T AND tbl_id=%O");
    ok(c, "COMMIT TRANSACTION");
    EXPECT_EQ(rows("SELECT fid, temp_ipk, import_txid, final_ipk FROM [tavrin].[demo$t$ipklog] WHERE tbl_id = %C"),
              (Rows{{"42", "-1", T, "3"}}));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM tavrin.\"demo$z$rv$%O\" WHERE txid = %T"), (Rows{{"2"}}));  // EU/1's new version, EU/3
}

// Detaching children (UPDATE ... OUTPUT DELETED and FROM-table columns INTO a
// temp table whose checks are off), recovery savepoints, identity inserts.
TEST_F(Dbfile, PushRoadDetachSavepointsAndIdentityInserts) {
    OdbcConnection c(dir, "shop");
    ok(c, "INSERT INTO sales.orders VALUES ('EU', 1, 1, 10.00), ('EU', 2, 1, 20.00)");
    ok(c, "INSERT INTO sales.lines VALUES ('EU', 1, 1, 5), ('EU', 1, 2, 6)");
    const std::string o1 = live_rid(c, orders, "order_no = 1");
    const std::vector<std::pair<std::string, std::string>> ids{{"%C", cust}, {"%O", orders}, {"%L", lines}};
    auto run = [&](const std::string& sql) { ok(c, replaced(sql, ids)); };
    auto rows = [&](const std::string& sql) { return c.query(replaced(sql, ids)); };
    auto fails_with = [&](const std::string& sql) {
        EXPECT_EQ(c.exec(replaced(sql, ids)), SQL_ERROR) << sql;
        auto d = c.last_diags();
        return d.empty() ? 0 : d[0].native;
    };
    ok(c, "BEGIN TRANSACTION");
    const long long t = exec_output(c, "EXEC tavrin.\"demo$z$GetTxId\" @txid = ? OUTPUT;");
    const std::string T = std::to_string(t);
    const std::string o_txid = rows("SELECT txid FROM tavrin.\"demo$z$rv$%O\" WHERE rid = '" + o1 + "'")[0][0];
    run("CREATE TABLE #del_o (rid uniqueidentifier NOT NULL UNIQUE, txid_rec_add bit NOT NULL, txid_rec_del bigint NULL, txid_rec_undel bigint NULL, txid_rec_reinsert bigint NULL)");
    run("INSERT INTO #del_o (rid,txid_rec_add,txid_rec_del,txid_rec_undel,txid_rec_reinsert) VALUES ('" + o1 + "', 0, " + o_txid + ", NULL, NULL)");
    run("CREATE TABLE #rec_o (z_rid uniqueidentifier, [region] char(2) NULL, [order_no] bigint NULL)");
    run("CREATE TABLE #ch (z_rid uniqueidentifier PRIMARY KEY, z_txid bigint, [region] char(2) NULL, [order_no] bigint NULL, [line] int NULL, "
        "[qty] int NULL CHECK(qty > 100))");
    run("ALTER TABLE #ch NOCHECK CONSTRAINT ALL;");
    const std::string from =
        "FROM\n  (SELECT\n    rid AS rid,\n    COALESCE(txid_rec_del, txid_rec_reinsert) AS txid,\n    1 AS parent_step\n  FROM #del_o WHERE\n    txid_rec_add=0\n"
        "    OR txid_rec_reinsert IS NOT NULL\n  ) AS p\n"
        "  INNER JOIN tavrin.\"demo$z$rv$%O\" AS p_rv ON (p_rv.rid=p.rid AND p_rv.txid=p.txid)\n"
        "  INNER JOIN tavrin.\"demo$z$x$%O\" AS z_parent ON (z_parent.z_rv=p_rv.z_rv)\n"
        "  INNER JOIN [sales].[orders] AS parent ON ((parent.\"region\"=z_parent.\"region\") AND (parent.\"order_no\"=z_parent.\"order_no\"))\n"
        "  INNER JOIN [sales].[lines] AS child ON (child.\"region\"=parent.\"region\" AND child.\"order_no\"=parent.\"order_no\")\n"
        "  INNER JOIN tavrin.\"demo$z$x$%L\" AS z_child ON ((z_child.\"region\"=child.\"region\") AND (z_child.\"order_no\"=child.\"order_no\") AND (z_child.\"line\"=child.\"line\"))\n"
        "  INNER JOIN tavrin.\"demo$z$rv$%L\" AS ch_rv ON (ch_rv.z_rv=z_child.z_rv)\n"
        "  LEFT OUTER JOIN #rec_o AS p2 ON (p2.\"region\"=parent.\"region\" AND p2.\"order_no\"=parent.\"order_no\")\n"
        "  LEFT OUTER JOIN (SELECT rid AS rid, 1 AS parent_step FROM #del_o) AS p2_delta ON (p2_delta.rid=p2.z_rid)\n"
        "WHERE (p2_delta.rid IS NULL OR p2_delta.parent_step!=p.parent_step) AND (1=1)\n";
    const std::string output = "OUTPUT ch_rv.rid, ch_rv.txid, DELETED.\"region\", DELETED.\"order_no\", DELETED.\"line\", DELETED.\"qty\" INTO #ch (z_rid, z_txid, \"region\", \"order_no\", \"line\", \"qty\")\n";
    // Neither key column takes NULL: 515, and the failed statement wrote nothing, not even its OUTPUT.
    for (const char* col : {"region", "order_no"})
        EXPECT_EQ(fails_with("UPDATE child SET \"" + std::string(col) + "\"=NULL\n" + output + from), 515) << col;
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #ch"), (Rows{{"0"}}));
    // The nullable column goes through, with the old values and the version's rid and txid in OUTPUT
    // (qty 5 and 6 break the switched-off check).
    run("UPDATE child SET \"qty\"=NULL\n" + output + from);
    EXPECT_EQ(rows("SELECT @@ROWCOUNT"), (Rows{{"2"}}));
    EXPECT_EQ(rows("SELECT region, order_no, line, qty, CASE WHEN z_rid = (SELECT rv.rid FROM tavrin.\"demo$z$rv$%L\" rv JOIN tavrin.\"demo$z$x$%L\" x "
                   "ON x.z_rv = rv.z_rv WHERE x.line = #ch.line) THEN 1 ELSE 0 END FROM #ch ORDER BY line"),
              (Rows{{"EU", "1", "1", "5", "1"}, {"EU", "1", "2", "6", "1"}}));
    EXPECT_EQ(rows("SELECT qty FROM sales.lines ORDER BY line"), (Rows{{"NULL"}, {"NULL"}}));
    EXPECT_EQ(fails_with("ALTER TABLE #ch WITH CHECK CHECK CONSTRAINT ALL;"), 547);
    run("UPDATE #ch SET qty = qty + 100");
    run("ALTER TABLE #ch WITH CHECK CHECK CONSTRAINT ALL;");
    EXPECT_EQ(fails_with("INSERT INTO #ch (z_rid, qty) VALUES (NEWID(), 1)"), 547);
    // The same update through the live-values view; a second write of a row in one transaction makes no second version.
    run("UPDATE child SET \"qty\"=7 FROM tavrin.\"demo$z$%L\" AS child WHERE child.line = 1");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM tavrin.\"demo$z$rv$%L\" WHERE txid = " + T), (Rows{{"2"}}));
    EXPECT_EQ(rows("SELECT qty FROM sales.lines ORDER BY line"), (Rows{{"7"}, {"NULL"}}));
    // The children re-enter the staged data as updates.
    run("CREATE TABLE #rec_l (z_rid uniqueidentifier, [region] char(2) NULL, [order_no] bigint NULL, [line] int NULL, [qty] int NULL)");
    run("CREATE TABLE #del_l (rid uniqueidentifier NOT NULL UNIQUE, txid_rec_add bit NOT NULL, txid_rec_del bigint NULL, txid_rec_undel bigint NULL, txid_rec_reinsert bigint NULL)");
    run("MERGE INTO #rec_l tr USING #ch ch ON (ch.z_rid=tr.z_rid)  WHEN NOT MATCHED    THEN INSERT (z_rid, \"region\",\"order_no\",\"line\",\"qty\") "
        "VALUES (ch.z_rid, ch.\"region\",ch.\"order_no\",ch.\"line\",ch.\"qty\")OUTPUT INSERTED.z_rid, 1, ch.z_txid, NULL, NULL  INTO #del_l "
        "(rid, txid_rec_add ,txid_rec_del, txid_rec_undel, txid_rec_reinsert);");
    EXPECT_EQ(rows("SELECT @@ROWCOUNT"), (Rows{{"2"}}));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #del_l d JOIN #ch ch ON ch.z_rid = d.rid AND ch.z_txid = d.txid_rec_del WHERE d.txid_rec_add = 1"),
              (Rows{{"2"}}));
    EXPECT_EQ(rows("SELECT line, qty FROM #rec_l ORDER BY line"), (Rows{{"1", "105"}, {"2", "106"}}));
    run("TRUNCATE TABLE #ch");
    run("ALTER TABLE #rec_l DROP COLUMN qty, line");
    EXPECT_EQ(rows("SELECT * FROM #rec_l WHERE 1=0").size(), 0u);
    EXPECT_EQ(rows("SELECT COALESCE(COL_LENGTH('tempdb..#rec_l', 'qty'), -4), COUNT(*) FROM #ch"), (Rows{{"-4", "0"}}));

    // A recovery probe inside the push: its writes go back with the savepoint, the transaction stays.
    run("SAVE TRAN TavrinRecoveryToHousekeeping;");
    const std::string gen_merge = "SET NOCOUNT ON;\nMERGE INTO tavrin.demo$r$gen gen\nUSING (SELECT ? AS generation, ? as id, ? as predecessor) AS v\n"
                                  "ON v.generation = gen.generation AND v.id = gen.id\nWHEN NOT MATCHED THEN INSERT (generation, id, predecessor) VALUES (v.generation,v.id,v.predecessor);\nSELECT @@ROWCOUNT;";
    EXPECT_EQ(bound_query(c, gen_merge, {}, {5, 77, 66}), (Rows{{"1"}}));
    EXPECT_EQ(bound_query(c, gen_merge, {}, {5, 77, 66}), (Rows{{"0"}}));
    run("ROLLBACK TRAN TavrinRecoveryToHousekeeping;");
    EXPECT_EQ(rows("SELECT COUNT(*), @@TRANCOUNT FROM tavrin.demo$r$gen"), (Rows{{"0", "1"}}));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #rec_o"), (Rows{{"0"}}));  // temp tables live on

    // Identity values: explicit only while IDENTITY_INSERT is on, and the seed moves past them.
    run("CREATE TABLE #rec_c (z_rid uniqueidentifier, [id] varchar(25), [name] nvarchar(50) NULL)");
    run("INSERT INTO #rec_c VALUES (NEWID(), 'S:10', N'back')");
    const std::string reinsert = "MERGE INTO [dbo].[customers] z$$dest USING #rec_c z$$src ON (z$$dest.[id] = (CAST(SUBSTRING(z$$src.[id],3,25) AS bigint)))\n"
                                 "  WHEN NOT MATCHED THEN INSERT ([id], [name]) VALUES ((CAST(SUBSTRING(z$$src.[id],3,25) AS bigint)), z$$src.[name]);";
    EXPECT_EQ(fails_with(reinsert), 544);
    EXPECT_EQ(fails_with("INSERT INTO dbo.customers (id, name) VALUES (11, N'x')"), 544);
    run("SET IDENTITY_INSERT [dbo].[customers] ON");
    EXPECT_EQ(fails_with("INSERT INTO dbo.customers (name) VALUES (N'x')"), 545);
    EXPECT_EQ(fails_with("INSERT INTO dbo.customers DEFAULT VALUES"), 545);
    EXPECT_EQ(fails_with("SET IDENTITY_INSERT [sales].[orders] ON"), 8106);
    run(reinsert);
    run("SET IDENTITY_INSERT [dbo].[customers] OFF");
    run("INSERT INTO dbo.customers (name) VALUES (N'next')");
    EXPECT_EQ(rows("SELECT id, name FROM dbo.customers WHERE id >= 10 ORDER BY id"), (Rows{{"10", "back"}, {"11", "next"}}));
    EXPECT_EQ(live_rid(c, cust, "id = 10").empty(), false);  // the row-version logic saw the MERGE insert
    ok(c, "COMMIT TRANSACTION");
}

// MERGE is one statement: keys are checked at its end, a failure undoes all
// of it, and a target row matched twice is an error.
TEST_F(Dbfile, MergeIsAtomicAndChecksKeysAtTheEnd) {
    OdbcConnection c(dir, "shop");
    ok(c, "INSERT INTO sales.orders VALUES ('EU', 1, 1, 10.00), ('EU', 2, 1, 20.00)");
    ok(c, "CREATE TABLE #src (region char(2), order_no bigint, total decimal(12,2), customer_id int)");
    struct Case {
        const char* src;
        const char* merge;
        int native;  // 0: succeeds
        const char* orders;
    };
    const char* swap = "MERGE INTO sales.orders o USING #src s ON o.total = s.total WHEN MATCHED THEN UPDATE SET order_no = s.order_no;";
    const Case cases[] = {
        // Two keys swapped in one statement: fine at its end.
        {"('EU', 2, 10.00, 1), ('EU', 1, 20.00, 1)", swap, 0, "1:20.00 2:10.00"},
        // An update that collides with a row left alone: 2627, and the insert is undone too.
        {"('EU', 1, 10.00, 1), ('EU', 5, 99.00, 1)",
         "MERGE INTO sales.orders o USING #src s ON o.total = s.total WHEN MATCHED THEN UPDATE SET order_no = s.order_no "
         "WHEN NOT MATCHED BY TARGET THEN INSERT (region, order_no, customer_id, total) VALUES (s.region, s.order_no, s.customer_id, s.total);",
         2627, "1:20.00 2:10.00"},
        // A parent that does not exist: 547.
        {"('EU', 9, 1.00, 99)",
         "MERGE INTO sales.orders o USING #src s ON o.order_no = s.order_no WHEN NOT MATCHED THEN INSERT (region, order_no, customer_id, total) VALUES (s.region, s.order_no, s.customer_id, s.total);",
         547, "1:20.00 2:10.00"},
        // NULL into a NOT NULL column: 515.
        {"('EU', 9, 1.00, NULL)",
         "MERGE INTO sales.orders o USING #src s ON o.order_no = s.order_no WHEN NOT MATCHED THEN INSERT (region, order_no, customer_id, total) VALUES (s.region, s.order_no, s.customer_id, s.total);",
         515, "1:20.00 2:10.00"},
        // One target row, two source rows.
        {"('EU', 1, 1.00, 1), ('EU', 1, 2.00, 1)",
         "MERGE INTO sales.orders o USING #src s ON o.order_no = s.order_no WHEN MATCHED THEN UPDATE SET total = s.total;", 8672,
         "1:20.00 2:10.00"},
        // BY SOURCE: target rows without a source row; a condition on a matched clause.
        {"('EU', 1, 1.00, 1)",
         "MERGE INTO sales.orders o USING #src s ON o.order_no = s.order_no WHEN MATCHED AND s.total > 5 THEN DELETE "
         "WHEN MATCHED THEN UPDATE SET total = s.total WHEN NOT MATCHED BY SOURCE AND o.order_no = 2 THEN UPDATE SET total = 0;",
         0, "1:1.00 2:0.00"},
        {"('EU', 1, 9.00, 1)",
         "MERGE INTO sales.orders o USING #src s ON o.order_no = s.order_no WHEN MATCHED AND s.total > 5 THEN DELETE "
         "WHEN NOT MATCHED BY SOURCE THEN DELETE;",
         0, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.merge);
        ok(c, "TRUNCATE TABLE #src");
        ok(c, std::string("INSERT INTO #src VALUES ") + k.src);
        SQLRETURN rc = c.exec(k.merge);
        if (k.native) {
            ASSERT_EQ(rc, SQL_ERROR);
            auto d = c.last_diags();
            EXPECT_EQ(d.at(0).native, k.native) << d.at(0).message;
            ASSERT_GE(d.size(), 2u);
            EXPECT_EQ(d.back().native, 3621);
        } else {
            EXPECT_TRUE(SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) << c.last_diags().at(0).message;
        }
        std::string state;
        for (const auto& r : c.query("SELECT order_no, total FROM sales.orders ORDER BY order_no"))
            state += (state.empty() ? "" : " ") + r[0] + ":" + r[1];
        EXPECT_EQ(state, k.orders);
    }
    // Every row deleted by the MERGE has its version ended.
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM tavrin.\"demo$z$x$" + orders + "\""), (Rows{{"0"}}));
}
