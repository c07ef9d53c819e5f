// SQL Server's limits on one request and one statement, held by the stand-in with SQL Server's
// numbers and texts, and long chains of AND and OR that SQL Server takes.
#include <gtest/gtest.h>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class Limits : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "app"};

    std::vector<Diag> parameter_diags;  // of the last run_with_parameters

    void ok(const std::string& sql) { ASSERT_TRUE(runs(c, sql)); }
    Diag fails(const std::string& sql) {
        EXPECT_EQ(c.exec(sql), SQL_ERROR) << sql.substr(0, 200);
        return c.last_diags().empty() ? Diag{} : c.last_diags()[0];
    }
    // Runs `sql` with `count` integer parameters bound to `values` (the last one repeated).
    SQLRETURN run_with_parameters(const std::string& sql, int count, std::vector<SQLINTEGER>& values) {
        SQLHSTMT st = c.stmt();
        values.resize(count, values.empty() ? 0 : values.back());
        for (int i = 0; i < count; ++i)
            SQLBindParameter(st, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                             &values[i], 0, nullptr);
        SQLRETURN rc = SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS);
        parameter_diags = OdbcConnection::diags(SQL_HANDLE_STMT, st);
        SQLCloseCursor(st);
        return rc;
    }
    static std::string joined(int count, const std::string& item, const std::string& separator) {
        std::string s;
        for (int i = 0; i < count; ++i) s += (i ? separator : "") + item;
        return s;
    }
};

TEST_F(Limits, AValuesListHoldsAThousandRows) {
    ok("CREATE TABLE n (a int NOT NULL)");
    auto rows = [](int count) {
        std::string s = "INSERT INTO n (a) VALUES ";
        for (int i = 1; i <= count; ++i) s += (i > 1 ? ",(" : "(") + std::to_string(i) + ")";
        return s;
    };
    ok(rows(1000));
    Diag d = fails(rows(1001));
    EXPECT_EQ(d.native, 10738);
    EXPECT_EQ(d.sqlstate, "42000");
    EXPECT_EQ(d.message, "The number of row value expressions in the INSERT statement exceeds the maximum allowed number "
                         "of 1000 row values.");
    // Refused before anything of the batch runs.
    fails("DELETE FROM n; " + rows(1001));
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM n"), (Rows{{"1000"}}));
}

TEST_F(Limits, ARequestCarriesAtMost2100Parameters) {
    std::vector<SQLINTEGER> values{7};
    for (int count : {2100, 2101}) {
        SCOPED_TRACE(count);
        std::string sql = "SELECT CASE WHEN 7 IN (" + joined(count, "?", ",") + ") THEN 1 ELSE 0 END";
        SQLRETURN rc = run_with_parameters(sql, count, values);
        if (count == 2100) {
            EXPECT_TRUE(SQL_SUCCEEDED(rc));
            continue;
        }
        ASSERT_EQ(rc, SQL_ERROR);
        ASSERT_FALSE(parameter_diags.empty());
        EXPECT_EQ(parameter_diags[0].native, 8003);
        EXPECT_EQ(parameter_diags[0].sqlstate, "42000");
        EXPECT_EQ(parameter_diags[0].message,
                  "The incoming request has too many parameters. The server supports a maximum of 2100 parameters. "
                  "Reduce the number of parameters and resend the request.");
    }
}

