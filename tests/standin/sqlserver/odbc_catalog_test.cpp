// What the stand-in driver reports about result columns, parameters, data
// types, the database and itself, as SQL Server's drivers report it:
// SQLColAttribute, SQLDescribeParam, SQLGetTypeInfo, SQLTables, SQLColumns,
// SQLPrimaryKeys, SQLGetInfo and SQLGetFunctions.
#include <gtest/gtest.h>

#include <dlfcn.h>

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
    EXPECT_EQ(from_utf16(reinterpret_cast<const char16_t*>(wide)), "Y");
    EXPECT_EQ(len, 2);
    EXPECT_EQ(SQLGetInfo(c.dbc(), 9999, text, sizeof text, &len), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_DBC, c.dbc()).at(0).sqlstate, "HY096");
}

TEST_F(Catalog, FunctionsNamedAreTheOnesImplemented) {
    // Every function of the API by number: the driver names it exactly when it exports it.
    const struct {
        SQLUSMALLINT id;
        const char* name;
    } api[] = {
        {SQL_API_SQLALLOCCONNECT, "SQLAllocConnect"}, {SQL_API_SQLALLOCENV, "SQLAllocEnv"},
        {SQL_API_SQLALLOCHANDLE, "SQLAllocHandle"}, {SQL_API_SQLALLOCSTMT, "SQLAllocStmt"},
        {SQL_API_SQLBINDCOL, "SQLBindCol"}, {SQL_API_SQLBINDPARAM, "SQLBindParam"},
        {SQL_API_SQLBINDPARAMETER, "SQLBindParameter"}, {SQL_API_SQLBROWSECONNECT, "SQLBrowseConnect"},
        {SQL_API_SQLBULKOPERATIONS, "SQLBulkOperations"}, {SQL_API_SQLCANCEL, "SQLCancel"},
        {SQL_API_SQLCLOSECURSOR, "SQLCloseCursor"}, {SQL_API_SQLCOLATTRIBUTE, "SQLColAttribute"},
        {SQL_API_SQLCOLUMNPRIVILEGES, "SQLColumnPrivileges"}, {SQL_API_SQLCOLUMNS, "SQLColumns"},
        {SQL_API_SQLCONNECT, "SQLConnect"}, {SQL_API_SQLCOPYDESC, "SQLCopyDesc"},
        {SQL_API_SQLDATASOURCES, "SQLDataSources"}, {SQL_API_SQLDESCRIBECOL, "SQLDescribeCol"},
        {SQL_API_SQLDESCRIBEPARAM, "SQLDescribeParam"}, {SQL_API_SQLDISCONNECT, "SQLDisconnect"},
        {SQL_API_SQLDRIVERCONNECT, "SQLDriverConnect"}, {SQL_API_SQLENDTRAN, "SQLEndTran"},
        {SQL_API_SQLERROR, "SQLError"}, {SQL_API_SQLEXECDIRECT, "SQLExecDirect"},
        {SQL_API_SQLEXECUTE, "SQLExecute"}, {SQL_API_SQLEXTENDEDFETCH, "SQLExtendedFetch"},
        {SQL_API_SQLFETCH, "SQLFetch"}, {SQL_API_SQLFETCHSCROLL, "SQLFetchScroll"},
        {SQL_API_SQLFOREIGNKEYS, "SQLForeignKeys"}, {SQL_API_SQLFREECONNECT, "SQLFreeConnect"},
        {SQL_API_SQLFREEENV, "SQLFreeEnv"}, {SQL_API_SQLFREEHANDLE, "SQLFreeHandle"},
        {SQL_API_SQLFREESTMT, "SQLFreeStmt"}, {SQL_API_SQLGETCONNECTATTR, "SQLGetConnectAttr"},
        {SQL_API_SQLGETCONNECTOPTION, "SQLGetConnectOption"}, {SQL_API_SQLGETCURSORNAME, "SQLGetCursorName"},
        {SQL_API_SQLGETDATA, "SQLGetData"}, {SQL_API_SQLGETDESCFIELD, "SQLGetDescField"},
        {SQL_API_SQLGETDESCREC, "SQLGetDescRec"}, {SQL_API_SQLGETDIAGFIELD, "SQLGetDiagField"},
        {SQL_API_SQLGETDIAGREC, "SQLGetDiagRec"}, {SQL_API_SQLGETENVATTR, "SQLGetEnvAttr"},
        {SQL_API_SQLGETFUNCTIONS, "SQLGetFunctions"}, {SQL_API_SQLGETINFO, "SQLGetInfo"},
        {SQL_API_SQLGETSTMTATTR, "SQLGetStmtAttr"}, {SQL_API_SQLGETSTMTOPTION, "SQLGetStmtOption"},
        {SQL_API_SQLGETTYPEINFO, "SQLGetTypeInfo"}, {SQL_API_SQLMORERESULTS, "SQLMoreResults"},
        {SQL_API_SQLNATIVESQL, "SQLNativeSql"}, {SQL_API_SQLNUMPARAMS, "SQLNumParams"},
        {SQL_API_SQLNUMRESULTCOLS, "SQLNumResultCols"}, {SQL_API_SQLPARAMDATA, "SQLParamData"},
        {SQL_API_SQLPARAMOPTIONS, "SQLParamOptions"}, {SQL_API_SQLPREPARE, "SQLPrepare"},
        {SQL_API_SQLPRIMARYKEYS, "SQLPrimaryKeys"}, {SQL_API_SQLPROCEDURECOLUMNS, "SQLProcedureColumns"},
        {SQL_API_SQLPROCEDURES, "SQLProcedures"}, {SQL_API_SQLPUTDATA, "SQLPutData"},
        {SQL_API_SQLROWCOUNT, "SQLRowCount"}, {SQL_API_SQLSETCONNECTATTR, "SQLSetConnectAttr"},
        {SQL_API_SQLSETCONNECTOPTION, "SQLSetConnectOption"}, {SQL_API_SQLSETCURSORNAME, "SQLSetCursorName"},
        {SQL_API_SQLSETDESCFIELD, "SQLSetDescField"}, {SQL_API_SQLSETDESCREC, "SQLSetDescRec"},
        {SQL_API_SQLSETENVATTR, "SQLSetEnvAttr"}, {SQL_API_SQLSETPARAM, "SQLSetParam"},
        {SQL_API_SQLSETPOS, "SQLSetPos"}, {SQL_API_SQLSETSCROLLOPTIONS, "SQLSetScrollOptions"},
        {SQL_API_SQLSETSTMTATTR, "SQLSetStmtAttr"}, {SQL_API_SQLSETSTMTOPTION, "SQLSetStmtOption"},
        {SQL_API_SQLSPECIALCOLUMNS, "SQLSpecialColumns"}, {SQL_API_SQLSTATISTICS, "SQLStatistics"},
        {SQL_API_SQLTABLEPRIVILEGES, "SQLTablePrivileges"}, {SQL_API_SQLTABLES, "SQLTables"},
        {SQL_API_SQLTRANSACT, "SQLTransact"},
    };
    void* driver = dlopen(STANDIN_DRIVER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(driver, nullptr) << dlerror();
    // Asked of the driver itself: the driver manager answers SQLGetFunctions from the exports alone.
    using AllocHandle = SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
    using FreeHandle = SQLRETURN (*)(SQLSMALLINT, SQLHANDLE);
    using GetFunctions = SQLRETURN (*)(SQLHDBC, SQLUSMALLINT, SQLUSMALLINT*);
    auto alloc = reinterpret_cast<AllocHandle>(dlsym(driver, "SQLAllocHandle"));
    auto free_handle = reinterpret_cast<FreeHandle>(dlsym(driver, "SQLFreeHandle"));
    auto get_functions = reinterpret_cast<GetFunctions>(dlsym(driver, "SQLGetFunctions"));
    ASSERT_TRUE(alloc && free_handle && get_functions);
    SQLHANDLE env = nullptr, dbc = nullptr;
    ASSERT_EQ(alloc(SQL_HANDLE_ENV, nullptr, &env), SQL_SUCCESS);
    ASSERT_EQ(alloc(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
    SQLUSMALLINT all[SQL_API_ODBC3_ALL_FUNCTIONS_SIZE] = {};
    ASSERT_EQ(get_functions(dbc, SQL_API_ODBC3_ALL_FUNCTIONS, all), SQL_SUCCESS);
    for (const auto& f : api) {
        SCOPED_TRACE(f.name);
        const SQLUSMALLINT exported = dlsym(driver, f.name) ? SQL_TRUE : SQL_FALSE;
        SQLUSMALLINT one = 7;
        ASSERT_EQ(get_functions(dbc, f.id, &one), SQL_SUCCESS);
        EXPECT_EQ(one, exported);
        EXPECT_EQ(SQL_FUNC_EXISTS(all, f.id), exported);
    }
    // And through the driver manager, as common tools ask.
    struct Expect {
        SQLUSMALLINT id;
        bool supported;
    };
    const Expect cases[] = {
        {SQL_API_SQLBINDCOL, true},       {SQL_API_SQLCOLATTRIBUTE, true},  {SQL_API_SQLFETCHSCROLL, true},
        {SQL_API_SQLGETTYPEINFO, true},   {SQL_API_SQLPARAMDATA, true},     {SQL_API_SQLDESCRIBEPARAM, true},
        {SQL_API_SQLSETPOS, false},       {SQL_API_SQLTABLES, true},        {SQL_API_SQLCOLUMNS, true},
        {SQL_API_SQLPRIMARYKEYS, true},   {SQL_API_SQLFOREIGNKEYS, false},  {SQL_API_SQLSTATISTICS, false},
    };
    SQLUSMALLINT through_manager[SQL_API_ODBC3_ALL_FUNCTIONS_SIZE] = {};
    ASSERT_EQ(SQLGetFunctions(c.dbc(), SQL_API_ODBC3_ALL_FUNCTIONS, through_manager), SQL_SUCCESS);
    for (const Expect& e : cases) {
        SCOPED_TRACE(e.id);
        SQLUSMALLINT one = 7;
        ASSERT_EQ(SQLGetFunctions(c.dbc(), e.id, &one), SQL_SUCCESS);
        EXPECT_EQ(one, e.supported ? SQL_TRUE : SQL_FALSE);
        EXPECT_EQ(SQL_FUNC_EXISTS(through_manager, e.id), e.supported ? SQL_TRUE : SQL_FALSE);
    }
    free_handle(SQL_HANDLE_DBC, dbc);
    free_handle(SQL_HANDLE_ENV, env);
    dlclose(driver);
}

// Text arguments of the catalog functions: nullptr stands for a null pointer.
SQLCHAR* arg(const char* s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s)); }

class CatalogFunctions : public Catalog {
protected:
    void SetUp() override {
        for (const char* sql : {
                 "CREATE SCHEMA sales",
                 "CREATE TABLE dbo.items (id int IDENTITY(1,1) PRIMARY KEY, name nvarchar(40) NOT NULL DEFAULT N'none',"
                 " amount decimal(9,2) DEFAULT ((0)), ratio float, stamp datetime2(3), day date, data varbinary(max),"
                 " code char(4), ref uniqueidentifier)",
                 "CREATE TABLE dbo.item_tags (tag varchar(10) NOT NULL, item_id int NOT NULL,"
                 " CONSTRAINT pk_item_tags PRIMARY KEY (item_id, tag))",
                 "CREATE TABLE dbo.itemsx (a int)",
                 "CREATE TABLE sales.orders (id bigint PRIMARY KEY, item_id int, quantity smallint NOT NULL)",
             })
            ASSERT_TRUE(runs(c, sql));
    }
};

TEST_F(CatalogFunctions, TablesMatchPatternsAndTypes) {
    OdbcConnection other{dir, "archive"};  // a second database in the data directory
    struct Case {
        const char *catalog, *schema, *table, *types;
        Rows expected;  // TABLE_CAT, TABLE_SCHEM, TABLE_NAME, TABLE_TYPE
    };
    const Case cases[] = {
        {nullptr, "dbo", nullptr, nullptr,
         {{"app", "dbo", "item_tags", "TABLE"}, {"app", "dbo", "items", "TABLE"}, {"app", "dbo", "itemsx", "TABLE"}}},
        {nullptr, nullptr, "item_", nullptr, {{"app", "dbo", "items", "TABLE"}}},
        {nullptr, nullptr, "item\\_%", nullptr, {{"app", "dbo", "item_tags", "TABLE"}}},
        {"app", "%", "%ORDER%", "'TABLE','VIEW'", {{"app", "sales", "orders", "TABLE"}}},
        {nullptr, "SYS", "%key_c%", nullptr,
         {{"app", "sys", "foreign_key_columns", "VIEW"}, {"app", "sys", "key_constraints", "VIEW"}}},
        {nullptr, "s%", "o%s", " TABLE , VIEW ", {{"app", "sales", "orders", "TABLE"}, {"app", "sys", "objects", "VIEW"}}},
        {nullptr, "dbo", "%", "VIEW", {}},
        {nullptr, "dbo", "", nullptr, {}},
        {"archive", nullptr, nullptr, nullptr, {}},
        // The enumerations: databases, schemas and table types.
        {"%", "", "", nullptr, {{"app", "NULL", "NULL", "NULL"}, {"archive", "NULL", "NULL", "NULL"}}},
        {"", "%", "", nullptr,
         {{"NULL", "dbo", "NULL", "NULL"}, {"NULL", "guest", "NULL", "NULL"}, {"NULL", "INFORMATION_SCHEMA", "NULL", "NULL"},
          {"NULL", "sales", "NULL", "NULL"}, {"NULL", "sys", "NULL", "NULL"}}},
        {"", "", "", "%", {{"NULL", "NULL", "NULL", "SYSTEM TABLE"}, {"NULL", "NULL", "NULL", "TABLE"}, {"NULL", "NULL", "NULL", "VIEW"}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.catalog ? k.catalog : "NULL") + " " + (k.schema ? k.schema : "NULL") + " " +
                     (k.table ? k.table : "NULL") + " " + (k.types ? k.types : "NULL"));
        SQLHSTMT q = c.stmt();
        ASSERT_EQ(SQLTables(q, arg(k.catalog), SQL_NTS, arg(k.schema), SQL_NTS, arg(k.table), SQL_NTS, arg(k.types), SQL_NTS),
                  SQL_SUCCESS);
        Rows got;
        for (auto& row : fetch_rows(q)) {
            ASSERT_EQ(row.size(), 5u);
            EXPECT_EQ(row[4], "NULL");
            got.push_back({row[0], row[1], row[2], row[3]});
        }
        EXPECT_EQ(got, k.expected);
    }
    // The result's columns, with the names tools read them by.
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLTables(q, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), SQL_SUCCESS);
    std::vector<std::string> names;
    for (SQLUSMALLINT col = 1; col <= 5; ++col) {
        SQLCHAR name[32] = {};
        ASSERT_EQ(SQLDescribeCol(q, col, name, sizeof name, nullptr, nullptr, nullptr, nullptr, nullptr), SQL_SUCCESS);
        names.push_back(reinterpret_cast<char*>(name));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"TABLE_CAT", "TABLE_SCHEM", "TABLE_NAME", "TABLE_TYPE", "REMARKS"}));
    Rows all = fetch_rows(q);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front()[3], "TABLE");
    EXPECT_EQ(all.back()[3], "VIEW");
}

