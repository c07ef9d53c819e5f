// Arrays through the stand-in driver: parameter arrays executing one
// statement text for many parameter sets, rowsets into bound columns, the
// order SQLGetData reads columns in, and the execution counts.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "odbc_client.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class Arrays : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "app"};

    void SetUp() override {
        ASSERT_TRUE(SQL_SUCCEEDED(c.exec("CREATE TABLE dbo.items (id int PRIMARY KEY, name nvarchar(20) NULL, qty bigint NULL)")));
    }
    SQLHSTMT prepared(const std::string& sql) {
        SQLHSTMT st = c.stmt();
        EXPECT_EQ(SQLPrepare(st, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_SUCCESS);
        return st;
    }
    static void set_attr(SQLHSTMT st, SQLINTEGER attr, SQLULEN value) {
        ASSERT_EQ(SQLSetStmtAttr(st, attr, reinterpret_cast<SQLPOINTER>(value), 0), SQL_SUCCESS);
    }
    static void set_ptr(SQLHSTMT st, SQLINTEGER attr, void* p) { ASSERT_EQ(SQLSetStmtAttr(st, attr, p, 0), SQL_SUCCESS); }
};

// Column-wise arrays: fixed-size values step by their C type's size, texts by
// the buffer length, indicators by one SQLLEN; each set is an execution of
// its own, with its own row count read through SQLMoreResults.
TEST_F(Arrays, ColumnWiseSetsEachRunTheStatement) {
    SQLHSTMT st = prepared("INSERT INTO dbo.items (id, name, qty) VALUES (?, ?, ?)");
    SQLINTEGER ids[4] = {1, 2, 3, 4};
    char names[4][8] = {"one", "two", "", "four"};
    SQLLEN name_len[4] = {3, SQL_NTS, SQL_NULL_DATA, 4};
    SQLBIGINT qty[4] = {10, 20, 30, 40};
    SQLLEN qty_ind[4] = {8, SQL_NULL_DATA, 8, 8};
    SQLUSMALLINT status[4] = {99, 99, 99, 99};
    SQLULEN processed = 0;
    set_attr(st, SQL_ATTR_PARAMSET_SIZE, 4);
    set_ptr(st, SQL_ATTR_PARAM_STATUS_PTR, status);
    set_ptr(st, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed);
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ids, 0, nullptr);
    SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 20, 0, names, sizeof names[0], name_len);
    SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, qty, 0, qty_ind);
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS) << OdbcConnection::diags(SQL_HANDLE_STMT, st).at(0).message;
    EXPECT_EQ(processed, 4u);
    for (SQLUSMALLINT s : status) EXPECT_EQ(s, SQL_PARAM_SUCCESS);
    for (int set = 0; set < 4; ++set) {
        SQLLEN count = -7;
        SQLRowCount(st, &count);
        EXPECT_EQ(count, 1) << "set " << set;
        EXPECT_EQ(SQLMoreResults(st), set < 3 ? SQL_SUCCESS : SQL_NO_DATA);
    }
    EXPECT_EQ(c.query("SELECT id, name, qty FROM dbo.items ORDER BY id"),
              (Rows{{"1", "one", "10"}, {"2", "two", "NULL"}, {"3", "NULL", "30"}, {"4", "four", "40"}}));

    // The same statement again with fewer sets, now as UPDATEs that touch nothing in one set.
    SQLHSTMT up = prepared("UPDATE dbo.items SET qty = qty + 1 WHERE id = ?");
    SQLINTEGER keys[3] = {1, 99, 4};
    set_attr(up, SQL_ATTR_PARAMSET_SIZE, 3);
    SQLBindParameter(up, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, keys, 0, nullptr);
    ASSERT_EQ(SQLExecute(up), SQL_SUCCESS);
    std::vector<SQLLEN> counts;
    do {
        SQLLEN n = -7;
        SQLRowCount(up, &n);
        counts.push_back(n);
    } while (SQLMoreResults(up) == SQL_SUCCESS);
    EXPECT_EQ(counts, (std::vector<SQLLEN>{1, 0, 1}));
    EXPECT_EQ(c.query("SELECT SUM(qty) FROM dbo.items"), (Rows{{"82"}}));
}