TEST_F(Limits, LongChainsOfAndAndOrKeepTheirMeaning) {
    ok("CREATE TABLE n (a int NOT NULL, b int NOT NULL)");
    std::string values = "INSERT INTO n (a, b) VALUES ";
    for (int i = 1; i <= 1000; ++i) values += (i > 1 ? ",(" : "(") + std::to_string(i) + "," + std::to_string(i % 3) + ")";
    ok(values);
    auto chain = [](int terms, const std::string& op, const std::string& compare, int sign = 1) {
        std::string s;
        for (int i = 1; i <= terms; ++i) s += (i > 1 ? " " + op + " " : "") + "a" + compare + std::to_string(sign * i);
        return s;
    };
    struct Case {
        std::string where;
        const char* count;
    } cases[] = {
        {chain(10000, "OR", " = "), "1000"},
        {chain(10000, "AND", " <> "), "0"},
        {chain(10000, "AND", " <> ") + " OR a = 5", "1"},
        // AND binds tighter than OR, in every place of a long chain.
        {"a <= 30 AND b = 0 OR " + chain(5000, "OR", " = ", -1) + " OR a = 1000", "11"},
        {"b = 1 AND (" + chain(600, "OR", " = ") + ")", "200"},
        {"NOT (" + chain(10000, "OR", " = ") + ")", "0"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.where.substr(0, 60));
        EXPECT_EQ(c.query("SELECT COUNT(*) FROM n WHERE " + k.where), (Rows{{k.count}}));
    }
    // Where each term is a parameter.
    std::vector<SQLINTEGER> params;
    for (int i = 1; i <= 2000; ++i) params.push_back(i % 2 ? i : -i);
    ASSERT_TRUE(SQL_SUCCEEDED(run_with_parameters("DELETE FROM n WHERE " + joined(2000, "a = ?", " OR "), 2000, params)));
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM n"), (Rows{{"500"}}));
}

TEST_F(Limits, NamesTypesTablesAndNestingHaveTheirLimits) {
    const std::string name128(128, 'n'), name129(129, 'n');
    ok("CREATE TABLE [" + name128 + "] (a int)");
    ok("CREATE TABLE #" + std::string(115, 't') + " (a int)");
    auto columns = [](int count) {
        std::string s;
        for (int i = 1; i <= count; ++i) s += (i > 1 ? ", c" : "c") + std::to_string(i) + " int";
        return s;
    };
    ok("CREATE TABLE wide (" + columns(1024) + ", CONSTRAINT pk_wide PRIMARY KEY (c1))");
    ok("CREATE TABLE sized (a varchar(8000), b nvarchar(4000), c varbinary(max), d decimal(38,38))");
    struct Case {
        std::string sql;
        int native;
        std::string message;
    } cases[] = {
        {"CREATE TABLE [" + name129 + "] (a int)", 103,
         "The identifier that starts with '" + name128 + "' is too long. Maximum length is 128."},
        {"SELECT " + name129 + " FROM x", 103,
         "The identifier that starts with '" + name128 + "' is too long. Maximum length is 128."},
        {"DECLARE @" + name128 + " int", 103,
         "The identifier that starts with '@" + std::string(127, 'n') + "' is too long. Maximum length is 128."},
        {"CREATE TABLE #" + std::string(116, 't') + " (a int)", 193,
         "The object or column name starting with '#" + std::string(116, 't') +
             "' is too long. The maximum length is 116 characters."},
        {"SELECT " + std::string(300, '(') + "1" + std::string(300, ')'), 191,
         "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller "
         "queries."},
        {"CREATE TABLE w (a int, b varchar(8001))", 131,
         "The size (8001) given to the column 'b' exceeds the maximum allowed for any data type (8000)."},
        {"CREATE TABLE w (a varbinary(9000))", 131,
         "The size (9000) given to the column 'a' exceeds the maximum allowed for any data type (8000)."},
        {"CREATE TABLE w (a nvarchar(4001))", 2717,
         "The size (4001) given to the parameter 'a' exceeds the maximum allowed (4000)."},
        {"CREATE TABLE w (a int, b decimal(39,2))", 2750,
         "Column or parameter #2: Specified column precision 39 is greater than the maximum precision of 38."},
        {"CREATE TABLE w (" + columns(1025) + ")", 1702,
         "CREATE TABLE failed because column 'c1025' in table 'w' exceeds the maximum of 1024 columns."},
        {"SELECT 123456789012345678901234567890123456789.5", 1007,
         "The number '123456789012345678901234567890123456789.5' is out of the range for numeric representation "
         "(maximum precision 38)."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sql.substr(0, 60));
        Diag d = fails(k.sql);
        EXPECT_EQ(d.native, k.native);
        EXPECT_EQ(d.sqlstate, "42000");
        EXPECT_EQ(d.message, k.message);
    }
    EXPECT_EQ(c.query("SELECT " + std::string(100, '(') + "1" + std::string(100, ')') +
                      ", LEN('12345678901234567890123456789012345678')"),
              (Rows{{"1", "38"}}));
    ok("SELECT 12345678901234567890123456789012345678, 0.12345678901234567890123456789012345678");
}

}  // namespace