TEST_F(CatalogFunctions, ColumnsAreDescribedAsTheirResultColumnsAre) {
    struct Expect {
        const char* column;
        const char* decimal_digits;
        const char* radix;
        const char* column_def;
        const char* datetime_sub;
        const char* char_octets;
        bool nullable;
    };
    const Expect cases[] = {
        {"id", "0", "10", "NULL", "NULL", "NULL", false},
        {"name", "NULL", "NULL", "(N'none')", "NULL", "80", false},
        {"amount", "2", "10", "((0))", "NULL", "NULL", true},
        {"ratio", "NULL", "2", "NULL", "NULL", "NULL", true},
        {"stamp", "3", "NULL", "NULL", "3", "NULL", true},
        {"day", "NULL", "NULL", "NULL", "1", "NULL", true},
        {"data", "NULL", "NULL", "NULL", "NULL", "2147483647", true},
        {"code", "NULL", "NULL", "NULL", "NULL", "4", true},
        {"ref", "NULL", "NULL", "NULL", "NULL", "NULL", true},
    };
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLColumns(q, arg("app"), SQL_NTS, arg("dbo"), SQL_NTS, arg("items"), SQL_NTS, nullptr, 0), SQL_SUCCESS);
    SQLSMALLINT ncols = 0;
    SQLNumResultCols(q, &ncols);
    ASSERT_EQ(ncols, 18);
    SQLCHAR last[32] = {};
    SQLDescribeCol(q, 18, last, sizeof last, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(last), "IS_NULLABLE");
    const Rows rows = fetch_rows(q);
    ASSERT_EQ(rows.size(), std::size(cases));

    // The same columns as a query's result describes them.
    SQLHSTMT r = c.stmt();
    CursorCloser closer{r};
    ASSERT_EQ(SQLExecDirect(r, arg("SELECT id, name, amount, ratio, stamp, day, data, code, ref FROM dbo.items"), SQL_NTS),
              SQL_SUCCESS);
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        const Expect& e = cases[i];
        SCOPED_TRACE(e.column);
        SQLSMALLINT type = 0, digits = 0;
        SQLULEN size = 0;
        const auto col = static_cast<SQLUSMALLINT>(i + 1);
        SQLCHAR column_name[32];
        ASSERT_EQ(SQLDescribeCol(r, col, column_name, sizeof column_name, nullptr, &type, &size, &digits, nullptr),
                  SQL_SUCCESS);
        char type_name[32] = {};
        SQLLEN octets = 0, sql_type = 0;
        SQLColAttribute(r, col, SQL_DESC_TYPE_NAME, type_name, sizeof type_name, nullptr, nullptr);
        SQLColAttribute(r, col, SQL_DESC_OCTET_LENGTH, nullptr, 0, nullptr, &octets);
        SQLColAttribute(r, col, SQL_DESC_TYPE, nullptr, 0, nullptr, &sql_type);
        EXPECT_EQ((std::vector<std::string>(row.begin(), row.begin() + 4)),
                  (std::vector<std::string>{"app", "dbo", "items", e.column}));
        EXPECT_EQ(row[4], std::to_string(type));
        EXPECT_EQ(row[5], type_name);
        EXPECT_EQ(row[6], std::to_string(size));
        EXPECT_EQ(row[7], std::to_string(octets));
        EXPECT_EQ(row[8], e.decimal_digits);
        if (row[8] != "NULL") {
            EXPECT_EQ(row[8], std::to_string(digits));
        }
        EXPECT_EQ(row[9], e.radix);
        EXPECT_EQ(row[10], std::to_string(e.nullable ? SQL_NULLABLE : SQL_NO_NULLS));
        EXPECT_EQ(row[11], "NULL");
        EXPECT_EQ(row[12], e.column_def);
        EXPECT_EQ(row[13], std::to_string(sql_type));
        EXPECT_EQ(row[14], e.datetime_sub);
        EXPECT_EQ(row[15], e.char_octets);
        EXPECT_EQ(row[16], std::to_string(i + 1));
        EXPECT_EQ(row[17], e.nullable ? "YES" : "NO");
    }

    SQLCloseCursor(r);

    // Patterns select tables and columns, in schema, table and position order.
    struct Search {
        const char *schema, *table, *column;
        Rows expected;  // TABLE_SCHEM, TABLE_NAME, COLUMN_NAME
    };
    const Search searches[] = {
        {nullptr, "%", "item\\_id",
         {{"dbo", "item_tags", "item_id"}, {"sales", "orders", "item_id"}}},
        {"DBO", "item%", "_",
         {{"dbo", "itemsx", "a"}}},
        {nullptr, "item_tags", nullptr, {{"dbo", "item_tags", "tag"}, {"dbo", "item_tags", "item_id"}}},
        {"sys", "schemas", nullptr,
         {{"sys", "schemas", "name"}, {"sys", "schemas", "schema_id"}, {"sys", "schemas", "principal_id"}}},
        {"sales", "items", nullptr, {}},
        // isql's "help sales.orders": the schema inside the table name.
        {nullptr, "sales.orders", "q%", {{"sales", "orders", "quantity"}}},
        {"dbo", "sales.orders", nullptr, {}},
    };
    for (const Search& k : searches) {
        SCOPED_TRACE(std::string(k.schema ? k.schema : "NULL") + " " + k.table + " " + (k.column ? k.column : "NULL"));
        SQLHSTMT s = c.stmt();
        ASSERT_EQ(SQLColumns(s, nullptr, 0, arg(k.schema), SQL_NTS, arg(k.table), SQL_NTS, arg(k.column), SQL_NTS),
                  SQL_SUCCESS);
        Rows got;
        for (auto& row : fetch_rows(s)) got.push_back({row[1], row[2], row[3]});
        EXPECT_EQ(got, k.expected);
    }
}

