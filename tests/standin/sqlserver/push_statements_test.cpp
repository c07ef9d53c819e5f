// The rest of the push road on a provisioned dbfile, statement by statement
// as the store sends them: the delete step, staging with undeletes and
// reinserts, the key-collision rules, orphan drops and their audit, the
// identity-key lookups, rules and history reads, the recovery of rolled-back
// data, salvage, the row dump and the conversion of generation packages.
// Expected answers are worked out from T-SQL semantics.
#include <gtest/gtest.h>

#include <memory>

#include "dbfile_fixture.h"

namespace {

using Subst = std::vector<std::pair<std::string, std::string>>;

// A parameter: text (GUID text or string), bigint, or NULL.
struct Param {
    enum Kind { Text, Int, Null } kind;
    std::string text;
    SQLBIGINT i = 0;
};
Param txt(const std::string& s) { return {Param::Text, s, 0}; }
Param num(long long v) { return {Param::Int, "", v}; }
Param null_param() { return {Param::Null, "", 0}; }

// Runs a batch with parameters bound in order; returns the rows of its last
// result set, or the native error number of its first diagnostic.
struct Outcome {
    Rows rows;
    int native = 0;
    std::vector<Diag> diags;
};
Outcome run_bound(OdbcConnection& c, const std::string& sql, const std::vector<Param>& params) {
    SQLHSTMT st = c.stmt();
    std::vector<Param> p = params;
    std::vector<SQLLEN> ind(p.size());
    for (size_t i = 0; i < p.size(); ++i) {
        SQLUSMALLINT n = static_cast<SQLUSMALLINT>(i + 1);
        if (p[i].kind == Param::Text) {
            ind[i] = static_cast<SQLLEN>(p[i].text.size());
            SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, p[i].text.size() + 1, 0, (SQLPOINTER)p[i].text.c_str(), 0,
                             &ind[i]);
        } else {
            ind[i] = p[i].kind == Param::Null ? SQL_NULL_DATA : 0;
            SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &p[i].i, 0, &ind[i]);
        }
    }
    Outcome out;
    SQLRETURN rc = SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS);
    if (rc == SQL_ERROR) {
        out.diags = OdbcConnection::diags(SQL_HANDLE_STMT, st);
        out.native = out.diags.empty() ? -1 : out.diags[0].native;
        return out;
    }
    do {
        SQLSMALLINT cols = 0;
        SQLNumResultCols(st, &cols);
        if (cols == 0) continue;
        out.rows.clear();
        while (SQL_SUCCEEDED(SQLFetch(st))) {
            std::vector<std::string> row;
            for (SQLUSMALLINT k = 1; k <= cols; ++k) row.push_back(get_text(st, k).value_or("NULL"));
            out.rows.push_back(row);
        }
    } while (SQL_SUCCEEDED(SQLMoreResults(st)));
    return out;
}

const char* const kDeltas =
    " (rid uniqueidentifier NOT NULL UNIQUE, txid_rec_add bit NOT NULL, txid_rec_del bigint NULL, txid_rec_undel bigint NULL, txid_rec_reinsert bigint NULL)";
const char* const kKeyText = " varchar(25) CHECK(LEN([customer_id]) >= 3 AND SUBSTRING([customer_id],2,1) = ':')";
const char* const kRid = "11111111-2222-4333-8444-0000000000";

class PushStatements : public Dbfile {
protected:
    Subst ids;
    std::unique_ptr<OdbcConnection> conn;

    void SetUp() override {
        Dbfile::SetUp();
        conn = std::make_unique<OdbcConnection>(dir, "shop");
        ids = {{"%C", cust}, {"%O", orders}, {"%L", lines}};
    }
    OdbcConnection& c() { return *conn; }
    void run(const std::string& sql) { ok(c(), replaced(sql, ids)); }
    Rows rows(const std::string& sql) { return c().query(replaced(sql, ids)); }
    Rows rowcount_of(const std::string& sql) {
        run(sql);
        return rows("SELECT @@ROWCOUNT");
    }
    Outcome bound(const std::string& sql, const std::vector<Param>& params) {
        Outcome o = run_bound(c(), replaced(sql, ids), params);
        EXPECT_EQ(o.native, 0) << sql << "\n -> " << (o.diags.empty() ? "" : o.diags[0].message);
        return o;
    }
    // The txid of a row version: live, or ended by a later transaction.
    std::string version_txid(const std::string& rid) {
        auto r = rows("SELECT MAX(txid) FROM tavrin.\"demo$z$rv$%O\" WHERE rid = '" + rid + "'");
        return r.at(0).at(0);
    }
    std::string begin_push() {
        ok(c(), "BEGIN TRANSACTION");
        return std::to_string(exec_output(c(), "EXEC tavrin.\"demo$z$GetTxId\" @txid = ? OUTPUT;"));
    }
};

std::string key_eq(const std::string& a, const std::string& b) {
    return "((" + a + ".\"region\"=" + b + ".\"region\") AND (" + a + ".\"order_no\"=" + b + ".\"order_no\"))";
}

const char* const kDecoded = "(CAST(SUBSTRING(\"z$$src\".\"customer_id\",3,25) AS bigint))";