// Row-wise arrays step every pointer by the structure's size, moved by the
// bind offset; a packed structure puts values and indicators at odd
// addresses. A set marked SQL_PARAM_IGNORE is not run.
TEST_F(Arrays, RowWiseSetsWithAnOffsetAndAnIgnoredSet) {
    struct __attribute__((packed)) Row {
        char tag;
        SQLINTEGER id;
        SQLLEN id_ind;
        SQLWCHAR name[8];
        SQLLEN name_len;
    };
    Row rows[5] = {};  // the first row is skipped by the offset
    char* base = reinterpret_cast<char*>(rows);
    for (int i = 1; i < 5; ++i) {
        const SQLINTEGER id = 10 * i;
        std::u16string n = to_utf16("n" + std::to_string(i) + "é");
        const SQLLEN len = static_cast<SQLLEN>(n.size() * 2);
        std::memcpy(base + i * sizeof(Row) + offsetof(Row, id), &id, sizeof id);
        std::memcpy(base + i * sizeof(Row) + offsetof(Row, name), n.data(), n.size() * 2);
        std::memcpy(base + i * sizeof(Row) + offsetof(Row, name_len), &len, sizeof len);
    }
    SQLULEN offset = sizeof(Row);
    SQLUSMALLINT operations[4] = {SQL_PARAM_PROCEED, SQL_PARAM_IGNORE, SQL_PARAM_PROCEED, SQL_PARAM_PROCEED};
    SQLUSMALLINT status[4] = {};
    SQLULEN processed = 0;
    SQLHSTMT st = prepared("INSERT INTO dbo.items (id, name) VALUES (?, ?)");
    set_attr(st, SQL_ATTR_PARAMSET_SIZE, 4);
    set_attr(st, SQL_ATTR_PARAM_BIND_TYPE, sizeof(Row));
    set_ptr(st, SQL_ATTR_PARAM_BIND_OFFSET_PTR, &offset);
    set_ptr(st, SQL_ATTR_PARAM_OPERATION_PTR, operations);
    set_ptr(st, SQL_ATTR_PARAM_STATUS_PTR, status);
    set_ptr(st, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed);
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, base + offsetof(Row, id), 0,
                     reinterpret_cast<SQLLEN*>(base + offsetof(Row, id_ind)));
    SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 8, 0, base + offsetof(Row, name), 16,
                     reinterpret_cast<SQLLEN*>(base + offsetof(Row, name_len)));
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS) << OdbcConnection::diags(SQL_HANDLE_STMT, st).at(0).message;
    EXPECT_EQ(processed, 4u);
    EXPECT_EQ(std::vector<SQLUSMALLINT>(status, status + 4),
              (std::vector<SQLUSMALLINT>{SQL_PARAM_SUCCESS, SQL_PARAM_UNUSED, SQL_PARAM_SUCCESS, SQL_PARAM_SUCCESS}));
    EXPECT_EQ(c.query("SELECT id, name FROM dbo.items ORDER BY id"), (Rows{{"10", "n1é"}, {"30", "n3é"}, {"40", "n4é"}}));
}