TEST_F(CatalogFunctions, PrimaryKeysInKeyOrder) {
    struct Case {
        const char *schema, *table;
        Rows expected;  // TABLE_SCHEM, TABLE_NAME, COLUMN_NAME, KEY_SEQ
    };
    const Case cases[] = {
        {"dbo", "item_tags", {{"dbo", "item_tags", "item_id", "1"}, {"dbo", "item_tags", "tag", "2"}}},
        {nullptr, "ORDERS", {{"sales", "orders", "id", "1"}}},
        {"dbo", "orders", {}},
        {nullptr, "itemsx", {}},
        {nullptr, "item%", {}},  // a name, not a pattern
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.table);
        SQLHSTMT q = c.stmt();
        ASSERT_EQ(SQLPrimaryKeys(q, nullptr, 0, arg(k.schema), SQL_NTS, arg(k.table), SQL_NTS), SQL_SUCCESS);
        Rows got;
        for (auto& row : fetch_rows(q)) got.push_back({row[1], row[2], row[3], row[4]});
        EXPECT_EQ(got, k.expected);
    }
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLPrimaryKeys(q, nullptr, 0, nullptr, 0, arg("item_tags"), SQL_NTS), SQL_SUCCESS);
    EXPECT_EQ(fetch_rows(q).at(0).at(5), "pk_item_tags");
    q = c.stmt();
    ASSERT_EQ(SQLPrimaryKeys(q, nullptr, 0, nullptr, 0, nullptr, 0), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "HY009");
}

