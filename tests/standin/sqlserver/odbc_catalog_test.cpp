// What the stand-in driver reports about result columns, data types and
// itself, as SQL Server's drivers report it: SQLColAttribute, SQLGetTypeInfo,
// SQLGetInfo and SQLGetFunctions.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "odbc_client.h"

#include <sqlucode.h>

namespace {

using Rows = std::vector<std::vector<std::string>>;

class Catalog : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "app"};
};

TEST_F(Catalog, ColumnAttributesOfEachType) {
    ASSERT_TRUE(SQL_SUCCEEDED(
        c.exec("CREATE TABLE dbo.typed (ti tinyint, si smallint, i int, bi bigint, de decimal(9,3), mo money,"
               " f float, r real, d date, t time(3), dt datetime, dt2 datetime2(7), g uniqueidentifier, c char(4),"
               " nv nvarchar(12), nvm nvarchar(max), vb varbinary(6), b bit)")));
    struct Expect {
        const char* column;
        const char* type_name;
        SQLLEN type, display, octets, precision, scale;
        bool is_unsigned, money;
    };
    const Expect cases[] = {
        {"ti", "tinyint", SQL_TINYINT, 3, 1, 3, 0, true, false},
        {"si", "smallint", SQL_SMALLINT, 6, 2, 5, 0, false, false},
        {"i", "int", SQL_INTEGER, 11, 4, 10, 0, false, false},
        {"bi", "bigint", SQL_BIGINT, 20, 8, 19, 0, false, false},
        {"de", "decimal", SQL_DECIMAL, 11, 11, 9, 3, false, false},
        {"mo", "money", SQL_DECIMAL, 21, 21, 19, 4, false, true},
        {"f", "float", SQL_FLOAT, 24, 8, 53, 0, false, false},
        {"r", "real", SQL_REAL, 14, 4, 24, 0, false, false},
        {"d", "date", SQL_TYPE_DATE, 10, 6, 0, 0, true, false},
        {"t", "time", -154, 12, 12, 3, 3, true, false},
        {"dt", "datetime", SQL_TYPE_TIMESTAMP, 23, 16, 3, 3, true, false},
        {"dt2", "datetime2", SQL_TYPE_TIMESTAMP, 27, 16, 7, 7, true, false},
        {"g", "uniqueidentifier", SQL_GUID, 36, 16, 36, 0, true, false},
        {"c", "char", SQL_CHAR, 4, 4, 4, 0, true, false},
        {"nv", "nvarchar", SQL_WVARCHAR, 12, 24, 12, 0, true, false},
        {"nvm", "nvarchar", SQL_WLONGVARCHAR, 1073741823, 2147483646, 1073741823, 0, true, false},
        {"vb", "varbinary", SQL_VARBINARY, 12, 6, 6, 0, true, false},
        {"b", "bit", SQL_BIT, 1, 1, 1, 0, true, false},
    };
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT ti, si, i, bi, de, mo, f, r, d, t, dt, dt2, g, c, nv, nvm, vb, b AS flag FROM dbo.typed",
                            SQL_NTS),
              SQL_SUCCESS);
    SQLLEN count = 0;
    ASSERT_EQ(SQLColAttribute(q, 0, SQL_DESC_COUNT, nullptr, 0, nullptr, &count), SQL_SUCCESS);
    ASSERT_EQ(count, static_cast<SQLLEN>(std::size(cases)));
    for (SQLUSMALLINT col = 1; col <= count; ++col) {
        const Expect& e = cases[col - 1];
        SCOPED_TRACE(e.column);
        auto number = [&](SQLUSMALLINT field) {
            SQLLEN v = -99;
            EXPECT_EQ(SQLColAttribute(q, col, field, nullptr, 0, nullptr, &v), SQL_SUCCESS) << field;
            return v;
        };
        auto text = [&](SQLUSMALLINT field) {
            SQLWCHAR buf[64] = {};
            SQLSMALLINT bytes = 0;
            EXPECT_EQ(SQLColAttributeW(q, col, field, buf, sizeof buf, &bytes, nullptr), SQL_SUCCESS) << field;
            std::u16string w(reinterpret_cast<const char16_t*>(buf));
            EXPECT_EQ(bytes, static_cast<SQLSMALLINT>(w.size() * 2));
            return from_utf16(w);
        };
        EXPECT_EQ(text(SQL_DESC_TYPE_NAME), e.type_name);
        EXPECT_EQ(text(SQL_DESC_LABEL), col == count ? "flag" : e.column);
        EXPECT_EQ(number(SQL_DESC_CONCISE_TYPE), e.type);
        EXPECT_EQ(number(SQL_DESC_TYPE), e.type == SQL_TYPE_DATE || e.type == SQL_TYPE_TIMESTAMP ? SQL_DATETIME : e.type);
        EXPECT_EQ(number(SQL_DESC_DISPLAY_SIZE), e.display);
        EXPECT_EQ(number(SQL_DESC_OCTET_LENGTH), e.octets);
        EXPECT_EQ(number(SQL_DESC_PRECISION), e.precision);
        EXPECT_EQ(number(SQL_DESC_SCALE), e.scale);
        EXPECT_EQ(number(SQL_DESC_UNSIGNED), e.is_unsigned ? SQL_TRUE : SQL_FALSE);
        EXPECT_EQ(number(SQL_DESC_FIXED_PREC_SCALE), e.money ? SQL_TRUE : SQL_FALSE);
    }
    SQLLEN v = 0;
    EXPECT_EQ(SQLColAttribute(q, 19, SQL_DESC_TYPE, nullptr, 0, nullptr, &v), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "07009");
    char small[4];
    SQLSMALLINT len = 0;
    EXPECT_EQ(SQLColAttribute(q, 13, SQL_DESC_TYPE_NAME, small, sizeof small, &len, nullptr), SQL_SUCCESS_WITH_INFO);
    EXPECT_STREQ(small, "uni");
    EXPECT_EQ(len, 16);
}