// A set that fails is reported with its number and the others still run
// and stay applied; the call fails as a whole.
TEST_F(Arrays, FailedSetsAreReportedEachWithItsNumber) {
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("INSERT INTO dbo.items (id) VALUES (2)")));
    SQLHSTMT st = prepared("INSERT INTO dbo.items (id, qty) VALUES (?, ?)");
    SQLINTEGER ids[4] = {1, 2, 3, 2};
    SQLBIGINT qty[4] = {1, 2, 3, 4};
    SQLUSMALLINT status[4] = {};
    SQLULEN processed = 0;
    set_attr(st, SQL_ATTR_PARAMSET_SIZE, 4);
    set_ptr(st, SQL_ATTR_PARAM_STATUS_PTR, status);
    set_ptr(st, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed);
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ids, 0, nullptr);
    SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, qty, 0, nullptr);
    ASSERT_EQ(SQLExecute(st), SQL_ERROR);
    EXPECT_EQ(processed, 4u);
    EXPECT_EQ(std::vector<SQLUSMALLINT>(status, status + 4),
              (std::vector<SQLUSMALLINT>{SQL_PARAM_SUCCESS, SQL_PARAM_ERROR, SQL_PARAM_SUCCESS, SQL_PARAM_ERROR}));
    std::vector<std::pair<SQLLEN, int>> failures;
    SQLINTEGER records = 0;
    SQLGetDiagField(SQL_HANDLE_STMT, st, 0, SQL_DIAG_NUMBER, &records, SQL_IS_INTEGER, nullptr);
    for (SQLSMALLINT r = 1; r <= records; ++r) {
        SQLLEN row = 0;
        SQLINTEGER native = 0;
        SQLGetDiagField(SQL_HANDLE_STMT, st, r, SQL_DIAG_ROW_NUMBER, &row, SQL_IS_INTEGER, nullptr);
        SQLGetDiagField(SQL_HANDLE_STMT, st, r, SQL_DIAG_NATIVE, &native, SQL_IS_INTEGER, nullptr);
        if (native == 2627) failures.emplace_back(row, native);
    }
    EXPECT_EQ(failures, (std::vector<std::pair<SQLLEN, int>>{{2, 2627}, {4, 2627}}));
    EXPECT_EQ(c.query("SELECT id, qty FROM dbo.items ORDER BY id"), (Rows{{"1", "1"}, {"2", "NULL"}, {"3", "3"}}));


    // In a transaction the caller can take the applied sets back.
    SQLSetConnectAttr(c.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    SQLINTEGER more[2] = {5, 3};
    set_attr(st, SQL_ATTR_PARAMSET_SIZE, 2);
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, more, 0, nullptr);
    EXPECT_EQ(SQLExecute(st), SQL_ERROR);
    EXPECT_EQ(std::vector<SQLUSMALLINT>(status, status + 2), (std::vector<SQLUSMALLINT>{SQL_PARAM_SUCCESS, SQL_PARAM_ERROR}));
    ASSERT_EQ(SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_ROLLBACK), SQL_SUCCESS);
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.items"), (Rows{{"3"}}));
}

// A deadlock victim's rollback ends the batch: the sets after it are not run.
TEST(ArraysDeadlock, TheSetsAfterAVictimAreUnused) {
    std::string dir = make_data_dir();
    {
        OdbcConnection setup(dir, "app");
        ASSERT_TRUE(SQL_SUCCEEDED(setup.exec("CREATE TABLE dbo.w (a int)")));
    }
    OdbcConnection c(dir, "app", "Fault=1205:2:INSERT INTO dbo.w");
    SQLHSTMT st = c.stmt();
    ASSERT_EQ(SQLPrepare(st, (SQLCHAR*)"INSERT INTO dbo.w VALUES (?)", SQL_NTS), SQL_SUCCESS);
    SQLINTEGER values[3] = {1, 2, 3};
    SQLUSMALLINT status[3] = {};
    SQLSetStmtAttr(st, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(3), 0);
    SQLSetStmtAttr(st, SQL_ATTR_PARAM_STATUS_PTR, status, 0);
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, values, 0, nullptr);
    EXPECT_EQ(SQLExecute(st), SQL_ERROR);
    EXPECT_EQ(std::vector<SQLUSMALLINT>(status, status + 3),
              (std::vector<SQLUSMALLINT>{SQL_PARAM_SUCCESS, SQL_PARAM_ERROR, SQL_PARAM_UNUSED}));
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, st).at(0).native, 1205);
    EXPECT_EQ(c.query("SELECT a FROM dbo.w"), (Rows{{"1"}}));
}