TEST_F(CatalogFunctions, ParametersAreDescribedByTheColumnTheyMeet) {
    struct Param {
        SQLSMALLINT type;  // 0: not described
        SQLULEN size;
        SQLSMALLINT digits, nullable;
    };
    const Param id{SQL_INTEGER, 10, 0, SQL_NO_NULLS}, name{SQL_WVARCHAR, 40, 0, SQL_NO_NULLS},
        amount{SQL_DECIMAL, 9, 2, SQL_NULLABLE}, stamp{SQL_TYPE_TIMESTAMP, 23, 3, SQL_NULLABLE},
        quantity{SQL_SMALLINT, 5, 0, SQL_NO_NULLS}, tag{SQL_VARCHAR, 10, 0, SQL_NO_NULLS}, none{0, 0, 0, 0};
    struct Case {
        const char* sql;
        std::vector<Param> params;
    };
    const Case cases[] = {
        {"INSERT INTO dbo.items (amount, name) VALUES (?, ?)", {amount, name}},
        // Without a column list the identity column takes no value.
        {"INSERT INTO dbo.items VALUES (?, ?, 0.5, ?, NULL, NULL, NULL, NULL)", {name, amount, stamp}},
        {"INSERT INTO dbo.item_tags (item_id, tag) SELECT ?, ?", {id, tag}},
        {"UPDATE dbo.items SET amount = ?, stamp = ? WHERE id = ?", {amount, stamp, id}},
        {"UPDATE dbo.items SET amount = amount * ? WHERE id % ? = 0", {amount, id}},
        {"UPDATE i SET amount = ? FROM dbo.items i JOIN sales.orders o ON o.item_id = i.id WHERE o.quantity > ?",
         {amount, quantity}},
        {"SELECT name FROM dbo.items x WHERE x.id IN (?, ?) AND ? < amount OR name LIKE ?", {id, id, amount, name}},
        {"DELETE FROM sales.orders WHERE quantity BETWEEN ? AND ? AND item_id = ?",
         {quantity, quantity, {SQL_INTEGER, 10, 0, SQL_NULLABLE}}},
        {"SELECT 1 FROM sales.orders o WHERE EXISTS (SELECT 1 FROM dbo.items i WHERE i.id = o.item_id AND i.amount = ?)",
         {amount}},
        {"SELECT ?, ? + 1 FROM dbo.items WHERE ? = ? OR ? IS NULL", {none, none, none, none, none}},
        {"CREATE TABLE #t (a int); INSERT INTO #t (a) VALUES (?)", {none}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sql);
        SQLHSTMT q = c.stmt();
        ASSERT_EQ(SQLPrepare(q, arg(k.sql), SQL_NTS), SQL_SUCCESS);
        for (size_t i = 0; i < k.params.size(); ++i) {
            SCOPED_TRACE(i + 1);
            const Param& e = k.params[i];
            Param got{-1, 0, -1, -1};
            const SQLRETURN rc =
                SQLDescribeParam(q, static_cast<SQLUSMALLINT>(i + 1), &got.type, &got.size, &got.digits, &got.nullable);
            if (e.type == 0) {
                ASSERT_EQ(rc, SQL_ERROR);
                EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "HY000");
                continue;
            }
            ASSERT_EQ(rc, SQL_SUCCESS);
            EXPECT_EQ(got.type, e.type);
            EXPECT_EQ(got.size, e.size);
            EXPECT_EQ(got.digits, e.digits);
            EXPECT_EQ(got.nullable, e.nullable);
        }
    }
    SQLHSTMT q = c.stmt();
    SQLSMALLINT type = 0;
    EXPECT_EQ(SQLDescribeParam(q, 1, &type, nullptr, nullptr, nullptr), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "HY010");
    ASSERT_EQ(SQLPrepare(q, arg("SELECT 1 FROM dbo.items WHERE id = ?"), SQL_NTS), SQL_SUCCESS);
    for (SQLUSMALLINT number : {0, 2}) {
        EXPECT_EQ(SQLDescribeParam(q, number, &type, nullptr, nullptr, nullptr), SQL_ERROR);
        EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "07009");
    }
}

}  // namespace