TEST_F(Catalog, TypeInfoListsEachTypeByDataType) {
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLGetTypeInfo(q, SQL_ALL_TYPES), SQL_SUCCESS);
    SQLSMALLINT cols = 0;
    SQLNumResultCols(q, &cols);
    EXPECT_EQ(cols, 19);
    std::vector<std::string> names;
    SQLSMALLINT previous = -32768;
    while (SQLFetch(q) == SQL_SUCCESS) {
        names.push_back(get_text(q, 1).value());
        SQLSMALLINT type = 0;
        ASSERT_EQ(SQLGetData(q, 2, SQL_C_SSHORT, &type, 0, nullptr), SQL_SUCCESS);
        EXPECT_LE(previous, type) << names.back();
        previous = type;
    }
    for (const char* n : {"int", "bigint", "nvarchar", "datetime2", "uniqueidentifier", "varbinary", "money", "time"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;

    // One type: the closest match first, with its size and how it is created.
    SQLHSTMT t = c.stmt();
    ASSERT_EQ(SQLGetTypeInfo(t, SQL_TYPE_TIMESTAMP), SQL_SUCCESS);
    Rows rows;
    while (SQLFetch(t) == SQL_SUCCESS)
        rows.push_back({get_text(t, 1).value(), get_text(t, 3).value(), get_text(t, 6).value_or("NULL"),
                        get_text(t, 16).value(), get_text(t, 17).value()});
    EXPECT_EQ(rows, (Rows{{"datetime2", "27", "scale", "9", "3"},
                          {"datetime", "23", "NULL", "9", "3"},
                          {"smalldatetime", "16", "NULL", "9", "3"}}));
}

TEST_F(Catalog, InfoValuesHaveTheirOwnSizes) {
    SQLUSMALLINT small = 0;
    SQLSMALLINT len = 0;
    ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_MAX_CONCURRENT_ACTIVITIES, &small, sizeof small, &len), SQL_SUCCESS);
    EXPECT_EQ(small, 1);
    EXPECT_EQ(len, 2);
    ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_TXN_CAPABLE, &small, sizeof small, nullptr), SQL_SUCCESS);
    EXPECT_EQ(small, SQL_TC_ALL);
    SQLUINTEGER word = 0;
    ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_PARAM_ARRAY_ROW_COUNTS, &word, sizeof word, &len), SQL_SUCCESS);
    EXPECT_EQ(word, static_cast<SQLUINTEGER>(SQL_PARC_BATCH));
    EXPECT_EQ(len, 4);
    ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_GETDATA_EXTENSIONS, &word, sizeof word, nullptr), SQL_SUCCESS);
    EXPECT_EQ(word, 0u);
    char text[64] = {};
    ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_DATABASE_NAME, text, sizeof text, &len), SQL_SUCCESS);
    EXPECT_STREQ(text, "app");
    EXPECT_EQ(len, 3);
    SQLWCHAR wide[8] = {};
    ASSERT_EQ(SQLGetInfoW(c.dbc(), SQL_DESCRIBE_PARAMETER, wide, sizeof wide, &len), SQL_SUCCESS);
    EXPECT_EQ(from_utf16(reinterpret_cast<const char16_t*>(wide)), "N");
    EXPECT_EQ(len, 2);
    EXPECT_EQ(SQLGetInfo(c.dbc(), 9999, text, sizeof text, &len), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_DBC, c.dbc()).at(0).sqlstate, "HY096");
}

TEST_F(Catalog, FunctionsNamedAreTheOnesImplemented) {
    struct Expect {
        SQLUSMALLINT id;
        bool supported;
    };
    const Expect cases[] = {
        {SQL_API_SQLBINDCOL, true},       {SQL_API_SQLCOLATTRIBUTE, true}, {SQL_API_SQLFETCHSCROLL, true},
        {SQL_API_SQLGETTYPEINFO, true},   {SQL_API_SQLPARAMDATA, true},    {SQL_API_SQLDESCRIBEPARAM, false},
        {SQL_API_SQLSETPOS, false},       {SQL_API_SQLTABLES, false},
    };
    SQLUSMALLINT all[SQL_API_ODBC3_ALL_FUNCTIONS_SIZE] = {};
    ASSERT_EQ(SQLGetFunctions(c.dbc(), SQL_API_ODBC3_ALL_FUNCTIONS, all), SQL_SUCCESS);
    for (const Expect& e : cases) {
        SCOPED_TRACE(e.id);
        SQLUSMALLINT one = 7;
        ASSERT_EQ(SQLGetFunctions(c.dbc(), e.id, &one), SQL_SUCCESS);
        EXPECT_EQ(one, e.supported ? SQL_TRUE : SQL_FALSE);
        EXPECT_EQ(SQL_FUNC_EXISTS(all, e.id), e.supported ? SQL_TRUE : SQL_FALSE);
    }
}

}  // namespace