// A query with an array gives one result set per set; data-at-execution
// values are asked for set by set with each set's own pointer.
TEST_F(Arrays, QueriesAndDataAtExecutionPerSet) {
    SQLHSTMT q = prepared("SELECT ? * 10, ?");
    SQLINTEGER n[3] = {1, 2, 3};
    char tokens[3][4] = {"t0", "t1", "t2"};
    SQLLEN dae[3] = {SQL_DATA_AT_EXEC, SQL_DATA_AT_EXEC, SQL_DATA_AT_EXEC};
    set_attr(q, SQL_ATTR_PARAMSET_SIZE, 3);
    SQLBindParameter(q, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, n, 0, nullptr);
    SQLBindParameter(q, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, tokens, sizeof tokens[0], dae);
    ASSERT_EQ(SQLExecute(q), SQL_NEED_DATA);
    std::vector<std::string> asked;
    SQLPOINTER token = nullptr;
    SQLRETURN rc;
    while ((rc = SQLParamData(q, &token)) == SQL_NEED_DATA) {
        asked.push_back(static_cast<const char*>(token));
        std::string value = "v" + asked.back().substr(1);
        if (asked.size() == 2) SQLPutData(q, nullptr, SQL_NULL_DATA);
        else SQLPutData(q, value.data(), static_cast<SQLLEN>(value.size()));
    }
    ASSERT_EQ(rc, SQL_SUCCESS);
    EXPECT_EQ(asked, (std::vector<std::string>{"t0", "t1", "t2"}));
    Rows got;
    do {
        while (SQLFetch(q) == SQL_SUCCESS) got.push_back({get_text(q, 1).value_or("NULL"), get_text(q, 2).value_or("NULL")});
    } while (SQLMoreResults(q) == SQL_SUCCESS);
    EXPECT_EQ(got, (Rows{{"10", "v0"}, {"20", "NULL"}, {"30", "v2"}}));
}

// Bound columns fill a rowset column-wise or row-wise; a text too long for
// its buffer is cut with 01004 and its whole length in the indicator.
TEST_F(Arrays, RowsetsFillBoundColumns) {
    ASSERT_TRUE(SQL_SUCCEEDED(
        c.exec("INSERT INTO dbo.items VALUES (1, N'alpha', 5), (2, NULL, NULL), (3, N'a much longer name', 7)")));
    SQLHSTMT q = c.stmt();
    SQLINTEGER ids[2];
    char names[2][8];
    SQLLEN id_ind[2], name_ind[2];
    SQLUSMALLINT row_status[2];
    SQLULEN fetched = 0;
    set_attr(q, SQL_ATTR_ROW_ARRAY_SIZE, 2);
    set_ptr(q, SQL_ATTR_ROW_STATUS_PTR, row_status);
    set_ptr(q, SQL_ATTR_ROWS_FETCHED_PTR, &fetched);
    ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT id, name, qty FROM dbo.items ORDER BY id", SQL_NTS), SQL_SUCCESS);
    SQLBindCol(q, 1, SQL_C_SLONG, ids, 0, id_ind);
    SQLBindCol(q, 2, SQL_C_CHAR, names, sizeof names[0], name_ind);
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(ids[0], 1);
    EXPECT_STREQ(names[0], "alpha");
    EXPECT_EQ(name_ind[0], 5);
    EXPECT_EQ(ids[1], 2);
    EXPECT_EQ(name_ind[1], SQL_NULL_DATA);
    ASSERT_EQ(SQLFetchScroll(q, SQL_FETCH_NEXT, 0), SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "01004");
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(std::vector<SQLUSMALLINT>(row_status, row_status + 2),
              (std::vector<SQLUSMALLINT>{SQL_ROW_SUCCESS_WITH_INFO, SQL_ROW_NOROW}));
    EXPECT_STREQ(names[0], "a much ");
    EXPECT_EQ(name_ind[0], 18);
    // Columns after the last bound one are read with SQLGetData.
    SQLBIGINT qty = 0;
    ASSERT_EQ(SQLGetData(q, 3, SQL_C_SBIGINT, &qty, 0, nullptr), SQL_SUCCESS);
    EXPECT_EQ(qty, 7);
    EXPECT_EQ(SQLFetch(q), SQL_NO_DATA);

    struct Row {
        SQLBIGINT qty;
        SQLLEN qty_ind;
        SQLINTEGER id;
        SQLLEN id_ind;
    } rows[3];
    SQLHSTMT r = c.stmt();
    set_attr(r, SQL_ATTR_ROW_ARRAY_SIZE, 3);
    set_attr(r, SQL_ATTR_ROW_BIND_TYPE, sizeof(Row));
    ASSERT_EQ(SQLExecDirect(r, (SQLCHAR*)"SELECT id, qty FROM dbo.items ORDER BY id DESC", SQL_NTS), SQL_SUCCESS);
    SQLBindCol(r, 1, SQL_C_SLONG, &rows[0].id, 0, &rows[0].id_ind);
    SQLBindCol(r, 2, SQL_C_SBIGINT, &rows[0].qty, 0, &rows[0].qty_ind);
    ASSERT_EQ(SQLFetch(r), SQL_SUCCESS);
    EXPECT_EQ(rows[0].id, 3);
    EXPECT_EQ(rows[0].qty, 7);
    EXPECT_EQ(rows[1].qty_ind, SQL_NULL_DATA);
    EXPECT_EQ(rows[2].id, 1);
    EXPECT_EQ(rows[2].qty, 5);
}