// One orders push with a package that lacks the column total (so a staging
// table): an orphan insert dropped by a violation-on-insert rule and audited,
// the delete step, a reinsert, an undelete from the old values, an update, a
// new row and one whose key is taken (collision rule 4: skipped and audited).
TEST_F(PushStatements, StagedApplyWithDeleteStepUndeleteReinsertAndDrops) {
    run("INSERT INTO dbo.customers (name) VALUES (N'ann')");  // id 2
    run("INSERT INTO sales.orders VALUES ('EU', 1, 2, 10.00), ('EU', 2, 1, 20.00), ('EU', 3, 1, 30.00), ('EU', 4, 1, 40.00), ('EU', 5, 1, 50.00)");
    const std::string o1 = live_rid(c(), orders, "order_no = 1"), o2 = live_rid(c(), orders, "order_no = 2"),
                      o3 = live_rid(c(), orders, "order_no = 3"), o5 = live_rid(c(), orders, "order_no = 5");
    run("DELETE FROM sales.orders WHERE order_no = 5");
    const std::string r6 = kRid + std::string("06"), r7 = kRid + std::string("07"), rx = kRid + std::string("10");
    const std::string T = begin_push();
    ids.push_back({"%T", T});
    run("CREATE TABLE #rec_o (z_rid uniqueidentifier, [region] char(2) NULL, [order_no] bigint NULL, [customer_id]" + std::string(kKeyText) + ")");
    run("CREATE TABLE #stg_o (z_rid uniqueidentifier PRIMARY KEY, [region] char(2) NULL, [order_no] bigint NULL, [customer_id]" +
        std::string(kKeyText) + ", [total] decimal(12,2) NULL)");
    run(std::string("CREATE TABLE #del_o") + kDeltas);
    run("INSERT INTO #rec_o VALUES ('" + o1 + "', 'EU', 1, 'S:1'), ('" + o2 + "', 'EU', 2, 'S:1'), ('" + o5 + "', 'EU', 5, 'S:2'), ('" + r6 +
        "', 'EU', 6, 'S:2'), ('" + r7 + "', 'EU', 7, 'C:-5'), ('" + rx + "', 'EU', 4, 'S:2')");
    run("INSERT INTO #del_o VALUES ('" + o1 + "', 1, " + version_txid(o1) + ", NULL, NULL), ('" + o2 + "', 1, NULL, NULL, " + version_txid(o2) +
        "), ('" + o3 + "', 0, " + version_txid(o3) + ", NULL, NULL), ('" + o5 + "', 1, NULL, " + version_txid(o5) + ", NULL), ('" + r6 +
        "', 1, NULL, NULL, NULL), ('" + r7 + "', 1, NULL, NULL, NULL), ('" + rx + "', 1, NULL, NULL, NULL)");
    // The reinserted row was copied into staging with all its current values when its children were detached.
    run("INSERT INTO #stg_o (z_rid, [region], [order_no], [customer_id], [total]) VALUES ('" + o2 + "', 'EU', 2, 'S:1', 20.00)");

    // Violation-on-insert rule 4 for the key orders -> customers.
    const std::string fk = rows("SELECT object_id FROM sys.foreign_keys WHERE parent_object_id = %O").at(0).at(0);
    EXPECT_EQ(rows("SELECT QUOTENAME(my_c.name), QUOTENAME(other_c.name), QUOTENAME(other_s.name)+'.'+QUOTENAME(other_t.name), CAST (my_c.column_id AS sysname)\n"
                   "FROM sys.foreign_keys f\n  INNER JOIN sys.foreign_key_columns fkc ON fkc.constraint_object_id = f.[object_id]\n"
                   "  INNER JOIN sys.columns my_c ON my_c.[object_id] = fkc.parent_object_id AND my_c.column_id = fkc.parent_column_id\n"
                   "  INNER JOIN sys.columns other_c ON other_c.[object_id] = fkc.referenced_object_id AND other_c.column_id = fkc.referenced_column_id\n"
                   "  INNER JOIN sys.tables other_t ON other_t.[object_id] = fkc.referenced_object_id\n"
                   "  INNER JOIN sys.schemas other_s ON other_s.schema_id = other_t.schema_id\n"
                   "WHERE f.is_disabled = 0 AND f.[object_id] = " + fk + "\n"),
              (Rows{{"[customer_id]", "[id]", "[dbo].[customers]", "3"}}));
    const std::string parent_test = "SELECT 1 FROM [dbo].[customers] o WHERE (('C:' + CAST (o.[id] AS varchar(25))) = tr.[customer_id] OR "
                                    "('S:' + CAST (o.[id] AS varchar(25))) = tr.[customer_id])";
    EXPECT_EQ(rowcount_of("DELETE td FROM #del_o td\n  INNER JOIN #rec_o tr ON tr.z_rid = td.rid AND td.txid_rec_del IS NULL AND td.txid_rec_undel IS NULL "
                          "AND td.txid_rec_reinsert IS NULL\nWHERE (tr.[customer_id] IS NOT NULL)\nAND NOT EXISTS (" + parent_test + ")\n"),
              (Rows{{"1"}}));
    EXPECT_EQ(rowcount_of("DELETE td FROM #del_o td\n  INNER JOIN #rec_o tr ON tr.z_rid = td.rid AND td.txid_rec_undel IS NOT NULL\n"
                          "WHERE (tr.[customer_id] IS NOT NULL)\nAND NOT EXISTS (" + parent_test + ")\n"),
              (Rows{{"0"}}));
    const std::string dropped = "SELECT * FROM #rec_o tr WHERE NOT EXISTS (SELECT 1 FROM #del_o td WHERE td.rid = tr.z_rid)";
    EXPECT_EQ(rows(dropped), (Rows{{r7, "EU", "7", "C:-5"}}));
    EXPECT_EQ(rowcount_of("DELETE FROM #rec_o WHERE NOT EXISTS (SELECT 1 FROM #del_o WHERE rid = z_rid)"), (Rows{{"1"}}));

    // The delete step: the delete and the reinsert, each only while its named version is live.
    const std::string delete_step =
        "WITH pkg_rvs_to_delete (rid, txid) AS\n(\n  SELECT rid, COALESCE(txid_rec_reinsert, txid_rec_del) FROM #del_o WHERE txid_rec_reinsert IS NOT NULL or txid_rec_add = 0\n),\n"
        "db_rvs_to_delete (rv) AS\n(\n  SELECT z_rv FROM tavrin.\"demo$z$rv$%O\" rv \n  INNER JOIN pkg_rvs_to_delete p ON rv.rid = p.rid AND rv.txid = p.txid\n)\n"
        "DELETE z$$row FROM [sales].[orders] z$$row INNER JOIN tavrin.\"demo$z$x$%O\" z$$x ON (" + key_eq("z$$row", "z$$x") +
        ") WHERE z$$x.z_rv IN (SELECT rv FROM db_rvs_to_delete);\n";
    EXPECT_EQ(rowcount_of(delete_step), (Rows{{"2"}}));
    EXPECT_EQ(rowcount_of(delete_step), (Rows{{"0"}}));  // run again: those versions are no longer live
    EXPECT_EQ(rows("SELECT order_no FROM sales.orders ORDER BY order_no"), (Rows{{"1"}, {"4"}}));

    // Staging: the reinsert is there, the undelete starts from its old values, the package values go over both.
    run("INSERT INTO [tavrin].[demo$z$noop_updates] (txid, tbl_id, noop_count) VALUES (%T, %O, 0)");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #stg_o"), (Rows{{"1"}}));
    EXPECT_EQ(rowcount_of("INSERT INTO #stg_o (z_rid, \"region\",\"order_no\",\"customer_id\",\"total\")\n"
                          "  SELECT rv.rid, z$$src.\"region\",z$$src.\"order_no\",('S:' + CAST(z$$src.\"customer_id\" AS varchar(25))),z$$src.\"total\" FROM\n"
                          "    #del_o AS td\n    INNER JOIN tavrin.\"demo$z$rv$%O\" AS rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_undel)\n"
                          "    INNER JOIN tavrin.\"demo$z$old$%O\" AS z$$src ON (z$$src.z_rv=rv.z_rv)\n"),
              (Rows{{"1"}}));
    EXPECT_EQ(rowcount_of("MERGE INTO #stg_o z$$dest USING #rec_o AS z$$src ON z$$dest.z_rid=z$$src.z_rid\n    WHEN MATCHED THEN UPDATE SET "
                          "\"z$$dest\".\"region\"=\"z$$src\".\"region\", \"z$$dest\".\"order_no\"=\"z$$src\".\"order_no\", "
                          "\"z$$dest\".\"customer_id\"=\"z$$src\".\"customer_id\";"),
              (Rows{{"2"}}));
    EXPECT_EQ(rowcount_of("INSERT INTO #stg_o (z_rid, \"region\",\"order_no\",\"customer_id\" )\n  SELECT tr.z_rid, tr.\"region\",tr.\"order_no\",tr.\"customer_id\"  FROM\n"
                          "    #rec_o tr\n    INNER JOIN #del_o td ON (td.rid=tr.z_rid)\n    WHERE  td.txid_rec_undel IS NULL AND td.txid_rec_reinsert IS NULL\n"),
              (Rows{{"3"}}));
    EXPECT_EQ(rows("SELECT order_no, customer_id, total FROM #stg_o ORDER BY order_no, customer_id"),
              (Rows{{"1", "S:1", "NULL"}, {"2", "S:1", "20.00"}, {"4", "S:2", "NULL"}, {"5", "S:2", "50.00"}, {"6", "S:2", "NULL"}}));

    // The MERGE after the delete step (INNER JOIN, no DELETE clause) with collision rule 4.
    EXPECT_EQ(rowcount_of("WITH current_rv (rid, z_rv) AS\n(\n  SELECT rv.rid, x.z_rv FROM tavrin.\"demo$z$x$%O\" AS x INNER JOIN tavrin.\"demo$z$rv$%O\" AS rv ON (rv.z_rv=x.z_rv)\n)\n"
                          "MERGE INTO [sales].[orders] z$$dest\n  USING\n    #del_o td\n    INNER JOIN #stg_o z$$src ON (z$$src.z_rid=td.rid)\n"
                          "    LEFT OUTER JOIN current_rv cur ON (cur.rid=td.rid)\n    LEFT OUTER JOIN tavrin.\"demo$z$x$%O\" x ON (x.z_rv=cur.z_rv)\n"
                          "  ON (" + key_eq("x", "z$$dest") + ")\n"
                          "  WHEN MATCHED THEN UPDATE SET \"z$$dest\".\"region\"=\"z$$src\".\"region\", \"z$$dest\".\"order_no\"=\"z$$src\".\"order_no\", "
                          "\"z$$dest\".\"customer_id\"=" + kDecoded + "\n"
                          "  WHEN NOT MATCHED AND NOT EXISTS (SELECT 1 FROM [sales].[orders] l WHERE " + key_eq("l", "z$$src") + ")\n"
                          "    THEN INSERT (\"region\",\"order_no\",\"customer_id\",\"total\") VALUES (\"z$$src\".\"region\",\"z$$src\".\"order_no\"," +
                          kDecoded + ",\"z$$src\".\"total\");"),
              (Rows{{"4"}}));
    EXPECT_EQ(rows("SELECT order_no, customer_id, total FROM sales.orders ORDER BY order_no"),
              (Rows{{"1", "1", "10.00"}, {"2", "1", "20.00"}, {"4", "1", "40.00"}, {"5", "2", "50.00"}, {"6", "2", "NULL"}}));
    EXPECT_EQ(rows("SELECT CAST ((CASE WHEN EXISTS (\n  SELECT 1 FROM tavrin.\"demo$z$dd$%O\" dd INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON (rv.z_rv=dd.rv)\n"
                   "  WHERE dd.txid=%T AND rv.rid IN (SELECT rid FROM #del_o WHERE txid_rec_del IS NULL AND txid_rec_reinsert IS NULL)\n) THEN 1 ELSE 0 END) AS bit)\n"),
              (Rows{{"0"}}));

    // Row ids: the inserts (one skipped by the rule), the undelete, the reinsert.
    auto rid_merge = [&](const std::string& deltas_where, const std::string& when) {
        return rowcount_of("MERGE INTO tavrin.\"demo$z$rv$%O\" AS rv\n  USING (\n    (SELECT rid AS rid FROM #del_o WHERE " + deltas_where + ") AS td\n"
                           "    INNER JOIN #rec_o tr ON (tr.z_rid=td.rid)\n    INNER JOIN tavrin.\"demo$z$x$%O\" l ON (" + key_eq("tr", "l") + ")\n  )\n"
                           "  ON rv.z_rv=l.z_rv\n  WHEN MATCHED" + when + " THEN UPDATE SET rid = tr.z_rid;");
    };
    EXPECT_EQ(rid_merge("txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL", " AND rv.txid=%T"), (Rows{{"1"}}));
    EXPECT_EQ(rowcount_of("DELETE td FROM #del_o td WHERE txid_rec_del IS NULL AND txid_rec_undel IS NULL AND txid_rec_reinsert IS NULL\n"
                          "AND NOT EXISTS (SELECT 1 FROM\n  tavrin.\"demo$z$%O\" z  INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON rv.z_rv = z.z_rv\n"
                          "  WHERE rv.rid=td.rid AND rv.txid=%T)"),
              (Rows{{"1"}}));
    EXPECT_EQ(rows(dropped), (Rows{{rx, "EU", "4", "S:2"}}));
    EXPECT_EQ(rowcount_of("DELETE FROM #rec_o WHERE NOT EXISTS (SELECT 1 FROM #del_o WHERE rid = z_rid)"), (Rows{{"1"}}));
    EXPECT_EQ(rid_merge("txid_rec_undel IS NOT NULL", " AND rv.txid=%T"), (Rows{{"1"}}));
    EXPECT_EQ(rowcount_of("DELETE td FROM #del_o td WHERE txid_rec_undel IS NOT NULL AND NOT EXISTS (SELECT 1 FROM\n"
                          "  tavrin.\"demo$z$%O\" z  INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON rv.z_rv = z.z_rv\n  WHERE rv.rid=td.rid AND rv.txid=%T)"),
              (Rows{{"0"}}));
    EXPECT_EQ(rid_merge("txid_rec_reinsert IS NOT NULL", ""), (Rows{{"1"}}));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM\n  (SELECT * FROM #del_o WHERE txid_rec_add=1 AND txid_rec_del IS NOT NULL AND txid_rec_undel IS NULL) td\n"
                   "  INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_del)\n"
                   "  INNER JOIN tavrin.\"demo$z$dd$%O\" dd ON (dd.rv=rv.z_rv)\n"
                   "  INNER JOIN tavrin.\"demo$z$rv$%O\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\nWHERE dd.txid=%T"),
              (Rows{{"1"}}));
    run("DELETE FROM [tavrin].[demo$z$noop_updates] WHERE txid=%T AND tbl_id=%O");
    ok(c(), "COMMIT TRANSACTION");
    // Undeleted and reinserted rows keep their row ids, the new row has the package's.
    for (const auto& [no, rid] : std::vector<std::pair<std::string, std::string>>{{"2", o2}, {"5", o5}, {"6", r6}, {"1", o1}})
        EXPECT_EQ(live_rid(c(), orders, "order_no = " + no), rid) << no;
    EXPECT_EQ(rows("SELECT COUNT(*) FROM tavrin.\"demo$z$rv$%O\" WHERE txid = %T"), (Rows{{"4"}}));
}

