// The fixture of the dbfile tests: a data directory with a provisioned dbfile
// "demo" over three host tables (an identity key, a composite key, a cascading
// composite foreign key), the management CLI, and helpers that run statements
// with bound parameters.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "odbc_client.h"

using Rows = std::vector<std::vector<std::string>>;

inline int cli(const std::string& args, std::string* output = nullptr) {
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

inline void ok(OdbcConnection& c, const std::string& sql) { ASSERT_TRUE(runs(c, sql)); }

// Runs an EXEC with one bigint parameter bound for output and returns it.
inline long long exec_output(OdbcConnection& c, const std::string& sql, long long start = 0) {
    SQLHSTMT st = c.stmt();
    SQLBIGINT v = start;
    SQLLEN ind = 0;
    SQLBindParameter(st, 1, SQL_PARAM_INPUT_OUTPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &v, 0, &ind);
    EXPECT_TRUE(SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
    while (SQLMoreResults(st) == SQL_SUCCESS) {
    }
    return v;
}

// Runs a statement with bound parameters: integers as bigint, texts as CHAR (GUID text).
inline Rows bound_query(OdbcConnection& c, const std::string& sql, const std::vector<std::string>& texts, const std::vector<SQLBIGINT>& ints) {
    SQLHSTMT st = c.stmt();
    std::vector<SQLBIGINT> iv = ints;
    std::vector<SQLLEN> ind(texts.size() + ints.size(), 0);
    SQLUSMALLINT n = 1;
    for (size_t i = 0; i < texts.size(); ++i, ++n) {
        ind[n - 1] = static_cast<SQLLEN>(texts[i].size());
        SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, texts[i].size(), 0, (SQLPOINTER)texts[i].c_str(), 0, &ind[n - 1]);
    }
    for (size_t i = 0; i < iv.size(); ++i, ++n)
        SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &iv[i], 0, &ind[n - 1]);
    SQLRETURN rc = SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS);
    EXPECT_TRUE(SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) << sql << "\n -> "
                                                          << OdbcConnection::diags(SQL_HANDLE_STMT, st).at(0).message;
    Rows rows;
    SQLSMALLINT cols = 0;
    SQLNumResultCols(st, &cols);
    while (cols > 0 && SQL_SUCCEEDED(SQLFetch(st))) {
        std::vector<std::string> row;
        for (SQLUSMALLINT k = 1; k <= cols; ++k) row.push_back(get_text(st, k).value_or("NULL"));
        rows.push_back(row);
    }
    return rows;
}

inline std::string replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& subst) {
    for (const auto& [from, to] : subst)
        for (size_t p = 0; (p = text.find(from, p)) != std::string::npos; p += to.size()) text.replace(p, from.size(), to);
    return text;
}

// The row id of a host row's live version.
inline std::string live_rid(OdbcConnection& c, const std::string& table, const std::string& key) {
    auto r = c.query("SELECT rv.rid FROM tavrin.\"demo$z$rv$" + table + "\" rv JOIN tavrin.\"demo$z$x$" + table +
                     "\" x ON x.z_rv = rv.z_rv WHERE " + key);
    return r.empty() ? "" : r[0][0];
}