// SQL Server's drivers read unbound columns after the bound ones and in
// increasing order: going back is refused, as the store must not rely on it.
TEST_F(Arrays, GetDataGoesForwardOnlyPastTheBoundColumns) {
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("INSERT INTO dbo.items VALUES (1, N'alpha', 5)")));
    SQLHSTMT q = c.stmt();
    ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)"SELECT id, name, qty FROM dbo.items", SQL_NTS), SQL_SUCCESS);
    SQLINTEGER id = 0;
    SQLLEN ind = 0;
    SQLBindCol(q, 1, SQL_C_SLONG, &id, 0, &ind);
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    EXPECT_EQ(id, 1);
    SQLBIGINT v = 0;
    EXPECT_EQ(SQLGetData(q, 1, SQL_C_SBIGINT, &v, 0, &ind), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "07009");
    EXPECT_EQ(SQLGetData(q, 3, SQL_C_SBIGINT, &v, 0, &ind), SQL_SUCCESS);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(SQLGetData(q, 3, SQL_C_SBIGINT, &v, 0, &ind), SQL_NO_DATA);
    char name[8];
    EXPECT_EQ(SQLGetData(q, 2, SQL_C_CHAR, name, sizeof name, &ind), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "07009");
}

std::map<std::string, long long> read_counts(const std::string& path) {
    std::map<std::string, long long> out;
    std::ifstream in(path);
    std::string name;
    long long n;
    while (in >> name >> n) out[name] = n;
    return out;
}

// Round trips count each execution once however many sets it carries;
// parameter sets count each execution of the statement text; commits and
// rollbacks are transaction ends. Every connection naming the file adds to it.
TEST(ExecutionCounts, RoundTripsParameterSetsAndTransactionEnds) {
    std::string dir = make_data_dir();
    std::string file = dir + "/counts.txt";
    {
        OdbcConnection c(dir, "app", "ExecutionCounts=" + file);
        ASSERT_TRUE(SQL_SUCCEEDED(c.exec("CREATE TABLE dbo.t (a int)")));
        SQLHSTMT st = c.stmt();
        SQLPrepare(st, (SQLCHAR*)"INSERT INTO dbo.t VALUES (?)", SQL_NTS);
        SQLINTEGER values[5] = {1, 2, 3, 4, 5};
        SQLSetStmtAttr(st, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(5), 0);
        SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, values, 0, nullptr);
        ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
        SQLSetConnectAttr(c.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
        ASSERT_TRUE(SQL_SUCCEEDED(c.exec("DELETE FROM dbo.t WHERE a = 1")));
        ASSERT_EQ(SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_COMMIT), SQL_SUCCESS);
        EXPECT_EQ(c.exec("SELEC 1"), SQL_ERROR);
    }
    EXPECT_EQ(read_counts(file),
              (std::map<std::string, long long>{{"round_trips", 4}, {"parameter_sets", 7}, {"transaction_ends", 1}}));
    setenv("SQLSERVER_STANDIN_EXECUTION_COUNTS", file.c_str(), 1);
    {
        OdbcConnection c(dir, "app");
        EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.t"), (Rows{{"4"}}));
    }
    unsetenv("SQLSERVER_STANDIN_EXECUTION_COUNTS");
    EXPECT_EQ(read_counts(file)["round_trips"], 5);
}

}  // namespace