// A MERGE that deletes and inserts in one statement, under collision rule 12:
// a key freed by a delete of the same push may be taken again, a row equal in
// every package column is skipped, a differing one ends with 2627.
TEST_F(PushStatements, CollisionRuleTwelveInACombinedMerge) {
    run("INSERT INTO sales.orders VALUES ('EU', 1, 1, 10.00), ('EU', 6, 1, 6.00)");
    const std::string o6 = live_rid(c(), orders, "order_no = 6");
    const std::string ry = kRid + std::string("11"), rz = kRid + std::string("12");
    const std::string T = begin_push();
    ids.push_back({"%T", T});
    run("CREATE TABLE #rec_o (z_rid uniqueidentifier, [region] char(2) NULL, [order_no] bigint NULL, [customer_id]" + std::string(kKeyText) +
        ", [total] decimal(12,2) NULL)");
    run(std::string("CREATE TABLE #del_o") + kDeltas);
    run("INSERT INTO #rec_o VALUES ('" + ry + "', 'EU', 6, 'S:1', 6.00), ('" + rz + "', 'EU', 1, 'S:1', 10.00)");
    run("INSERT INTO #del_o VALUES ('" + o6 + "', 0, " + version_txid(o6) + ", NULL, NULL), ('" + ry + "', 1, NULL, NULL, NULL), ('" + rz +
        "', 1, NULL, NULL, NULL)");
    const std::string same = " AND ((" + std::string(kDecoded) + "=l.\"customer_id\") OR (z$$src.\"customer_id\" IS NULL AND l.\"customer_id\" IS NULL))"
                             " AND ((z$$src.\"total\"=l.\"total\") OR (z$$src.\"total\" IS NULL AND l.\"total\" IS NULL))";
    const std::string merge =
        "WITH current_rv (rid, z_rv) AS\n(\n  SELECT rv.rid, x.z_rv FROM tavrin.\"demo$z$x$%O\" AS x INNER JOIN tavrin.\"demo$z$rv$%O\" AS rv ON (rv.z_rv=x.z_rv)\n)\n"
        "MERGE INTO [sales].[orders] z$$dest\n  USING\n    #del_o td\n    LEFT OUTER JOIN #rec_o z$$src ON (z$$src.z_rid=td.rid)\n"
        "    LEFT OUTER JOIN current_rv cur ON (cur.rid=td.rid)\n    LEFT OUTER JOIN tavrin.\"demo$z$x$%O\" x ON (x.z_rv=cur.z_rv)\n"
        "  ON (" + key_eq("x", "z$$dest") + ")\n  WHEN MATCHED AND td.txid_rec_add=0 THEN DELETE\n"
        "  WHEN MATCHED THEN UPDATE SET \"z$$dest\".\"customer_id\"=" + kDecoded + ", \"z$$dest\".\"total\"=\"z$$src\".\"total\"\n"
        "  WHEN NOT MATCHED AND NOT EXISTS (SELECT 1 FROM [sales].[orders] l WHERE " + key_eq("l", "z$$src") + same + ")\n"
        "        OR EXISTS (SELECT 1 FROM\n          tavrin.\"demo$z$%O\" l\n          INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON (rv.z_rv=l.z_rv)\n"
        "          INNER JOIN #del_o td ON (td.rid=rv.rid)\n          WHERE td.txid_rec_add=0 AND (" + key_eq("l", "z$$src") + "))\n"
        "    THEN INSERT (\"region\",\"order_no\",\"customer_id\",\"total\") VALUES (\"z$$src\".\"region\",\"z$$src\".\"order_no\"," +
        kDecoded + ",\"z$$src\".\"total\");";
    // EU/6 deleted and taken again by ry although equal to it (the delete of the same push frees the key);
    // rz equals EU/1 and is skipped.
    EXPECT_EQ(rowcount_of(merge), (Rows{{"2"}}));
    EXPECT_EQ(rows("SELECT order_no, total FROM sales.orders ORDER BY order_no"), (Rows{{"1", "10.00"}, {"6", "6.00"}}));
    EXPECT_NE(live_rid(c(), orders, "order_no = 6"), o6);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM\n  (SELECT * FROM #del_o WHERE txid_rec_add=0) td\n"
                   "  INNER JOIN tavrin.\"demo$z$rv$%O\" rv ON (rv.rid=td.rid AND rv.txid=td.txid_rec_del)\n"
                   "  INNER JOIN tavrin.\"demo$z$dd$%O\" dd ON (dd.rv=rv.z_rv)\n"
                   "  LEFT OUTER JOIN tavrin.\"demo$z$rv$%O\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\nWHERE dd.txid=%T AND rv2.rid IS NULL"),
              (Rows{{"1"}}));
    // The same new row with another total: the insert runs into the key.
    run("DELETE FROM #del_o WHERE txid_rec_add = 0 OR rid = '" + ry + "'");
    run("UPDATE #rec_o SET total = 11.00");
    Outcome o = run_bound(c(), replaced(merge, ids), {});
    EXPECT_EQ(o.native, 2627);
    ASSERT_FALSE(o.diags.empty());
    EXPECT_EQ(o.diags.back().native, 3621);
    EXPECT_EQ(rows("SELECT order_no, total FROM sales.orders ORDER BY order_no"), (Rows{{"1", "10.00"}, {"6", "6.00"}}));
    ok(c(), "COMMIT TRANSACTION");
}

