// Values at the stand-in's edges as SQL Server has them: texts holding NUL characters in every
// character type (text and ntext among them), date and time strings with a zone, and the
// floating-point parameters SQL Server refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class StandinValues : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "app"};

    void ok(const std::string& sql) { ASSERT_TRUE(runs(c, sql)); }
};

TEST_F(StandinValues, EveryCharacterTypeKeepsNulCharacters) {
    ok("CREATE TABLE dbo.t (id int NOT NULL PRIMARY KEY, c char(6) NULL, v varchar(10) NULL, nc nchar(6) NULL,"
       " nv nvarchar(10) NULL, vm varchar(max) NULL, nvm nvarchar(max) NULL, tx text NULL, ntx ntext NULL)");
    // 'a', NUL, 'b', NUL: no function is needed to write it in SQL Server either.
    const std::string anb = "CAST(0x61006200 AS varchar(max))";
    ok("INSERT INTO dbo.t VALUES (1, " + anb + ", " + anb + ", " + anb + ", " + anb + ", " + anb + ", " + anb + ", " +
       anb + ", " + anb + ")");
    const std::string nul("a\0b\0", 4);
    EXPECT_EQ(c.query("SELECT c, v, nc, nv, vm, nvm, tx, ntx FROM dbo.t"),
              (Rows{{nul + "  ", nul, nul + "  ", nul, nul, nul, nul, nul}}));
    // LEN keeps a trailing NUL (only blanks go); DATALENGTH counts the bytes SQL Server holds.
    EXPECT_EQ(c.query("SELECT LEN(c), DATALENGTH(c), DATALENGTH(v), DATALENGTH(nc), LEN(nv), DATALENGTH(nv),"
                      " DATALENGTH(tx), DATALENGTH(ntx), DATALENGTH(N'é'), DATALENGTH('é') FROM dbo.t"),
                (Rows{{"4", "6", "4", "12", "4", "8", "4", "8", "2", "1"}}));
    EXPECT_EQ(c.query("SELECT name, system_type_id, max_length FROM sys.columns WHERE object_id = OBJECT_ID('dbo.t')"
                      " AND system_type_id IN (35, 99) ORDER BY column_id"),
              (Rows{{"tx", "35", "16"}, {"ntx", "99", "16"}}));
    SQLHSTMT st = c.stmt();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)"SELECT tx, ntx FROM dbo.t", SQL_NTS)));
    SQLLEN type = 0;
    SQLColAttribute(st, 1, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &type);
    EXPECT_EQ(type, SQL_LONGVARCHAR);
    SQLColAttribute(st, 2, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &type);
    EXPECT_EQ(type, SQL_WLONGVARCHAR);
}

TEST_F(StandinValues, DateAndTimeStringsWithAZone) {
    struct Case {
        const char* text;
        const char* type;
        const char* value;  // nullptr: 241 "Conversion failed ..."
    } cases[] = {
        {"2024-01-02T03:04:05.000Z", "datetime", "2024-01-02 03:04:05.000"},
        {"2024-01-02T03:04:05Z", "smalldatetime", "2024-01-02 03:04:00"},
        {"2024-01-02T03:04:05+01:00", "datetime", nullptr},
        {"2024-01-02 03:04:05Z", "datetime", nullptr},
        {"2024-01-02T03:04Z", "datetime", nullptr},
        {"2024-01-02T03:04:05.1234567+01:00", "datetime2", "2024-01-02 03:04:05.1234567"},
        {"2024-01-02 03:04:05 -14:00", "datetime2", "2024-01-02 03:04:05.0000000"},
        {"2024-01-02T03:04:05+14:01", "datetime2", nullptr},
        {"2024-01-02Z", "date", nullptr},
        {"2024-01-02T03:04:05Z", "date", "2024-01-02"},
        {"12:34:56.123Z", "time", "12:34:56.1230000"},
        {"12:34:56-05:00", "time", "12:34:56.0000000"},
        {"2024-01-02", "time", "00:00:00.0000000"},
    };
    for (const Case& k : cases) {
        const std::string sql = std::string("SELECT CAST('") + k.text + "' AS " + k.type + ")";
        SCOPED_TRACE(sql);
        if (k.value != nullptr) {
            EXPECT_EQ(c.query(sql), (Rows{{k.value}}));
            continue;
        }
        EXPECT_EQ(c.exec(sql), SQL_ERROR);
        ASSERT_FALSE(c.last_diags().empty());
        EXPECT_EQ(c.last_diags()[0].native, 241);
    }
}

TEST_F(StandinValues, FloatParametersMustBeFiniteNormalNumbers) {
    ok("CREATE TABLE dbo.f (f float NULL, r real NULL)");
    SQLHSTMT st = c.stmt();
    ASSERT_EQ(SQLPrepare(st, (SQLCHAR*)"INSERT INTO dbo.f (f, r) VALUES (?, ?)", SQL_NTS), SQL_SUCCESS);
    double d = 0;
    float r = 0;
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_FLOAT, 0, 0, &d, 0, nullptr);
    SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_FLOAT, SQL_REAL, 0, 0, &r, 0, nullptr);
    struct Case {
        double d;
        float r;
        int refused;  // the parameter SQL Server refuses, 0 for none
    } cases[] = {
        {-0.0, 1.5f, 0},
        {std::numeric_limits<double>::denorm_min(), 0, 1},
        {-2.2e-308, 0, 1},
        {std::nan(""), 0, 1},
        {INFINITY, 0, 1},
        {2.2250738585072014e-308, std::numeric_limits<float>::denorm_min(), 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.d);
        d = k.d;
        r = k.r;
        const SQLRETURN rc = SQLExecute(st);
        if (k.refused == 0) {
            EXPECT_EQ(rc, SQL_SUCCESS);
            continue;
        }
        EXPECT_EQ(rc, SQL_ERROR);
        auto diags = OdbcConnection::diags(SQL_HANDLE_STMT, st);
        ASSERT_FALSE(diags.empty());
        EXPECT_EQ(diags[0].native, 8023);
        EXPECT_EQ(diags[0].sqlstate, "42000");
        EXPECT_NE(diags[0].message.find("Parameter " + std::to_string(k.refused) + " (\"@P" +
                                        std::to_string(k.refused) + "\")"),
                  std::string::npos)
            << diags[0].message;
    }
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.f"), (Rows{{"1"}}));
}

}  // namespace