// The reads around conflict resolution and generation packages over one row's
// history: ann inserted (generation A), updated twice (generation B), deleted
// (generation D); rules at dbfile, table and column level; the audit import
// and the identity-key lookups.
TEST_F(PushStatements, RulesHistoryAuditAndIdentityLookups) {
    auto last_txid = [&] { return rows("SELECT MAX(txid) FROM tavrin.\"demo$t$tx\"").at(0).at(0); };
    auto new_generation = [&] { return std::to_string(exec_output(c(), "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;")); };
    run("INSERT INTO dbo.customers (name) VALUES (N'ann')");  // id 2
    const std::string ta = last_txid(), ga = new_generation();
    run("UPDATE dbo.customers SET name = N'anna' WHERE id = 2");
    const std::string tb = last_txid();
    run("UPDATE dbo.customers SET name = N'annie' WHERE id = 2");
    const std::string tc = last_txid(), gb = new_generation();
    const std::string ann = live_rid(c(), cust, "id = 2"), c1 = live_rid(c(), cust, "id = 1");
    const std::string t1 = rows("SELECT txid FROM tavrin.\"demo$z$rv$%C\" WHERE rid = '" + c1 + "'").at(0).at(0);
    run("DELETE FROM dbo.customers WHERE id = 2");
    const std::string td = last_txid(), gd = new_generation();
    const std::string unknown = kRid + std::string("99");

    // Latest version: the last update and the delete that ended it; a live row; no row.
    const std::string latest = "SELECT TOP 1 rv.txid, dd.txid FROM  tavrin.\"demo$z$rv$%C\" AS rv\n  LEFT OUTER JOIN tavrin.\"demo$z$dd$%C\" AS dd ON (rv.z_rv=dd.rv)\n"
                               "  LEFT OUTER JOIN tavrin.\"demo$z$rv$%C\" AS rv2 ON (rv2.rid=rv.rid) AND (rv2.txid=dd.txid)\n"
                               "  WHERE (rv.rid=?) AND (rv2.txid IS NULL) ORDER BY rv.txid DESC;";
    EXPECT_EQ(bound(latest, {txt(ann)}).rows, (Rows{{tc, td}}));
    EXPECT_EQ(bound(latest, {txt(c1)}).rows, (Rows{{t1, "NULL"}}));
    EXPECT_EQ(bound(latest, {txt(unknown)}).rows, Rows{});
    // Row by key: live first, else the newest deleted row with that key.
    const std::string by_key_live = "SELECT rv.rid, rv.txid FROM\n  (SELECT z_rv FROM tavrin.\"demo$z$x$%C\" WHERE \"id\"=?) x\n"
                                    "  INNER JOIN tavrin.\"demo$z$rv$%C\" rv ON (rv.z_rv=x.z_rv)\n";
    const std::string by_key_deleted =
        "SELECT TOP 1 rv.rid, rv.txid, dd.txid FROM\n  (SELECT z_rv FROM tavrin.\"demo$z$old$%C\" WHERE \"id\"=?) old\n"
        "  INNER JOIN tavrin.\"demo$z$dd$%C\" dd ON (dd.rv=old.z_rv)\n  INNER JOIN tavrin.\"demo$z$rv$%C\" rv ON (rv.z_rv=old.z_rv)\n"
        "  LEFT OUTER JOIN tavrin.\"demo$z$rv$%C\" rv2 ON (rv2.rid=rv.rid AND rv2.txid=dd.txid)\n  WHERE rv2.txid IS NULL\n  ORDER BY rv.txid DESC";
    EXPECT_EQ(bound(by_key_live, {num(1)}).rows, (Rows{{c1, t1}}));
    EXPECT_EQ(bound(by_key_live, {num(2)}).rows, Rows{});
    EXPECT_EQ(bound(by_key_deleted, {num(2)}).rows, (Rows{{ann, tc, td}}));
    // The values of one version: live or old.
    const std::string version_values =
        "SELECT \"id\",\"name\" FROM tavrin.\"demo$z$%C\" u INNER JOIN tavrin.\"demo$z$rv$%C\" rv1 ON (rv1.z_rv=u.z_rv) WHERE rv1.rid=? AND rv1.txid=?"
        " UNION ALL SELECT \"id\",\"name\" FROM tavrin.\"demo$z$old$%C\" v INNER JOIN tavrin.\"demo$z$rv$%C\" rv2 ON (rv2.z_rv=v.z_rv) WHERE rv2.rid=? AND rv2.txid=?";
    EXPECT_EQ(bound(version_values, {txt(ann), num(std::stoll(tb)), txt(ann), num(std::stoll(tb))}).rows, (Rows{{"2", "anna"}}));
    EXPECT_EQ(bound(version_values, {txt(c1), num(std::stoll(t1)), txt(c1), num(std::stoll(t1))}).rows, (Rows{{"1", "before"}}));

    // Rules: the table rule before the dbfile rule, a column rule and the table default, the newest uniquifier.
    // The global rule tables come with the dbfile.
    run("INSERT INTO tavrin.[demo$t$rules] (sit, act, extra) VALUES (4, 6, N'dbfile'), (6, NULL, NULL)");
    run("INSERT INTO tavrin.rules_record (sit, tbl_id, act, extra) VALUES (4, %C, 12, N'table')");
    run("INSERT INTO tavrin.rules_column (tbl_id, col_id, act, extra) VALUES (%C, 2, 3, N'name'), (%C, NULL, 1, NULL)");
    run("INSERT INTO tavrin.demo$t$zu (col, tbl, fn, txid) VALUES (N'2', N'%C', N'old_fn', 1), (N'2', N'%C', N'new_fn', 2)");
    EXPECT_EQ(bound("SELECT act, extra FROM tavrin.[demo$t$rules] WHERE sit=?", {num(4)}).rows, (Rows{{"6", "dbfile"}}));
    EXPECT_EQ(bound("SELECT act FROM tavrin.[demo$t$rules] WHERE sit=?", {num(6)}).rows, (Rows{{"NULL"}}));
    const std::string record_rule = "SELECT 1 AS src, act, extra FROM [tavrin].[rules_record] WHERE (sit = ?) AND (tbl_id = ?)  UNION ALL  "
                                    "SELECT 2 AS src, act, extra FROM [tavrin].[demo$t$rules] WHERE (sit = ?) ORDER BY [src];";
    EXPECT_EQ(bound(record_rule, {num(4), num(std::stoll(cust)), num(4)}).rows, (Rows{{"1", "12", "table"}, {"2", "6", "dbfile"}}));
    EXPECT_EQ(bound(record_rule, {num(4), num(std::stoll(orders)), num(4)}).rows, (Rows{{"2", "6", "dbfile"}}));
    EXPECT_EQ(bound("SELECT 1 AS src, act FROM [tavrin].[rules_record] WHERE (sit = ?) AND (tbl_id = ?);", {num(6), num(std::stoll(cust))}).rows,
              Rows{});
    EXPECT_EQ(bound("SELECT act, extra FROM tavrin.rules_column WHERE tbl_id=? AND col_id=? OPTION (OPTIMIZE FOR UNKNOWN);",
                    {num(std::stoll(cust)), num(2)}).rows,
              (Rows{{"3", "name"}}));
    EXPECT_EQ(bound("SELECT act, extra FROM tavrin.rules_column WHERE tbl_id=? AND col_id IS NULL OPTION (OPTIMIZE FOR UNKNOWN)", {num(std::stoll(cust))}).rows,
              (Rows{{"1", "NULL"}}));
    EXPECT_EQ(bound("SELECT TOP 1 fn FROM tavrin.demo$t$zu WHERE col=? AND tbl=? ORDER BY txid DESC", {txt("2"), txt(cust)}).rows, (Rows{{"new_fn"}}));

    // Generation packages: a known rstamp, the version a generation ended with, the first txid of a generation.
    const std::string rstamp = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    bound("UPDATE tavrin.\"demo$t$tx\" SET rstamp=?, rebaseid=cast(crypt_gen_random(8) as bigint) WHERE txid=?", {txt(rstamp), num(std::stoll(tc))});
    const std::string known = "SELECT CAST ((CASE WHEN EXISTS (SELECT * FROM tavrin.\"demo$t$tx\" WHERE (rstamp='%R')) THEN 1 ELSE 0 END) AS bit);";
    EXPECT_EQ(rows(replaced(known, {{"%R", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"}})), (Rows{{"1"}}));
    EXPECT_EQ(rows(replaced(known, {{"%R", unknown}})), (Rows{{"0"}}));
    const std::string ended_with = "SELECT rv.txid FROM  tavrin.\"demo$z$rv$%C\" AS rv\n  INNER JOIN tavrin.\"demo$t$tx\" AS rv_tx ON (rv_tx.txid=rv.txid)\n"
                                   "WHERE (rv.rid = ?) AND (rv_tx.generation= ?)\n  AND (  NOT EXISTS( SELECT * FROM tavrin.\"demo$z$dd$%C\" AS dd \n"
                                   "    INNER JOIN tavrin.\"demo$t$tx\" AS dd_tx ON (dd_tx.txid=dd.txid)\n"
                                   "    WHERE (dd.rv=rv.z_rv) AND (dd_tx.generation=rv_tx.generation) )  );";
    EXPECT_EQ(bound(ended_with, {txt(ann), num(std::stoll(ga))}).rows, (Rows{{ta}}));
    EXPECT_EQ(bound(ended_with, {txt(ann), num(std::stoll(gb))}).rows, (Rows{{tc}}));  // tb was ended within gb
    EXPECT_EQ(bound(ended_with, {txt(ann), num(std::stoll(gd))}).rows, Rows{});
    // Our own text for whether a row has any version created in a generation.
    const std::string in_generation = "SELECT CAST ((CASE WHEN EXISTS (SELECT * FROM tavrin.\"demo$z$rv$%C\" AS rv INNER JOIN tavrin.\"demo$t$tx\" AS tx "
                                      "ON (tx.txid=rv.txid) WHERE (rv.rid = ?) AND (tx.generation = ?)) THEN 1 ELSE 0 END) AS bit);";
    EXPECT_EQ(bound(in_generation, {txt(ann), num(std::stoll(gb))}).rows, (Rows{{"1"}}));
    EXPECT_EQ(bound(in_generation, {txt(ann), num(std::stoll(gd))}).rows, (Rows{{"0"}}));
    const std::string min_txid = "DECLARE @min_txid bigint;\n SELECT @min_txid = MIN(txid) FROM tavrin.\"demo$t$tx\" WHERE(generation = %G);\n"
                                 " IF(@min_txid IS NULL) SELECT @min_txid = MIN(txid) FROM tavrin.\"demo$t$tx\";\n SELECT @min_txid;";
    EXPECT_EQ(rows(replaced(min_txid, {{"%G", gb}})), (Rows{{tb}}));
    EXPECT_EQ(rows(replaced(min_txid, {{"%G", "99"}})), (Rows{{"1"}}));

    // The audit import: a NULL rid and NULL texts pass through.
    run("CREATE TABLE tavrin.audit (dbfile nvarchar(255) NULL, rid uniqueidentifier NULL, txid bigint NULL, tbl nvarchar(max) NULL, "
        "ancestor nvarchar(max) NULL, already nvarchar(max) NULL, incoming nvarchar(max) NULL, result nvarchar(max) NULL)");
    const std::string audit = "INSERT INTO tavrin.\"audit\" (dbfile,rid,txid,tbl,ancestor,already,incoming,result) VALUES (?,?,?,?,?,?,?,?)";
    bound(audit, {txt("demo"), txt(ann), num(9), txt(cust), null_param(), txt("{\"name\":\"annie\"}"), txt("{\"name\":\"ann\"}"), txt("ignore")});
    bound(audit, {txt("demo"), null_param(), num(9), txt(cust), null_param(), null_param(), txt("{}"), txt("ignore")});
    EXPECT_EQ(rows("SELECT dbfile, rid, txid, ancestor, already, result FROM tavrin.audit ORDER BY already DESC"),
              (Rows{{"demo", ann, "9", "NULL", "{\"name\":\"annie\"}", "ignore"}, {"demo", "NULL", "9", "NULL", "NULL", "ignore"}}));

    // Identity keys: the log of earlier pushes (optional), then the server value of a live, a deleted and an unknown row.
    run("INSERT INTO tavrin.[demo$t$ipklog] (fid, tbl_id, temp_ipk, import_txid, final_ipk) VALUES (7, %C, -1, 5, 2), (8, %C, -1, 6, 3)");
    const std::string ipklog = "IF OBJECT_ID('[tavrin].[%D$t$ipklog]') IS NOT NULL\n  SELECT temp_ipk, final_ipk FROM [tavrin].[%D$t$ipklog] WHERE fid=? AND tbl_id=?;\n"
                               "ELSE\n  SELECT NULL, NULL WHERE 1=0;\n";
    EXPECT_EQ(bound(replaced(ipklog, {{"%D", "demo"}}), {num(7), num(std::stoll(cust))}).rows, (Rows{{"-1", "2"}}));
    EXPECT_EQ(bound(replaced(ipklog, {{"%D", "other"}}), {num(7), num(std::stoll(cust))}).rows, Rows{});
    const std::string pk_lookup =
        "DECLARE @rid uniqueidentifier = ?, @pkval bigint;\nSELECT @pkval = z.\"id\" FROM\n  tavrin.\"demo$z$%C\" z\n"
        "  INNER JOIN tavrin.\"demo$z$rv$%C\" rv ON rv.z_rv = z.z_rv\n  WHERE rv.rid = @rid;\nIF @pkval IS NULL\n  SELECT TOP 1 @pkval = old.\"id\" FROM\n"
        "    tavrin.\"demo$z$old$%C\" old\n    INNER JOIN tavrin.\"demo$z$rv$%C\" rv ON rv.z_rv = old.z_rv\n    WHERE rv.rid = @rid;\n"
        "SELECT CAST (CASE WHEN @pkval IS NULL THEN 0 ELSE 1 END AS int), @pkval;\n";
    EXPECT_EQ(bound(pk_lookup, {txt(c1)}).rows, (Rows{{"1", "1"}}));
    EXPECT_EQ(bound(pk_lookup, {txt(ann)}).rows, (Rows{{"1", "2"}}));
    EXPECT_EQ(bound(pk_lookup, {txt(unknown)}).rows, (Rows{{"0", "NULL"}}));
}

// Rolled-back client data brought back: ann was inserted before the restore
// point R and changed on the server after it; the client's rolled-back
// timeline (generation R+1) changed her too. Recording, claims, the state and
// base reads, the server change check, the re-staging of the package rows,
// then salvage's conflict lists and the row dump.
TEST_F(PushStatements, RecoverySalvageAndDump) {
    run("INSERT INTO dbo.customers (name) VALUES (N'ann')");  // id 2
    const std::string ta = rows("SELECT MAX(txid) FROM tavrin.\"demo$t$tx\"").at(0).at(0);
    const long long R = exec_output(c(), "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;");
    run("UPDATE dbo.customers SET name = N'ann-server' WHERE id = 2");
    exec_output(c(), "EXEC tavrin.\"demo$z$GetGen\" @generation = ? OUTPUT;");
    const std::string ann = live_rid(c(), cust, "id = 2"), c1 = live_rid(c(), cust, "id = 1");
    const std::string T = begin_push();
    ids.push_back({"%T", T});
    const std::string G = std::to_string(R + 1);

    // Recording the rolled-back timeline: the timeline, the rows with their generation columns.
    run("CREATE TABLE #tl (generation bigint PRIMARY KEY, id bigint not null)");
    bound("INSERT INTO #tl (generation, id) VALUES (?, ?);", {num(R + 1), num(501)});
    run("CREATE TABLE #rec_c (z_rid uniqueidentifier PRIMARY KEY, z_gen_add bigint NOT NULL, \"$tavrin generation id$\" bigint NOT NULL, "
        "[id] varchar(25) CHECK(LEN([id]) >= 3 AND SUBSTRING([id],2,1) = ':'), [name] nvarchar(50) NULL)");
    const std::string copy_gen = "INSERT INTO #rec_c (z_rid, z_gen_add, \"$tavrin generation id$\",\"id\",\"name\" ) VALUES (?, ?, ?,?,? )";
    bound(copy_gen, {txt(ann), num(R + 1), num(501), txt("S:2"), txt("ann-client")});
    bound(copy_gen, {txt(c1), num(R + 1), num(501), txt("S:1"), txt("before-client")});
    EXPECT_EQ(rows("SET NOCOUNT ON;\nMERGE INTO tavrin.demo$r$rv$%C rv\nUSING #rec_c tr\n"
                   "ON tr.z_rid = rv.rid AND tr.z_gen_add = rv.generation AND tr.\"$tavrin generation id$\" = rv.generation_id\n"
                   "WHEN NOT MATCHED THEN INSERT (rid, generation, generation_id) VALUES (tr.z_rid, tr.z_gen_add, tr.\"$tavrin generation id$\");\nSELECT @@ROWCOUNT;"),
              (Rows{{"2"}}));
    for (const auto& [col, term] : std::vector<std::pair<std::string, std::string>>{{"id", "(CAST(SUBSTRING(tr.[id],3,25) AS bigint))"}, {"name", "(tr.[name])"}}) {
        const Subst s{{"%c", col}, {"%v", term}};
        EXPECT_EQ(rows(replaced("SET NOCOUNT ON;\nMERGE INTO tavrin.demo$r$old$%C old\nUSING #rec_c tr\n"
                                "INNER JOIN tavrin.demo$r$rv$%C rv ON rv.rid = tr.z_rid AND rv.generation = tr.z_gen_add AND rv.generation_id = tr.\"$tavrin generation id$\"\n"
                                "LEFT OUTER JOIN tavrin.demo$r$recovered$%C recov ON recov.z_rv = rv.z_rv\nON rv.z_rv = old.z_rv\n"
                                "WHEN NOT MATCHED THEN INSERT (z_rv, \"%c\") VALUES (rv.z_rv, %v)\n"
                                "WHEN MATCHED AND recov.\"%c\" IS NULL THEN UPDATE SET \"%c\" = %v;\nSELECT @@ROWCOUNT;", s)),
                  (Rows{{"2"}})) << col;
        EXPECT_EQ(rows(replaced("SET NOCOUNT ON;\nMERGE INTO tavrin.demo$r$recovered$%C recov\nUSING #rec_c tr\n"
                                "INNER JOIN tavrin.demo$r$rv$%C rv ON rv.rid = tr.z_rid AND rv.generation = tr.z_gen_add AND rv.generation_id = tr.\"$tavrin generation id$\"\n"
                                "ON rv.z_rv = recov.z_rv\nWHEN NOT MATCHED THEN INSERT (z_rv, \"%c\") VALUES (rv.z_rv, 0)\n"
                                "WHEN MATCHED AND recov.\"%c\" IS NULL THEN UPDATE SET \"%c\" = 0;SELECT @@ROWCOUNT;", s)),
                  (Rows{{"2"}})) << col;
    }
    EXPECT_EQ(rows("SELECT o.id, o.name, r.id, r.name FROM tavrin.demo$r$old$%C o JOIN tavrin.demo$r$recovered$%C r ON r.z_rv = o.z_rv ORDER BY o.id"),
              (Rows{{"1", "before-client", "0", "0"}, {"2", "ann-client", "0", "0"}}));

    // Claims: marks 0 become T; the release gives back only the named row's.
    const std::string claim_from = "FROM tavrin.\"demo$r$recovered$%C\" r\nINNER JOIN tavrin.\"demo$r$rv$%C\" rv ON rv.z_rv = r.z_rv\n"
                                   "INNER JOIN #rec_c tr ON tr.z_rid = rv.rid AND tr.z_gen_add = rv.generation AND tr.\"$tavrin generation id$\" = rv.generation_id;\n";
    bound("DECLARE @txid bigint = ?;\nUPDATE r SET\n  \"id\" = CASE WHEN r.\"id\" = 0 THEN @txid ELSE r.\"id\" END,\n"
          "  \"name\" = CASE WHEN r.\"name\" = 0 THEN @txid ELSE r.\"name\" END\n" + claim_from,
          {num(std::stoll(T))});
    std::string release = "DECLARE @txid bigint = ?;\nUPDATE r SET\n  \"id\" = CASE WHEN r.\"id\" = @txid THEN 0 ELSE r.\"id\" END,\n"
                          "  \"name\" = CASE WHEN r.\"name\" = @txid THEN 0 ELSE r.\"name\" END\n" + claim_from;
    release = release.substr(0, release.size() - 2) + "\nWHERE rv.rid = ?;\n";
    bound(release, {num(std::stoll(T)), txt(c1)});
    EXPECT_EQ(rows("SELECT o.id, r.id, r.name FROM tavrin.demo$r$old$%C o JOIN tavrin.demo$r$recovered$%C r ON r.z_rv = o.z_rv ORDER BY o.id"),
              (Rows{{"1", "0", "0"}, {"2", T, T}}));

    // Ann's latest server version: live, in the generation after R.
    const std::string latest =
        "SELECT TOP 1\n  rv.z_rv,\n  rv.txid,\n  COALESCE(rv_tx.generation, 9223372036854775807),\n"
        "  CASE WHEN dd_tx.txid IS NULL THEN 0 ELSE COALESCE(dd_tx.generation, 9223372036854775807) END\nFROM\n"
        "  tavrin.\"demo$z$rv$%C\" rv\n  LEFT OUTER JOIN tavrin.\"demo$z$dd$%C\" dd ON dd.rv = rv.z_rv\n"
        "  LEFT OUTER JOIN tavrin.\"demo$z$rv$%C\" rv2 ON rv2.rid = rv.rid AND rv2.txid = dd.txid\n"
        "  INNER JOIN tavrin.\"demo$t$tx\" rv_tx ON rv_tx.txid = rv.txid\n  LEFT OUTER JOIN tavrin.\"demo$t$tx\" dd_tx ON dd_tx.txid = dd.txid\n"
        "WHERE rv.rid = ? AND rv2.z_rv IS NULL\nORDER BY COALESCE(rv_tx.generation, 9223372036854775807) DESC, rv_tx.txid DESC;\n";
    const Rows ann_latest = bound(latest, {txt(ann)}).rows;
    ASSERT_EQ(ann_latest.size(), 1u);
    const std::string ann_zrv = ann_latest[0][0], ann_txid = ann_latest[0][1];
    EXPECT_EQ(ann_latest[0][2], std::to_string(R + 1));
    EXPECT_EQ(ann_latest[0][3], "0");
    // The state over the recorded versions: values recorded, marks of other recoveries only.
    const std::string state = "DECLARE @txid bigint = ?;\nSELECT\n  CASE WHEN u.\"id\" IS NOT NULL THEN 0 WHEN recov.\"id\" = 0 OR recov.\"id\" = @txid THEN 1 ELSE 2 END,\n"
                              "  NULLIF(recov.\"id\", @txid),\n  NULLIF(recov.\"name\", @txid)\nFROM tavrin.\"demo$r$rv$%C\" rv\n"
                              "INNER JOIN tavrin.\"demo$r$recovered$%C\" recov ON recov.z_rv = rv.z_rv\nINNER JOIN tavrin.\"demo$r$old$%C\" u ON u.z_rv = rv.z_rv\n"
                              "INNER JOIN #tl t ON t.generation = rv.generation AND t.id = rv.generation_id\nWHERE rv.rid = ? AND rv.generation >= ?\nORDER BY t.generation ASC;\n";
    EXPECT_EQ(bound(state, {num(std::stoll(T)), txt(ann), num(R + 1)}).rows, (Rows{{"0", "NULL", "NULL"}}));
    // Another client changed ann after R: the server change check says so; c1 was left alone.
    const std::string change_check =
        "DECLARE @rid uniqueidentifier = ?, @r_point bigint = ?;\nWITH\n  main_timeline_txids (txid) AS\n  (\n    SELECT rv.txid FROM\n"
        "      tavrin.\"demo$z$rv$%C\" rv\n      INNER JOIN tavrin.\"demo$t$tx\" tx ON tx.txid = rv.txid\n"
        "      WHERE rv.rid=@rid AND (tx.generation > @r_point OR tx.generation IS NULL)\n    UNION SELECT dd.txid FROM\n"
        "      tavrin.\"demo$z$dd$%C\" dd\n      INNER JOIN tavrin.\"demo$z$rv$%C\" rv ON rv.z_rv = dd.rv\n"
        "      INNER JOIN tavrin.\"demo$t$tx\" tx ON tx.txid = dd.txid\n      WHERE rv.rid = @rid AND (tx.generation > @r_point OR tx.generation IS NULL)\n  ),\n"
        "  client_timeline_txids_by_column (\"id\", \"name\") AS\n  (\n    SELECT recov.\"id\", recov.\"name\" FROM\n      #tl t\n"
        "      INNER JOIN tavrin.\"demo$r$rv$%C\" rv ON rv.generation = t.generation AND rv.generation_id = t.id\n"
        "      INNER JOIN tavrin.\"demo$r$recovered$%C\" recov ON recov.z_rv = rv.z_rv\n  ),\n  client_timeline_txids (txid) AS\n  (\n"
        "    SELECT DISTINCT \"id\" FROM client_timeline_txids_by_column WHERE \"id\" > 0\n"
        "    UNION SELECT DISTINCT \"name\" FROM client_timeline_txids_by_column WHERE \"name\" > 0\n  )\n"
        "SELECT CAST (CASE WHEN EXISTS (\n  SELECT 1 FROM main_timeline_txids WHERE txid NOT IN (SELECT txid FROM client_timeline_txids)\n) THEN 1 ELSE 0 END AS bit);\n";
    EXPECT_EQ(bound(change_check, {txt(ann), num(R)}).rows, (Rows{{"1"}}));
    EXPECT_EQ(bound(change_check, {txt(c1), num(R)}).rows, (Rows{{"0"}}));
    // The base script: no earlier client generation holds ann, so her base is the version live at R
    // (z_txid = her insert) with the rolled-back row's own values.
    const std::string base =
        "SET NOCOUNT ON;\nDECLARE @rid uniqueidentifier = ?, @r_point bigint = ?, @z_gen_add bigint = ?, @count_found_cols int = 0;\n"
        "DECLARE @base0 varchar(25), @found0 bit = 0, @col0 varchar(25), @r0 bit;\n"
        "DECLARE @base1 nvarchar(50), @found1 bit = 0, @col1 nvarchar(50), @r1 bit;\n"
        "SELECT @base0 = \"id\", @base1 = \"name\" FROM #rec_c WHERE z_rid = @rid;\n"
        "DECLARE cur CURSOR LOCAL FAST_FORWARD FOR\n  SELECT\n"
        "    CASE WHEN recov.\"id\" > 0 THEN 1 ELSE 0 END, ('S:' + CAST (u.\"id\" AS varchar(25))),\n"
        "    CASE WHEN recov.\"name\" > 0 THEN 1 ELSE 0 END, u.\"name\"\n"
        "  FROM #tl t\n  INNER JOIN tavrin.\"demo$r$rv$%C\" rv ON rv.generation = t.generation AND rv.generation_id = t.id\n"
        "  INNER JOIN tavrin.\"demo$r$old$%C\" u ON u.z_rv = rv.z_rv\n  INNER JOIN tavrin.\"demo$r$recovered$%C\" recov ON recov.z_rv = rv.z_rv\n"
        "  WHERE t.generation < @z_gen_add AND rv.rid = @rid AND u.\"id\" IS NOT NULL\n  ORDER BY t.generation DESC;\n"
        "OPEN cur;\nFETCH NEXT FROM cur INTO @r0, @col0, @r1, @col1;\nWHILE @@FETCH_STATUS = 0\n  BEGIN\n"
        "    IF @r0 <> 0 AND @found0 = 0 SELECT @base0 = @col0, @found0 = 1, @count_found_cols = @count_found_cols + 1;\n"
        "    IF @r1 <> 0 AND @found1 = 0 SELECT @base1 = @col1, @found1 = 1, @count_found_cols = @count_found_cols + 1;\n"
        "    FETCH NEXT FROM cur INTO @r0, @col0, @r1, @col1;\n  END;\nCLOSE cur;\nDEALLOCATE cur;\n"
        "DECLARE @live_rv_at_restore_point bigint, @baseline_txid bigint;\nIF @count_found_cols < 2\n  BEGIN\n"
        "    DECLARE cur CURSOR LOCAL FAST_FORWARD FOR\n      SELECT TOP 1 rv.z_rv FROM tavrin.\"demo$z$rv$%C\" rv\n"
        "      INNER JOIN tavrin.\"demo$t$tx\" rv_tx ON rv_tx.txid = rv.txid\n      WHERE rv.rid = @rid\n      AND rv_tx.generation <= @r_point\n"
        "      AND NOT EXISTS(SELECT 1 FROM\n        tavrin.\"demo$z$dd$%C\" dd\n        INNER JOIN tavrin.\"demo$t$tx\" dd_tx ON dd_tx.txid = dd.txid\n"
        "        WHERE dd.rv = rv.z_rv AND dd_tx.generation <= @r_point\n      );\n    OPEN cur;\n    FETCH NEXT FROM cur INTO @live_rv_at_restore_point;\n"
        "    CLOSE cur;\n    DEALLOCATE cur;\n  END;\nIF @count_found_cols = 0\n"
        "  SELECT @baseline_txid = txid FROM tavrin.\"demo$z$rv$%C\" WHERE z_rv = @live_rv_at_restore_point;\nELSE\n  SELECT @baseline_txid = -1;\n"
        "IF @count_found_cols > 0 AND @count_found_cols < 2\nAND @live_rv_at_restore_point IS NOT NULL\n"
        "AND EXISTS (SELECT 1 FROM tavrin.\"demo$z$old$%C\" WHERE z_rv = @live_rv_at_restore_point)\n  BEGIN\n    SELECT\n"
        "    @base0 = CASE WHEN @found0 = 0 THEN ('S:' + CAST (\"id\" AS varchar(25))) ELSE @base0 END,\n"
        "    @base1 = CASE WHEN @found1 = 0 THEN \"name\" ELSE @base1 END\n"
        "    FROM tavrin.\"demo$z$old$%C\" WHERE z_rv = @live_rv_at_restore_point;\n  END;\n"
        "SELECT\n  COALESCE(@baseline_txid, 0) AS z_txid,\n  @base0 AS \"id\",\n  @base1 AS \"name\";\n";
    EXPECT_EQ(bound(base, {txt(ann), num(R), num(R + 1)}).rows, (Rows{{ta, "S:2", "ann-client"}}));
    // The same row pushed again in a later generation: its earlier generation is found (brought back by T).
    bound("INSERT INTO #tl (generation, id) VALUES (?, ?);", {num(R + 2), num(502)});
    EXPECT_EQ(bound(base, {txt(ann), num(R), num(R + 2)}).rows, (Rows{{"-1", "S:2", "ann-client"}}));
    // A column brought back earlier takes the server's value.
    EXPECT_EQ(bound("UPDATE tr SET \"name\" = z.\"name\"\nFROM tavrin.\"demo$z$rv$%C\" rv\nINNER JOIN #rec_c tr ON tr.z_rid = rv.rid\n"
                    "INNER JOIN tavrin.\"demo$z$%C\" z ON z.z_rv = rv.z_rv\nWHERE rv.z_rv = ?;\nSELECT @@ROWCOUNT;",
                    {num(std::stoll(ann_zrv))}).rows,
              (Rows{{"1"}}));
    EXPECT_EQ(bound("SELECT \"id\",\n\"name\" FROM #rec_c WHERE z_rid = ?;\n", {txt(ann)}).rows, (Rows{{"S:2", "ann-server"}}));

    // Re-staging from the package (second staging): package rows replace recorded ones, the generation
    // columns go, rows without a key value or a delta leave.
    bound("DELETE FROM #rec_c WHERE z_rid = ?", {txt(c1)});
    run("ALTER TABLE #rec_c DROP COLUMN z_gen_add, \"$tavrin generation id$\"");
    const std::string copy = "INSERT INTO #rec_c (z_rid,\"id\",\"name\" ) VALUES (?,?,? )";
    bound(copy, {txt(c1), txt("S:1"), txt("before-package")});
    bound(copy, {txt(kRid + std::string("20")), null_param(), null_param()});
    bound(copy, {txt(kRid + std::string("21")), txt("S:9"), txt("no delta")});
    EXPECT_EQ(rowcount_of("DELETE FROM #rec_c WHERE \"id\" IS NULL"), (Rows{{"1"}}));
    run(std::string("CREATE TABLE #del_c") + kDeltas);
    run("INSERT INTO #del_c VALUES ('" + ann + "', 1, " + ann_txid + ", NULL, NULL), ('" + c1 + "', 1, NULL, NULL, NULL)");
    EXPECT_EQ(rowcount_of("DELETE FROM #rec_c WHERE z_rid NOT IN (SELECT rid FROM #del_c)"), (Rows{{"1"}}));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM #rec_c"), (Rows{{"2"}}));
    ok(c(), "COMMIT TRANSACTION");

    // Salvage: a change based on a version the server replaced is listed, one on the live version is not;
    // a base of the client's own history (-1) is listed; a new row whose id the server knows is listed.
    run("CREATE TABLE #cf (pd_rowid [bigint] PRIMARY KEY, pd_rid [uniqueidentifier], pd_txid_rec_add [bigint], pd_txid_rec_del [bigint], pd_txid [bigint])");
    const std::string add_cf = "INSERT INTO #cf (pd_rowid, pd_rid, pd_txid_rec_add, pd_txid_rec_del, pd_txid) VALUES (?,?,?,?,?);";
    const std::string rn = kRid + std::string("30");
    const std::string c1_txid = rows("SELECT MAX(txid) FROM tavrin.\"demo$z$rv$%C\" WHERE rid = '" + c1 + "'").at(0).at(0);
    run_bound(c(), add_cf, {num(1), txt(ann), num(1), num(std::stoll(ta)), num(9)});
    run_bound(c(), add_cf, {num(2), txt(c1), num(1), num(std::stoll(c1_txid)), num(9)});
    run_bound(c(), add_cf, {num(3), txt(rn), num(0), num(-1), num(8)});
    EXPECT_EQ(rows("SELECT pd.pd_rowid, pd.pd_rid, pd.pd_txid_rec_add, pd.pd_txid_rec_del, pd.pd_txid\n FROM #cf AS pd\n"
                   " INNER JOIN tavrin.\"demo$z$rv$%C\" AS rv ON (pd.pd_rid=rv.rid) AND (pd.pd_txid_rec_del=rv.txid)\n"
                   " INNER JOIN tavrin.\"demo$z$dd$%C\" AS dd ON (dd.rv=rv.z_rv)\n ORDER BY pd.pd_txid ASC;"),
              (Rows{{"1", ann, "1", ta, "9"}}));
    EXPECT_EQ(rows("SELECT pd_rowid, pd_rid, pd_txid_rec_add, pd_txid_rec_del, pd_txid FROM #cf WHERE (pd_txid_rec_del=-1) ORDER BY pd_txid ASC;"),
              (Rows{{"3", rn, "0", "-1", "8"}}));
    // Every base is a version the server holds of that row, or the client's own (-1)...
    const std::string unknown_base = "SELECT TOP 1 pd_rid, pd_txid_rec_del FROM #cf pd\nWHERE pd.pd_txid_rec_del <> -1\n"
                                     "AND NOT EXISTS (SELECT 1 FROM tavrin.\"demo$z$rv$%C\" rv WHERE rv.rid = pd.pd_rid AND "
                                     "rv.txid = pd.pd_txid_rec_del);";
    EXPECT_EQ(rows(unknown_base), Rows{});
    // ... unlike one the server never had.
    run_bound(c(), add_cf, {num(6), txt(c1), num(1), num(999999), num(9)});
    EXPECT_EQ(rows(unknown_base), (Rows{{c1, "999999"}}));
    run("TRUNCATE TABLE #cf");
    const std::string add_new = add_cf.substr(0, add_cf.size() - 1);
    run_bound(c(), add_new, {num(4), txt(ann), num(1), num(0), num(9)});
    run_bound(c(), add_new, {num(5), txt(rn), num(1), num(0), num(9)});
    EXPECT_EQ(rows("SELECT pd_rowid, pd_rid, pd_txid_rec_add, pd_txid_rec_del, pd_txid\nFROM #cf t\n"
                   "WHERE (  EXISTS (SELECT * FROM tavrin.\"demo$z$rv$%C\" rv WHERE (rv.rid = t.pd_rid) )  );"),
              (Rows{{"4", ann, "1", "0", "9"}}));

    // The row dump: one dump_rows row per text, the second upload of a triple updates last_received.
    ok(c(), "BEGIN TRANSACTION");
    const std::string hash = "0123456789abcdef0123456789abcdef01234567";
    const std::string stored = "SELECT CAST (CASE WHEN EXISTS (SELECT 1 FROM [tavrin].[demo$r$dump_rows] WHERE [hash] = ?) THEN 1 ELSE 0 END AS bit);\n";
    const std::string dump_rows = "DECLARE @hash char(40) = ?;\nDECLARE @json nvarchar(max) = ?;\nMERGE INTO [tavrin].[demo$r$dump_rows] r\n"
                                  "  USING (SELECT @hash AS [hash], @json AS [json]) AS i\n  ON i.hash = r.hash\n"
                                  "  WHEN NOT MATCHED THEN INSERT ([hash], [json]) VALUES (i.[hash], i.[json]);\n";
    const std::string dump = "DECLARE @username nvarchar(100) = ?;\nDECLARE @table_id int = ?;\nDECLARE @row char(40) = ?;\n"
                             "MERGE INTO [tavrin].[demo$r$dump] e\n  USING (SELECT @username AS [username], @table_id AS [table_id], @row AS [row]) AS i\n"
                             "  ON i.username = e.username AND i.table_id = e.table_id AND i.row = e.row\n"
                             "  WHEN NOT MATCHED THEN INSERT ([username], [table_id], [row]) VALUES (i.[username], i.[table_id], i.[row])\n"
                             "  WHEN MATCHED THEN UPDATE SET [last_received] = GETDATE();\n";
    EXPECT_EQ(bound(stored, {txt(hash)}).rows, (Rows{{"0"}}));
    bound(dump_rows, {txt(hash), txt("{\"id\":2,\"name\":\"ann\",\"pic\":\"0x\"}")});
    EXPECT_EQ(bound(stored, {txt(hash)}).rows, (Rows{{"1"}}));
    bound(dump, {txt("bob"), num(std::stoll(cust)), txt(hash)});
    run("UPDATE [tavrin].[demo$r$dump] SET [last_received] = '2001-01-01'");
    bound(dump, {txt("bob"), num(std::stoll(cust)), txt(hash)});
    bound(dump, {txt(""), num(std::stoll(cust)), txt(hash)});
    ok(c(), "COMMIT TRANSACTION");
    EXPECT_EQ(rows("SELECT [hash], [json] FROM [tavrin].[demo$r$dump_rows]"), (Rows{{hash, "{\"id\":2,\"name\":\"ann\",\"pic\":\"0x\"}"}}));
    EXPECT_EQ(rows("SELECT [username], [row], CASE WHEN [last_received] > '2001-01-02' THEN 1 ELSE 0 END FROM [tavrin].[demo$r$dump] ORDER BY [username]"),
              (Rows{{"", hash, "1"}, {"bob", hash, "1"}}));
}

}  // namespace
