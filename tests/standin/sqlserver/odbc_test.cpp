// The stand-in driver through the real unixODBC driver manager.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "odbc_client.h"

namespace {

class Standin : public ::testing::Test {
protected:
    std::string dir = make_data_dir();
    OdbcConnection c{dir, "app"};

    void ok(const std::string& sql) { ASSERT_TRUE(runs(c, sql)); }
    std::vector<Diag> fails(const std::string& sql) {
        EXPECT_EQ(c.exec(sql), SQL_ERROR) << sql;
        return c.last_diags();
    }
};

TEST_F(Standin, EveryTypeRoundTripsWithItsOdbcType) {
    ok("CREATE TABLE dbo.all_types (id int IDENTITY(1,1) PRIMARY KEY, b bit, ti tinyint, si smallint, i int, bi bigint,"
       " de decimal(18,4), nu numeric(9,2), mo money, sm smallmoney, f float, r real, d date, t time(7), dt datetime,"
       " dt2 datetime2(7), sdt smalldatetime, c char(5), vc varchar(20), nc nchar(3), nv nvarchar(max), bn binary(4),"
       " vb varbinary(max), g uniqueidentifier, sn sysname)");
    SQLHSTMT st = c.stmt();
    std::u16string ins = to_utf16(
        "INSERT INTO dbo.all_types (b, ti, si, i, bi, de, nu, mo, sm, f, r, d, t, dt, dt2, sdt, c, vc, nc, nv, bn, vb, g, sn)"
        " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    ASSERT_EQ(SQLPrepareW(st, (SQLWCHAR*)ins.c_str(), SQL_NTS), SQL_SUCCESS);
    SQLINTEGER bit = 1, ti = 255, si = -32768, i32 = 2147483647;
    SQLBIGINT bi = -9223372036854775807LL;
    std::u16string de = u"12345678901234.56789", nu = u"-1234567.125", mo = u"922337203685477.5807", sm = u"-214748.3648";
    double f = 1.0 / 3, r = 0.5;
    SQL_DATE_STRUCT d{2024, 2, 29};
    struct { SQLUSMALLINT h, m, s, pad; SQLUINTEGER frac; } t{23, 59, 58, 0, 123456700};
    SQL_TIMESTAMP_STRUCT dt{2024, 12, 31, 23, 59, 59, 998000000}, dt2{1, 1, 1, 0, 0, 0, 100}, sdt{2024, 6, 1, 10, 20, 31, 0};
    std::string ch = "ab", vc = "Grüße", g = "6f9619ff-8b86-d011-b42d-00c04fc964ff";
    std::u16string nc = u"x", nv = to_utf16("𝄞 nvarchar(max) 𝄞"), sn = u"sysname_value";
    unsigned char bn[2] = {1, 2}, vb[3] = {0, 0xFF, 0x10};
    SQLLEN len[24];
    auto wide = [&](int n, std::u16string& s, SQLSMALLINT type) {
        len[n - 1] = s.size() * 2;
        return SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_WCHAR, type, s.size(), 0, (SQLPOINTER)s.c_str(), len[n - 1], &len[n - 1]);
    };
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_BIT, 0, 0, &bit, 0, nullptr);
    SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &ti, 0, nullptr);
    SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &si, 0, nullptr);
    SQLBindParameter(st, 4, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &i32, 0, nullptr);
    SQLBindParameter(st, 5, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &bi, 0, nullptr);
    wide(6, de, SQL_WVARCHAR);
    wide(7, nu, SQL_WVARCHAR);
    wide(8, mo, SQL_WVARCHAR);
    wide(9, sm, SQL_WVARCHAR);
    SQLBindParameter(st, 10, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_FLOAT, 0, 0, &f, 0, nullptr);
    SQLBindParameter(st, 11, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_FLOAT, 0, 0, &r, 0, nullptr);
    SQLBindParameter(st, 12, SQL_PARAM_INPUT, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 0, 0, &d, 0, nullptr);
    len[12] = 12;
    SQLBindParameter(st, 13, SQL_PARAM_INPUT, SQL_C_BINARY, -154, 16, 7, &t, 12, &len[12]);
    len[13] = len[14] = len[15] = 16;
    SQLBindParameter(st, 14, SQL_PARAM_INPUT, SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP, 27, 7, &dt, 16, &len[13]);
    SQLBindParameter(st, 15, SQL_PARAM_INPUT, SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP, 27, 7, &dt2, 16, &len[14]);
    SQLBindParameter(st, 16, SQL_PARAM_INPUT, SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP, 27, 7, &sdt, 16, &len[15]);
    len[16] = ch.size();
    SQLBindParameter(st, 17, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, ch.size(), 0, ch.data(), len[16], &len[16]);
    len[17] = vc.size();
    SQLBindParameter(st, 18, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, vc.size(), 0, vc.data(), len[17], &len[17]);
    wide(19, nc, SQL_WCHAR);
    wide(20, nv, SQL_WLONGVARCHAR);
    len[20] = 2;
    SQLBindParameter(st, 21, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, 2, 0, bn, 2, &len[20]);
    len[21] = 3;
    SQLBindParameter(st, 22, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, 3, 0, vb, 3, &len[21]);
    len[22] = 36;
    SQLBindParameter(st, 23, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 36, 0, g.data(), 36, &len[22]);
    wide(24, sn, SQL_WVARCHAR);
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS) << OdbcConnection::diags(SQL_HANDLE_STMT, st)[0].message;

    struct Expect {
        const char* column;
        SQLSMALLINT type;
        SQLULEN size;
        SQLSMALLINT digits;
        const char* text;
    };
    const Expect cases[] = {
        {"id", SQL_INTEGER, 10, 0, "1"},
        {"b", SQL_BIT, 1, 0, "1"},
        {"ti", SQL_TINYINT, 3, 0, "255"},
        {"si", SQL_SMALLINT, 5, 0, "-32768"},
        {"i", SQL_INTEGER, 10, 0, "2147483647"},
        {"bi", SQL_BIGINT, 19, 0, "-9223372036854775807"},
        {"de", SQL_DECIMAL, 18, 4, "12345678901234.5679"},
        {"nu", SQL_NUMERIC, 9, 2, "-1234567.13"},
        {"mo", SQL_DECIMAL, 19, 4, "922337203685477.5807"},
        {"sm", SQL_DECIMAL, 10, 4, "-214748.3648"},
        {"f", SQL_FLOAT, 53, 0, "0.3333333333333333"},
        {"r", SQL_REAL, 24, 0, "0.5"},
        {"d", SQL_TYPE_DATE, 10, 0, "2024-02-29"},
        {"t", -154, 16, 7, "23:59:58.1234567"},
        {"dt", SQL_TYPE_TIMESTAMP, 23, 3, "2024-12-31 23:59:59.997"},
        {"dt2", SQL_TYPE_TIMESTAMP, 27, 7, "0001-01-01 00:00:00.0000001"},
        {"sdt", SQL_TYPE_TIMESTAMP, 16, 0, "2024-06-01 10:21:00"},
        {"c", SQL_CHAR, 5, 0, "ab   "},
        {"vc", SQL_VARCHAR, 20, 0, "Grüße"},
        {"nc", SQL_WCHAR, 3, 0, "x  "},
        {"nv", SQL_WLONGVARCHAR, 1073741823, 0, "𝄞 nvarchar(max) 𝄞"},
        {"bn", SQL_BINARY, 4, 0, "01020000"},
        {"vb", SQL_LONGVARBINARY, 2147483647, 0, "00FF10"},
        {"g", SQL_GUID, 36, 0, "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
        {"sn", SQL_WVARCHAR, 128, 0, "sysname_value"},
    };
    for (const Expect& e : cases) {
        SCOPED_TRACE(e.column);
        SQLHSTMT q = c.stmt();
        CursorCloser closer{q};
        std::u16string sql = to_utf16(std::string("SELECT ") + e.column + " FROM dbo.all_types");
        ASSERT_EQ(SQLExecDirectW(q, (SQLWCHAR*)sql.c_str(), SQL_NTS), SQL_SUCCESS);
        char name[64];
        SQLSMALLINT namelen, type, digits, nullable;
        SQLULEN size;
        ASSERT_EQ(SQLDescribeCol(q, 1, (SQLCHAR*)name, sizeof name, &namelen, &type, &size, &digits, &nullable), SQL_SUCCESS);
        EXPECT_STREQ(name, e.column);
        EXPECT_EQ(type, e.type);
        EXPECT_EQ(size, e.size);
        EXPECT_EQ(digits, e.digits);
        ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        EXPECT_EQ(get_text(q, 1).value_or("NULL"), e.text);
    }

    // The struct and binary reads the store uses.
    SQLHSTMT q = c.stmt();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(q, (SQLCHAR*)"SELECT g, dt, t, b, nv FROM all_types", SQL_NTS)));
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    unsigned char guid[16];
    SQLLEN ind;
    ASSERT_EQ(SQLGetData(q, 1, SQL_C_BINARY, guid, 16, &ind), SQL_SUCCESS);
    const unsigned char expected_guid[16] = {0xFF, 0x19, 0x96, 0x6F, 0x86, 0x8B, 0x11, 0xD0,
                                             0xB4, 0x2D, 0x00, 0xC0, 0x4F, 0xC9, 0x64, 0xFF};
    EXPECT_EQ(0, std::memcmp(guid, expected_guid, 16));
    SQL_TIMESTAMP_STRUCT ts;
    ASSERT_EQ(SQLGetData(q, 2, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &ind), SQL_SUCCESS);
    EXPECT_EQ(ts.fraction, 997000000u);
    unsigned char time_struct[12];
    ASSERT_EQ(SQLGetData(q, 3, SQL_C_BINARY, time_struct, 12, &ind), SQL_SUCCESS);
    SQLUINTEGER frac;
    std::memcpy(&frac, time_struct + 8, 4);
    EXPECT_EQ(frac, 123456700u);
    SQLINTEGER b4 = 7;
    ASSERT_EQ(SQLGetData(q, 4, SQL_C_BIT, &b4, 4, nullptr), SQL_SUCCESS);
    EXPECT_EQ(b4 & 0xFF, 1);
}

// Results of expressions, derived tables, CTEs and unions carry the type SQL
// Server gives them: CASE, COALESCE and UNION by data type precedence over the
// non-NULL branches, ISNULL its first argument's; the values come in that type.
TEST_F(Standin, ExpressionResultsAreDescribedWithTheirSqlServerType) {
    ok("CREATE TABLE dbo.typed (i int, bi bigint, nu numeric(9,2), vc varchar(20), nv nvarchar(10), c char(5),"
       " dt datetime, dt2 datetime2(7), g uniqueidentifier, gn uniqueidentifier, f float, ti tinyint)");
    ok("INSERT INTO dbo.typed VALUES (7, NULL, 1.5, 'v', N'n', 'c', '2024-01-02 03:04:05.007',"
       " '2024-01-02 03:04:05.1234567', '6F9619FF-8B86-D011-B42D-00C04FC964FF', NULL, 2.75, 3)");
    const std::string guid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    struct Expect {
        const char* sql;
        SQLSMALLINT type;
        SQLULEN size;
        SQLSMALLINT digits;
        std::string text;
    };
    const Expect cases[] = {
        {"SELECT COALESCE(gn, g) FROM typed", SQL_GUID, 36, 0, guid},
        {"SELECT COALESCE(d.x, d.y) FROM (SELECT gn AS x, g AS y FROM typed) AS d", SQL_GUID, 36, 0, guid},
        {"SELECT COALESCE(a.gn, b.g) FROM (SELECT * FROM typed) a FULL OUTER JOIN (SELECT typed.* FROM typed) AS b"
         " ON b.i = a.i",
         SQL_GUID, 36, 0, guid},
        {"WITH w (x, y) AS (SELECT gn, g FROM typed) SELECT COALESCE(x, y) FROM w", SQL_GUID, 36, 0, guid},
        {"SELECT ISNULL(i, bi) FROM typed", SQL_INTEGER, 10, 0, "7"},
        {"SELECT ISNULL(NULL, bi) FROM typed", SQL_BIGINT, 19, 0, "NULL"},
        {"SELECT COALESCE(bi, i) FROM typed", SQL_BIGINT, 19, 0, "7"},
        {"SELECT COALESCE(i, nu) FROM typed", SQL_NUMERIC, 12, 2, "7.00"},
        {"SELECT CASE WHEN i > 0 THEN vc ELSE nv END FROM typed", SQL_WVARCHAR, 20, 0, "v"},
        {"SELECT CASE WHEN i > 0 THEN NULL ELSE dt END FROM typed", SQL_TYPE_TIMESTAMP, 23, 3, "NULL"},
        {"SELECT i FROM typed UNION ALL SELECT bi FROM typed", SQL_BIGINT, 19, 0, "7"},
        {"SELECT i FROM typed UNION ALL SELECT nu FROM typed", SQL_NUMERIC, 12, 2, "7.00"},
        {"SELECT NULL UNION ALL SELECT dt2 FROM typed", SQL_TYPE_TIMESTAMP, 27, 7, "NULL"},
        {"SELECT c FROM typed WHERE i < 0 UNION SELECT vc FROM typed", SQL_VARCHAR, 20, 0, "v"},
        {"SELECT NULL", SQL_INTEGER, 10, 0, "NULL"},
        {"SELECT (SELECT TOP 1 g FROM typed)", SQL_GUID, 36, 0, guid},
        {"SELECT COALESCE((SELECT gn FROM typed), (SELECT TOP 1 g FROM typed ORDER BY i))", SQL_GUID, 36, 0, guid},
        {"SELECT x FROM (SELECT gn AS x FROM typed UNION ALL SELECT g FROM typed) AS u WHERE x IS NOT NULL", SQL_GUID,
         36, 0, guid},
        {"SELECT COALESCE(u.x, u.y) FROM (SELECT NULL AS x, g AS y FROM typed UNION ALL SELECT gn, NULL FROM typed) u"
         " WHERE u.y IS NOT NULL",
         SQL_GUID, 36, 0, guid},
        {"SELECT ISNULL(gn, N'6f9619ff-8b86-d011-b42d-00c04fc964ff') FROM typed", SQL_GUID, 36, 0, guid},
        {"SELECT CASE i WHEN 7 THEN g ELSE NULL END FROM typed", SQL_GUID, 36, 0, guid},
        {"WITH a AS (SELECT g FROM typed), b AS (SELECT a.g AS h FROM a) SELECT ISNULL(h, gn) FROM b, typed", SQL_GUID,
         36, 0, guid},
        {"SELECT MAX(o.x) FROM (SELECT d.x FROM (SELECT g AS x FROM typed) AS d) AS o", SQL_GUID, 36, 0, guid},
        {"SELECT ISNULL(bi, f) FROM typed", SQL_BIGINT, 19, 0, "2"},
        {"SELECT ISNULL(CAST(NULL AS varchar(4)), 'longer')", SQL_VARCHAR, 4, 0, "long"},
        {"SELECT CAST('thirty characters at the most, not more' AS varchar)", SQL_VARCHAR, 30, 0,
         "thirty characters at the most,"},
        {"SELECT i + nu FROM typed", SQL_NUMERIC, 13, 2, "8.50"},
        {"SELECT i * 2.5 FROM typed", SQL_NUMERIC, 13, 1, "17.5"},
        {"SELECT i + f FROM typed", SQL_FLOAT, 53, 0, "9.75"},
        {"SELECT ti + ti FROM typed", SQL_TINYINT, 3, 0, "6"},
        {"SELECT vc + nv FROM typed", SQL_WVARCHAR, 30, 0, "vn"},
    };
    // A case that fails stops only itself.
    auto check = [&](const Expect& e) {
        SQLHSTMT q = c.stmt();
        CursorCloser closer{q};
        ASSERT_EQ(SQLExecDirect(q, (SQLCHAR*)e.sql, SQL_NTS), SQL_SUCCESS)
            << OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).message;
        char name[64];
        SQLSMALLINT type, digits;
        SQLULEN size;
        ASSERT_EQ(SQLDescribeCol(q, 1, (SQLCHAR*)name, sizeof name, nullptr, &type, &size, &digits, nullptr), SQL_SUCCESS);
        EXPECT_EQ(type, e.type);
        EXPECT_EQ(size, e.size);
        EXPECT_EQ(digits, e.digits);
        ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        if (e.type == SQL_GUID) {
            // The store reads identifiers as their 16 bytes.
            unsigned char bytes[17];
            SQLLEN ind = 0;
            ASSERT_EQ(SQLGetData(q, 1, SQL_C_BINARY, bytes, sizeof bytes, &ind), SQL_SUCCESS);
            const unsigned char expected[16] = {0xFF, 0x19, 0x96, 0x6F, 0x86, 0x8B, 0x11, 0xD0,
                                                0xB4, 0x2D, 0x00, 0xC0, 0x4F, 0xC9, 0x64, 0xFF};
            ASSERT_EQ(ind, 16);
            EXPECT_EQ(0, std::memcmp(bytes, expected, 16));
        } else {
            EXPECT_EQ(get_text(q, 1).value_or("NULL"), e.text);
        }
    };
    for (const Expect& e : cases) {
        SCOPED_TRACE(e.sql);
        check(e);
    }
    // A value of another type is converted to the result's type, and fails where it does not convert.
    for (const char* sql : {"SELECT ISNULL(gn, 'not a guid') FROM typed", "SELECT COALESCE(gn, 'not a guid') FROM typed",
                            "SELECT CASE WHEN i > 0 THEN 'not a guid' ELSE g END FROM typed",
                            "SELECT 'not a guid' UNION ALL SELECT g FROM typed"}) {
        auto d = fails(sql);
        ASSERT_FALSE(d.empty()) << sql;
        EXPECT_EQ(d[0].native, 8169) << sql;
    }
}

TEST_F(Standin, NullsNeedAnIndicator) {
    ok("CREATE TABLE t (a int NULL, b nvarchar(10) NULL)");
    ok("INSERT INTO t VALUES (NULL, NULL)");
    SQLHSTMT q = c.stmt();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(q, (SQLCHAR*)"SELECT a, b FROM t", SQL_NTS)));
    ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
    SQLINTEGER v = 5;
    SQLLEN ind = 0;
    ASSERT_EQ(SQLGetData(q, 1, SQL_C_SLONG, &v, 4, &ind), SQL_SUCCESS);
    EXPECT_EQ(ind, SQL_NULL_DATA);
    EXPECT_EQ(SQLGetData(q, 2, SQL_C_SLONG, &v, 4, nullptr), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "22002");
    EXPECT_EQ(SQLFetch(q), SQL_NO_DATA);
}

TEST_F(Standin, LongTextsAndBlobsCrossChunkBoundaries) {
    ok("CREATE TABLE docs (id int PRIMARY KEY, body nvarchar(max), data varbinary(max))");
    // 4-byte characters placed so that pieces of 2,046 and 7 bytes cut through them.
    std::string body;
    for (int i = 0; i < 3000; ++i) body += (i % 3 == 0) ? "😀" : (i % 3 == 1 ? "a" : "é");
    for (size_t blob_size : {size_t{0}, size_t{1}, size_t{1} << 20}) {
        SCOPED_TRACE(blob_size);
        ok("DELETE FROM docs");
        std::string blob(blob_size, '\0');
        for (size_t i = 0; i < blob_size; ++i) blob[i] = static_cast<char>(i * 31 + 7);
        SQLHSTMT st = c.stmt();
        ASSERT_EQ(SQLPrepare(st, (SQLCHAR*)"INSERT INTO docs (id, body, data) VALUES (1, ?, ?)", SQL_NTS), SQL_SUCCESS);
        std::u16string w = to_utf16(body);
        SQLLEN wlen = w.size() * 2, blen = blob_size ? SQL_LEN_DATA_AT_EXEC(static_cast<SQLLEN>(blob_size)) : 0;
        SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 0, 0, (SQLPOINTER)w.c_str(), wlen, &wlen);
        static char empty[1];
        int token = 2;
        if (blob_size)
            SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, blob_size, 0, &token, 4, &blen);
        else
            SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, 1, 0, empty, 0, &blen);
        SQLRETURN rc = SQLExecute(st);
        if (blob_size) {
            ASSERT_EQ(rc, SQL_NEED_DATA);
            SQLPOINTER tok = nullptr;
            ASSERT_EQ(SQLParamData(st, &tok), SQL_NEED_DATA);
            EXPECT_EQ(tok, &token);
            for (size_t off = 0; off < blob_size; off += 300000)
                ASSERT_EQ(SQLPutData(st, blob.data() + off, std::min<size_t>(300000, blob_size - off)), SQL_SUCCESS);
            rc = SQLParamData(st, &tok);
        }
        ASSERT_EQ(rc, SQL_SUCCESS);

        SQLHSTMT q = c.stmt();
        CursorCloser closer{q};
        ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(q, (SQLCHAR*)"SELECT body, data FROM docs", SQL_NTS)));
        ASSERT_EQ(SQLFetch(q), SQL_SUCCESS);
        EXPECT_EQ(get_text(q, 1, 9).value(), body);
        std::string got;
        char buf[1000];
        SQLLEN ind;
        SQLRETURN r;
        while ((r = SQLGetData(q, 2, SQL_C_BINARY, buf, sizeof buf, &ind)) != SQL_NO_DATA) {
            ASSERT_TRUE(SQL_SUCCEEDED(r));
            got.append(buf, std::min<SQLLEN>(ind, sizeof buf));
            if (r == SQL_SUCCESS_WITH_INFO) {
                EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, q).at(0).sqlstate, "01004");
            }
            if (r == SQL_SUCCESS) break;
        }
        EXPECT_EQ(got, blob);
    }
}

TEST_F(Standin, OutputParameterOfTheTxIdProcedure) {
    ok("CREATE SCHEMA tavrin");
    ok("CREATE TABLE tavrin.[demo$t$tx] (txid bigint NOT NULL PRIMARY KEY, generation bigint NULL, rstamp uniqueidentifier NULL, rebaseid bigint NULL)");
    ok("CREATE TABLE tavrin.[demo$t$rules] (sit int NOT NULL, act int NULL, extra nvarchar(max) NULL, txid bigint NULL, i bigint NULL)");
    for (long long expected : {1LL, 2LL}) {
        SQLHSTMT st = c.stmt();
        ASSERT_EQ(SQLPrepare(st, (SQLCHAR*)"EXEC tavrin.\"demo$z$GetTxId\" @txid = ? OUTPUT;", SQL_NTS), SQL_SUCCESS);
        SQLBIGINT txid = 0;
        SQLLEN ind = 8;
        SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &txid, 8, &ind);
        ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
        while (SQLMoreResults(st) == SQL_SUCCESS) {
        }
        EXPECT_EQ(txid, expected);
    }
    EXPECT_EQ(c.query("SELECT txid, i FROM tavrin.[demo$t$rules] WHERE sit = 123"),
              (std::vector<std::vector<std::string>>{{"2", "2"}}));
    // Without OUTPUT the argument is passed by value and nothing comes back.
    SQLHSTMT st = c.stmt();
    SQLPrepare(st, (SQLCHAR*)"EXEC tavrin.\"demo$z$GetTxId\" @txid = ?;", SQL_NTS);
    SQLBIGINT txid = -5;
    SQLLEN ind = 8;
    SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &txid, 8, &ind);
    ASSERT_EQ(SQLExecute(st), SQL_SUCCESS);
    EXPECT_EQ(txid, -5);
}

TEST_F(Standin, ConstraintViolationsComeBackWithNativeNumbersAndTexts) {
    ok("CREATE TABLE dbo.parent (id int NOT NULL, code nvarchar(10) NOT NULL, CONSTRAINT PK_parent PRIMARY KEY (id),"
       " CONSTRAINT UQ_parent_code UNIQUE (code))");
    ok("CREATE TABLE dbo.child (id int IDENTITY(1,1) PRIMARY KEY, pid int NULL CONSTRAINT FK_child_parent REFERENCES dbo.parent (id),"
       " qty int NOT NULL CONSTRAINT CK_child_qty CHECK (qty > 0), tag varchar(5) NULL)");
    ok("CREATE UNIQUE INDEX IX_child_tag ON dbo.child (tag)");
    ok("INSERT INTO parent (id, code) VALUES (1, N'one')");
    ok("INSERT INTO child (pid, qty, tag) VALUES (1, 5, 'x')");
    struct Case {
        const char* sql;
        int native;
        const char* message;
    };
    const Case cases[] = {
        {"INSERT INTO parent (id, code) VALUES (1, N'two')", 2627,
         "Violation of PRIMARY KEY constraint 'PK_parent'. Cannot insert duplicate key in object 'dbo.parent'. The duplicate key value is (1)."},
        {"INSERT INTO parent (id, code) VALUES (2, N'ONE')", 2627,
         "Violation of UNIQUE KEY constraint 'UQ_parent_code'. Cannot insert duplicate key in object 'dbo.parent'. The duplicate key value is (ONE)."},
        {"INSERT INTO child (pid, qty, tag) VALUES (1, 1, 'x')", 2601,
         "Cannot insert duplicate key row in object 'dbo.child' with unique index 'IX_child_tag'. The duplicate key value is (x)."},
        {"INSERT INTO child (pid, qty) VALUES (9, 1)", 547,
         "The INSERT statement conflicted with the FOREIGN KEY constraint \"FK_child_parent\". The conflict occurred in database \"app\", table \"dbo.parent\", column 'id'."},
        {"DELETE FROM parent WHERE id = 1", 547,
         "The DELETE statement conflicted with the REFERENCE constraint \"FK_child_parent\". The conflict occurred in database \"app\", table \"dbo.child\", column 'pid'."},
        {"UPDATE child SET qty = 0", 547,
         "The UPDATE statement conflicted with the CHECK constraint \"CK_child_qty\". The conflict occurred in database \"app\", table \"dbo.child\", column 'qty'."},
        {"INSERT INTO parent (id, code) VALUES (3, NULL)", 515,
         "Cannot insert the value NULL into column 'code', table 'app.dbo.parent'; column does not allow nulls. INSERT fails."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sql);
        auto d = fails(k.sql);
        ASSERT_EQ(d.size(), 2u);
        EXPECT_EQ(d[0].native, k.native);
        EXPECT_EQ(d[0].sqlstate, "23000");
        EXPECT_EQ(d[0].message, k.message);
        EXPECT_EQ(d[1].native, 3621);
        EXPECT_EQ(d[1].message, "The statement has been terminated.");
    }
    // Each failed statement changed nothing.
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM parent"), (std::vector<std::vector<std::string>>{{"1"}}));
    EXPECT_EQ(c.query("SELECT qty FROM child"), (std::vector<std::vector<std::string>>{{"5"}}));
}

TEST_F(Standin, KeysAreCheckedOnceAtTheEndOfTheStatement) {
    using Rows = std::vector<std::vector<std::string>>;
    ok("CREATE TABLE dbo.k (id int NOT NULL PRIMARY KEY, code varchar(5) NULL CONSTRAINT UQ_k_code UNIQUE, tag int NULL)");
    ok("CREATE UNIQUE INDEX IX_k_tag ON dbo.k (tag)");
    ok("CREATE TABLE dbo.kref (id int NOT NULL PRIMARY KEY, kid int NULL REFERENCES dbo.k (id),"
       " up int NULL CONSTRAINT FK_kref_up REFERENCES dbo.kref (id))");
    ok("INSERT INTO k (id, code, tag) VALUES (1, 'a', 10), (2, 'b', NULL), (3, NULL, 30)");
    ok("INSERT INTO kref (id, kid, up) VALUES (1, 1, NULL), (2, 2, 1), (3, 2, 2)");
    // Keys that collide only in the middle of a statement: a swap and a shift.
    ok("UPDATE k SET id = 3 - id WHERE id < 3");
    ok("UPDATE k SET code = CASE code WHEN 'a' THEN 'b' WHEN 'b' THEN 'a' END WHERE id < 3");
    ok("UPDATE k SET tag = CASE WHEN tag = 10 THEN 30 WHEN tag = 30 THEN 10 END");
    EXPECT_EQ(c.query("SELECT id, code, tag FROM k ORDER BY id"), (Rows{{"1", "a", "NULL"}, {"2", "b", "30"}, {"3", "NULL", "10"}}));
    // A parent and its child row deleted by one statement; a key moved away
    // from its referencing rows is not.
    ok("DELETE FROM kref WHERE id >= 2");
    auto d = fails("UPDATE k SET id = id + 10 WHERE id = 1");
    EXPECT_EQ(d.at(0).native, 547);
    EXPECT_NE(d.at(0).message.find("REFERENCE constraint"), std::string::npos) << d.at(0).message;
    struct Case {
        const char* sql;
        int native;
        const char* duplicate;
    };
    const Case cases[] = {
        {"UPDATE k SET id = 1", 2627, "(1)"},
        {"INSERT INTO k (id, code) SELECT id + 100, NULL FROM k WHERE id < 3", 2627, "(<NULL>)"},
        {"INSERT INTO k (id, code, tag) VALUES (7, 'x', NULL)", 2601, "(<NULL>)"},
        {"UPDATE k SET code = UPPER(code) WHERE id = 2", 0, nullptr},
        {"UPDATE k SET code = 'A' WHERE id = 2", 2627, "(A)"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sql);
        if (!k.duplicate) {
            ok(k.sql);
            continue;
        }
        d = fails(k.sql);
        EXPECT_EQ(d.at(0).native, k.native);
        EXPECT_NE(d.at(0).message.find("The duplicate key value is " + std::string(k.duplicate)), std::string::npos)
            << d.at(0).message;
    }
    // The failed statements changed nothing.
    EXPECT_EQ(c.query("SELECT id, code, tag FROM k ORDER BY id"), (Rows{{"1", "a", "NULL"}, {"2", "B", "30"}, {"3", "NULL", "10"}}));
}

// A statement writing hundreds of rows is refused for the same row, with the same
// message, as one writing a few.
TEST_F(Standin, ManyRowsWrittenAreCheckedAsFewAre) {
    ok("CREATE TABLE dbo.p (id int NOT NULL CONSTRAINT PK_p PRIMARY KEY, code varchar(5) NULL CONSTRAINT UQ_p_code UNIQUE)");
    ok("CREATE TABLE dbo.r (id int NOT NULL PRIMARY KEY, pid int NULL CONSTRAINT FK_r_p REFERENCES dbo.p (id))");
    // Rows 1 .. 300 with codes c<n>; `code` replaces the code of some rows.
    auto rows = [](int first, std::map<int, std::string> code) {
        std::string sql;
        for (int n = first; n < first + 300; ++n)
            sql += (n > first ? ", (" : "(") + std::to_string(n) + ", " +
                   (code.count(n) ? code[n] : "'c" + std::to_string(n) + "'") + ")";
        return sql;
    };
    ok("INSERT INTO p (id, code) VALUES " + rows(1, {}));
    ok("INSERT INTO r (id, pid) SELECT id, id FROM p");
    struct Case {
        std::string sql;
        int native;
        std::string message;
    };
    const Case cases[] = {
        {"INSERT INTO p (id, code) VALUES " + rows(301, {{450, "'c7'"}}), 2627,
         "Violation of UNIQUE KEY constraint 'UQ_p_code'. Cannot insert duplicate key in object 'dbo.p'. The duplicate key value is (c7)."},
        // The first row written that has a twin is named, not the smallest value.
        {"INSERT INTO p (id, code) VALUES " + rows(301, {{320, "'zz'"}, {330, "'aa'"}, {340, "'aa'"}, {590, "'zz'"}}),
         2627,
         "Violation of UNIQUE KEY constraint 'UQ_p_code'. Cannot insert duplicate key in object 'dbo.p'. The duplicate key value is (zz)."},
        {"INSERT INTO p (id, code) VALUES " + rows(301, {{400, "NULL"}, {401, "NULL"}}), 2627,
         "Violation of UNIQUE KEY constraint 'UQ_p_code'. Cannot insert duplicate key in object 'dbo.p'. The duplicate key value is (<NULL>)."},
        {"UPDATE p SET id = CASE WHEN id = 299 THEN 1 ELSE id END", 2627,
         "Violation of PRIMARY KEY constraint 'PK_p'. Cannot insert duplicate key in object 'dbo.p'. The duplicate key value is (1)."},
        {"UPDATE r SET pid = CASE WHEN id = 123 THEN 999 ELSE pid END", 547,
         "The UPDATE statement conflicted with the FOREIGN KEY constraint \"FK_r_p\". The conflict occurred in database \"app\", table \"dbo.p\", column 'id'."},
        {"INSERT INTO r (id, pid) SELECT id + 1000, CASE WHEN id = 77 THEN NULL WHEN id = 78 THEN -1 ELSE id END FROM p", 547,
         "The INSERT statement conflicted with the FOREIGN KEY constraint \"FK_r_p\". The conflict occurred in database \"app\", table \"dbo.p\", column 'id'."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sql.substr(0, 60));
        auto d = fails(k.sql);
        ASSERT_EQ(d.size(), 2u);
        EXPECT_EQ(d[0].native, k.native);
        EXPECT_EQ(d[0].message, k.message);
    }
    ok("UPDATE p SET code = UPPER(code)");
    ok("INSERT INTO r (id, pid) SELECT id + 1000, CASE WHEN id = 77 THEN NULL ELSE id END FROM p");
    EXPECT_EQ(c.query("SELECT COUNT(*), MIN(code), COUNT(pid) FROM p JOIN r ON r.id = p.id + 1000"),
              (std::vector<std::vector<std::string>>{{"300", "C1", "299"}}));
}

// MERGE and UPDATE ... FROM write each clause's own columns, values of every
// kind unchanged, and DEFAULT VALUES rows; the statement changes all or nothing.
TEST_F(Standin, MergeClausesWriteTheirOwnColumnsWithValuesOfEveryKind) {
    using Rows = std::vector<std::vector<std::string>>;
    ok("CREATE TABLE m (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(20) NULL, f float NULL, b varbinary(8) NULL,"
       " g uniqueidentifier NULL, d datetime2 NULL, n int NOT NULL DEFAULT 7)");
    ok("INSERT INTO m (name, n) VALUES (N'one', 1), (N'two', 2), (N'three', 3)");
    ok("CREATE TABLE #s (id int, name nvarchar(20), f float, b varbinary(8), g uniqueidentifier, d datetime2)");
    ok("INSERT INTO #s VALUES (1, N'ÿne', 0.1, 0x00FF, '6F9619FF-8B86-D011-B42D-00C04FC964FF', '2024-02-29 23:59:59.1234567'),"
       " (2, NULL, NULL, NULL, NULL, NULL), (9, N'new', 1e300, 0x, NULL, NULL), (10, N'other', 2.5, NULL, NULL, NULL)");
    ok("MERGE INTO m USING #s s ON m.id = s.id"
       " WHEN MATCHED AND s.name IS NOT NULL THEN UPDATE SET name = s.name, f = s.f, b = s.b, g = s.g, d = s.d"
       " WHEN MATCHED THEN UPDATE SET n = m.n + 10"
       " WHEN NOT MATCHED BY SOURCE THEN DELETE"
       " WHEN NOT MATCHED THEN INSERT DEFAULT VALUES;");
    EXPECT_EQ(c.query("SELECT id, name, f, b, g, d, n FROM m ORDER BY id"),
              (Rows{{"1", "ÿne", "0.1", "00FF", "6F9619FF-8B86-D011-B42D-00C04FC964FF", "2024-02-29 23:59:59.1234567", "1"},
                    {"2", "two", "NULL", "NULL", "NULL", "NULL", "12"},
                    {"4", "NULL", "NULL", "NULL", "NULL", "NULL", "7"},
                    {"5", "NULL", "NULL", "NULL", "NULL", "NULL", "7"}}));
    ok("UPDATE m SET f = s.f, b = s.b, name = s.name FROM m INNER JOIN #s s ON s.id - 8 = m.id");
    EXPECT_EQ(c.query("SELECT id, name, f, b, DATALENGTH(b) FROM m WHERE id < 3 ORDER BY id"),
              (Rows{{"1", "new", "1e+300", "", "0"}, {"2", "other", "2.5", "NULL", "NULL"}}));
    // A NULL into the NOT NULL column half way: nothing of the statement stays.
    auto d = fails("MERGE INTO m USING #s s ON m.id = s.id WHEN MATCHED THEN UPDATE SET n = CASE WHEN s.id = 2 THEN NULL ELSE 0 END"
                   " WHEN NOT MATCHED THEN INSERT (name, n) VALUES (s.name, 0);");
    EXPECT_EQ(d.at(0).native, 515);
    EXPECT_EQ(c.query("SELECT COUNT(*), SUM(n) FROM m"), (Rows{{"4", "27"}}));
}

TEST_F(Standin, OtherErrorsAndTheEdgesOfTheDialect) {
    struct Case {
        const char* sql;
        int native;
        const char* sqlstate;
    };
    const Case cases[] = {
        {"MERGE INTO x USING y ON 1=1 WHEN MATCHED THEN INSERT (a) VALUES (1);", 102, "42000"},
        {"MERGE INTO x USING y ON 1=1 WHEN NOT MATCHED BY SOURCE THEN INSERT (a) VALUES (1);", 102, "42000"},
        {"SELECT 1 FROM", 102, "42000"},
        {"SELECT * FROM dbo.missing", 208, "42S02"},
        {"SELECT nosuch FROM sys.tables", 207, "42S22"},
        {"SELECT NOSUCHFUNC(1)", 195, "42000"},
        {"SELECT CAST('2024-13-01' AS date)", 242, "22008"},
        {"SELECT CAST('not a date' AS datetime)", 241, "22007"},
        {"SELECT CAST(300 AS tinyint)", 8115, "22003"},
        {"COMMIT TRANSACTION", 3902, "25000"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sql);
        auto d = fails(k.sql);
        ASSERT_FALSE(d.empty());
        EXPECT_EQ(d[0].native, k.native);
        EXPECT_EQ(d[0].sqlstate, k.sqlstate);
    }
    EXPECT_EQ(fails("DECLARE @x int; GOTO done")[0].message, "Incorrect syntax near 'GOTO'.");
    // Every comparison operator, written with and without spaces; a lone '!' or a stray
    // character is no operator.
    EXPECT_EQ(c.query("SELECT CASE WHEN 1<>2 AND 1!=2 AND 1<=1 AND 2>=1 AND 2!<1 AND 1!>2 AND 1 < 2 AND 2 > 1 "
                      "AND NOT (1!<2) AND NOT (2 !> 1) THEN 'yes' ELSE 'no' END"),
              (std::vector<std::vector<std::string>>{{"yes"}}));
    for (const char* sql : {"SELECT 1 WHERE 1 ! 2", "SELECT 1 WHERE 1 =! 2", "SELECT 1 WHERE 1 ^ 2"}) {
        SCOPED_TRACE(sql);
        EXPECT_EQ(fails(sql).at(0).native, 102);
    }
}

// Decimals are exact to 38 digits, smalldatetime rounds as datetime's ticks make it, texts
// become the bytes their type holds them in and back, and CHAR and REPLICATE are SQL Server's.
TEST_F(Standin, ValuesConvertAsSqlServerConvertsThem) {
    using Rows = std::vector<std::vector<std::string>>;
    struct Case {
        const char* expression;
        const char* value;
    } cases[] = {
        {"CAST(12345678901234.5678 AS decimal(18,4))", "12345678901234.5678"},
        {"CAST(99999999999999.9999 AS decimal(18,4))", "99999999999999.9999"},
        {"CAST(922337203685477.5807 AS money)", "922337203685477.5807"},
        {"CAST(-922337203685477.5808 AS money)", "-922337203685477.5808"},
        {"CAST(12345678901234567890123456789012345678 AS decimal(38,0))", "12345678901234567890123456789012345678"},
        {"CAST(0.12345678901234567890123456789012345678 AS decimal(38,38))", "0.12345678901234567890123456789012345678"},
        {"CAST(12345678901234.5678 AS varchar(30))", "12345678901234.5678"},
        {"CAST(-.50 AS varchar(10)) + CAST(007. AS varchar(10))", "-0.507"},
        {"-12345678901234.5678", "-12345678901234.5678"},
        {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
        {"CAST('2007-05-08 12:35:29.998' AS smalldatetime)", "2007-05-08 12:35:00"},
        {"CAST('2007-05-08 12:35:29.999' AS smalldatetime)", "2007-05-08 12:36:00"},
        {"CAST(CAST('2007-05-08 23:59:29.999' AS datetime) AS smalldatetime)", "2007-05-09 00:00:00"},
        {"CAST(N'a\u00e9\u20ac' AS varbinary(10))", "6100E900AC20"},
        {"CAST('a\u00e9\u20ac' AS varbinary(10))", "61E980"},
        {"CAST(CAST('6F9619FF-8B86-D011-B42D-00C04FC964FF' AS uniqueidentifier) AS binary(16))",
         "FF19966F868B11D0B42D00C04FC964FF"},
        {"CAST(0x6100E900AC20 AS nvarchar(10))", "a\u00e9\u20ac"},
        {"CAST(0x61E980 AS varchar(10))", "a\u00e9\u20ac"},
        {"CAST(CAST(N'\U0001D11E' AS varbinary(max)) AS nvarchar(max))", "\U0001D11E"},
        {"CHAR(65) + CHAR(233) + CHAR(128)", "A\u00e9\u20ac"},
        {"CHAR(256)", "NULL"},
        {"CHAR(-1)", "NULL"},
        {"REPLICATE('ab', 3)", "ababab"},
        {"REPLICATE(N'\u00e9', 2)", "\u00e9\u00e9"},
        {"REPLICATE('x', 0)", ""},
        {"REPLICATE('x', -1)", "NULL"},
        {"LEN(REPLICATE('abc', 5000))", "8000"},
        {"LEN(REPLICATE(N'abc', 5000))", "4000"},
        {"LEN(REPLICATE(CAST('abc' AS varchar(max)), 5000))", "15000"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.expression);
        EXPECT_EQ(c.query(std::string("SELECT ") + k.expression), (Rows{{k.value}}));
    }
    // Literals written to columns keep every digit; what does not fit fails.
    ok("CREATE TABLE dbo.amounts (d decimal(18,4), m money, i int, t varchar(30))");
    ok("INSERT INTO dbo.amounts (d, m, i, t) VALUES (12345678901234.5678, 922337203685477.5807, 1.5, 0.10)");
    ok("UPDATE dbo.amounts SET d = 99999999999999.9999 WHERE d = CAST(12345678901234.5678 AS decimal(18,4))");
    EXPECT_EQ(c.query("SELECT d, m, i, t FROM dbo.amounts"),
              (Rows{{"99999999999999.9999", "922337203685477.5807", "1", "0.10"}}));
    for (const char* sql : {"INSERT INTO dbo.amounts (m) VALUES (922337203685477.5808)",
                            "INSERT INTO dbo.amounts (d) VALUES (100000000000000.0000)",
                            "SELECT CAST(214748.3648 AS smallmoney)"}) {
        SCOPED_TRACE(sql);
        EXPECT_EQ(fails(sql).at(0).native, 8115);
    }
}

TEST_F(Standin, ATopOfFewerThanNoRowsIsRefused) {
    using Rows = std::vector<std::vector<std::string>>;
    ok("CREATE TABLE dbo.n (a int NOT NULL); INSERT INTO dbo.n (a) VALUES (1), (2), (3)");
    for (const char* sql : {"SELECT TOP (-1) a FROM dbo.n", "DELETE TOP (-1) FROM dbo.n", "UPDATE TOP (-1) dbo.n SET a = 0",
                            "DECLARE @n bigint = -2; SELECT TOP (@n) a FROM dbo.n",
                            "DECLARE @n int; SELECT TOP (@n) a FROM dbo.n"}) {
        SCOPED_TRACE(sql);
        auto d = fails(sql);
        ASSERT_FALSE(d.empty());
        EXPECT_EQ(d[0].native, 1014);
        EXPECT_EQ(d[0].message, "A TOP or FETCH clause contains an invalid value.");
    }
    // A parameter is checked when the statement runs.
    SQLHSTMT st = c.stmt();
    SQLINTEGER rows = -1;
    SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &rows, 0, nullptr);
    EXPECT_EQ(SQLExecDirect(st, (SQLCHAR*)"SELECT TOP (?) a FROM dbo.n", SQL_NTS), SQL_ERROR);
    EXPECT_EQ(OdbcConnection::diags(SQL_HANDLE_STMT, st)[0].native, 1014);
    EXPECT_EQ(c.query("SELECT TOP (0) a FROM dbo.n"), Rows{});
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.n"), (Rows{{"3"}}));
}

// Parsed batches are kept by text, a bounded number of them: when texts that never come again
// fill the room, every text still runs as written, the one asked for all along too.
TEST_F(Standin, ManyDistinctTextsEachRunAsWritten) {
    using Rows = std::vector<std::vector<std::string>>;
    ok("CREATE TABLE dbo.kept (n int)");
    ok("INSERT INTO dbo.kept VALUES (7)");
    for (int i = 0; i < 2500; ++i) {
        ASSERT_EQ(c.query("SELECT " + std::to_string(i) + " + n FROM dbo.kept"), (Rows{{std::to_string(i + 7)}})) << i;
        if (i % 250 == 0) {
            ASSERT_EQ(c.query("SELECT n FROM dbo.kept"), (Rows{{"7"}})) << i;
        }
    }
}

// A derived table under a TOP of the largest bigint keeps every row (the stand-in drops that
// TOP); any other TOP still cuts.
TEST_F(Standin, TopOfTheLargestBigintKeepsEveryRow) {
    using Rows = std::vector<std::vector<std::string>>;
    ok("CREATE TABLE dbo.n (a int NOT NULL PRIMARY KEY); INSERT INTO dbo.n (a) VALUES (1), (2), (3), (4), (5)");
    struct Case {
        const char* top;
        const char* rows;
    } cases[] = {
        {"TOP (CAST(0x7FFFFFFFFFFFFFFF AS [bigint]))", "5"}, {"TOP (CAST(0x007fffffffffffffff AS bigint))", "5"},
        {"TOP (9223372036854775807)", "5"},                  {"TOP (CAST(0x7FFFFFFFFFFFFFFE AS bigint))", "5"},
        {"TOP (CAST(0x7FFFFFFF AS int))", "5"},              {"TOP (2)", "2"},
        {"TOP 3", "3"},                                      {"TOP (CAST(0x01 AS bigint))", "1"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.top);
        EXPECT_EQ(c.query(std::string("SELECT COUNT(*) FROM (SELECT ") + k.top + " a FROM dbo.n ORDER BY a DESC) AS d"),
                  (Rows{{k.rows}}));
        // As the store tests for any changed row: one match of the derived table is enough.
        EXPECT_EQ(c.query(std::string("DECLARE @x bigint; SET @x = -1; SELECT TOP (1) @x = n.a FROM dbo.n AS n INNER JOIN (SELECT ") +
                          k.top + " a FROM dbo.n WHERE a > 3) AS d ON d.a = n.a; SELECT CASE WHEN @x > 3 THEN 1 ELSE 0 END"),
                  (Rows{{"1"}}));
    }
}

// Every spelling of a GUID, in a varchar or an nvarchar literal, is stored and cast to one form
// in capitals and compares equal to the others (the column's comparisons and its index rely on
// it); anything else is refused with 8169.
TEST_F(Standin, GuidTextsAreStoredInOneForm) {
    ok("CREATE TABLE g (id int PRIMARY KEY, g uniqueidentifier NOT NULL)");
    const std::string canonical = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    const char* accepted[] = {"6f9619ff-8b86-d011-b42d-00c04fc964ff", "6F9619FF-8b86-D011-b42d-00C04FC964ff",
                              "6F9619FF-8b86-D011-b42D-00c04FC964ff", "{6f9619ff-8b86-d011-b42d-00c04fc964ff}",
                              "6F9619FF-8B86-D011-B42D-00C04FC964FF"};
    int id = 0;
    for (const char* text : accepted) {
        SCOPED_TRACE(text);
        const std::string t(text), n = std::to_string(++id), v = std::to_string(100 + id);
        ok("INSERT INTO g (id, g) VALUES (" + n + ", N'" + t + "'), (" + v + ", '" + t + "')");
        EXPECT_EQ(c.query("SELECT g, CAST(N'" + t + "' AS uniqueidentifier), CAST('" + t +
                          "' AS uniqueidentifier) FROM g WHERE id IN (" + n + ", " + v + ") ORDER BY id"),
                  (std::vector<std::vector<std::string>>{{canonical, canonical, canonical},
                                                         {canonical, canonical, canonical}}));
    }
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM g WHERE g = N'6f9619ff-8B86-d011-B42D-00c04fc964ff'"),
              (std::vector<std::vector<std::string>>{{"10"}}));
    const char* refused[] = {"6f9619ff-8b86-d011-b42d-00c04fc964fg", "6f9619ff8-b86-d011-b42d-00c04fc964ff",
                             "6f9619ff08b86-d011-b42d-00c04fc964ff", "6f9619ff-8b86-d011-b42d-00c04fc964f",
                             "6f9619ff-8b86-d011-b42d-00c04fc964ff0"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        const std::string t(text);
        std::vector<std::string> statements = {"INSERT INTO g (id, g) VALUES (99, N'" + t + "')",
                                               "INSERT INTO g (id, g) VALUES (99, '" + t + "')"};
        // A cast reads no more than a GUID's 36 characters, as SQL Server's does.
        if (t.size() <= 36) statements.push_back("SELECT CAST('" + t + "' AS uniqueidentifier)");
        for (const std::string& sql : statements) {
            auto d = fails(sql);
            ASSERT_FALSE(d.empty());
            EXPECT_EQ(d[0].native, 8169);
        }
    }
}

// GUIDs sort as SQL Server sorts them, by their last group first and the first group last,
// whatever the letter case they were given in; a key lookup finds each of them.
TEST_F(Standin, GuidsSortByTheirLastGroupFirst) {
    ok("CREATE TABLE gs (g uniqueidentifier NOT NULL PRIMARY KEY, n int NOT NULL)");
    const char* sorted[] = {"FFFFFFFF-FFFF-FFFF-FFFF-000000000000", "00000000-0000-0000-0000-00000000000A",
                            "00000000-0000-0000-0001-00000000000A", "00000000-0000-0001-0001-00000000000A",
                            "00000000-0001-0001-0001-00000000000A", "00000001-0001-0001-0001-00000000000A",
                            "0000000A-0001-0001-0001-00000000000A", "00000000-0000-0000-0000-0A0000000000",
                            "00000000-0000-0000-0000-A00000000000"};
    const int given[] = {6, 0, 8, 3, 1, 7, 5, 2, 4};
    for (int i : given) {
        std::string text = sorted[i];
        if (i % 2) for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        ok("INSERT INTO gs (g, n) VALUES ('" + text + "', " + std::to_string(i) + ")");
    }
    std::vector<std::vector<std::string>> expected;
    for (int i = 0; i < 9; ++i) expected.push_back({sorted[i], std::to_string(i)});
    EXPECT_EQ(c.query("SELECT g, n FROM gs ORDER BY g"), expected);
    for (int i = 0; i < 9; ++i) {
        std::string lower = sorted[i];
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(c.query("SELECT n FROM gs WHERE g = '" + lower + "'"),
                  (std::vector<std::vector<std::string>>{{std::to_string(i)}}))
            << sorted[i];
    }
}

// Parameters keep their values wherever the translation puts them: after one another, in
// another order (a TOP becomes a LIMIT at the end), or next to literals that look like them.
TEST_F(Standin, ParametersKeepTheirValuesWhereverTheTranslationPutsThem) {
    ok("CREATE TABLE dbo.p (a int NOT NULL PRIMARY KEY); INSERT INTO dbo.p (a) VALUES (1), (2), (3), (4), (5)");
    struct Case {
        const char* sql;
        std::vector<SQLINTEGER> params;
        std::vector<std::vector<std::string>> rows;
    } cases[] = {
        {"SELECT ?, ?, ?", {1, 2, 3}, {{"1", "2", "3"}}},
        {"SELECT TOP (?) a FROM dbo.p WHERE a > ? ORDER BY a", {2, 1}, {{"2"}, {"3"}}},
        {"SELECT ? AS x, N'?1 and ?' AS y, '[?2]' AS z, ? AS w", {7, 8}, {{"7", "?1 and ?", "[?2]", "8"}}},
        {"SELECT a FROM dbo.p WHERE a BETWEEN ? AND ? AND a <> ? ORDER BY a", {2, 4, 3}, {{"2"}, {"4"}}},
        {"INSERT INTO dbo.p (a) VALUES (?), (?), (?); SELECT COUNT(*) FROM dbo.p WHERE a > 5", {8, 6, 7}, {{"3"}}},
        {"INSERT INTO dbo.p (a) VALUES (?), (10), (?); SELECT COUNT(*) FROM dbo.p WHERE a > 8", {9, 11}, {{"3"}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sql);
        SQLHSTMT st = c.stmt();
        std::vector<SQLINTEGER> values = k.params;
        for (size_t i = 0; i < values.size(); ++i)
            ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(st, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_SLONG,
                                                       SQL_INTEGER, 0, 0, &values[i], 0, nullptr)));
        ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)k.sql, SQL_NTS)))
            << (OdbcConnection::diags(SQL_HANDLE_STMT, st).empty() ? "" : OdbcConnection::diags(SQL_HANDLE_STMT, st)[0].message);
        // Past the results of statements without columns (the INSERT's).
        SQLSMALLINT cols = 0;
        while (SQL_SUCCEEDED(SQLNumResultCols(st, &cols)) && cols == 0 && SQLMoreResults(st) == SQL_SUCCESS) {
        }
        EXPECT_EQ(fetch_rows(st), k.rows);
    }
    // Rows of parameters are one statement: a duplicate among them leaves none of them.
    SQLHSTMT st = c.stmt();
    SQLINTEGER twice[] = {20, 21, 20};
    for (SQLUSMALLINT i = 0; i < 3; ++i)
        SQLBindParameter(st, i + 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &twice[i], 0, nullptr);
    EXPECT_EQ(SQLExecDirect(st, (SQLCHAR*)"INSERT INTO dbo.p (a) VALUES (?), (?), (?)", SQL_NTS), SQL_ERROR);
    auto d = OdbcConnection::diags(SQL_HANDLE_STMT, st);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d[0].native, 2627);
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM dbo.p WHERE a >= 20"), (std::vector<std::vector<std::string>>{{"0"}}));
}

TEST_F(Standin, RowCountResultSetsAndNoData) {
    ok("SET NOCOUNT ON");
    ok("CREATE TABLE n (a int)");
    ok("INSERT INTO n VALUES (1), (2), (3)");
    EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (std::vector<std::vector<std::string>>{{"3"}}));
    EXPECT_EQ(c.exec("UPDATE n SET a = 0 WHERE a > 10"), SQL_NO_DATA);
    EXPECT_EQ(c.query("SELECT @@ROWCOUNT"), (std::vector<std::vector<std::string>>{{"0"}}));
    SQLHSTMT st = c.stmt();
    ASSERT_EQ(SQLExecDirect(st, (SQLCHAR*)"SET NOCOUNT ON; SELECT a FROM n ORDER BY a DESC; SELECT COUNT_BIG(*) FROM n", SQL_NTS), SQL_SUCCESS);
    SQLINTEGER v;
    ASSERT_EQ(SQLFetch(st), SQL_SUCCESS);
    SQLGetData(st, 1, SQL_C_SLONG, &v, 4, nullptr);
    EXPECT_EQ(v, 3);
    ASSERT_EQ(SQLMoreResults(st), SQL_SUCCESS);
    SQLSMALLINT type;
    SQLDescribeCol(st, 1, nullptr, 0, nullptr, &type, nullptr, nullptr, nullptr);
    EXPECT_EQ(type, SQL_BIGINT);
    ASSERT_EQ(SQLFetch(st), SQL_SUCCESS);
    EXPECT_EQ(SQLMoreResults(st), SQL_NO_DATA);
}

TEST_F(Standin, TransactionsSavepointsAndCaseInsensitiveText) {
    ok("CREATE TABLE k (name nvarchar(20) PRIMARY KEY, n int)");
    ok("BEGIN TRANSACTION");
    ok("INSERT INTO k VALUES (N'Alpha', 1)");
    ok("SAVE TRAN sp1");
    ok("INSERT INTO k VALUES (N'Beta', 2)");
    ok("ROLLBACK TRAN sp1");
    ok("COMMIT TRANSACTION");
    EXPECT_EQ(c.query("SELECT n FROM k WHERE name = 'ALPHA  '"), (std::vector<std::vector<std::string>>{{"1"}}));
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM k"), (std::vector<std::vector<std::string>>{{"1"}}));
    ok("BEGIN TRANSACTION");
    ok("DELETE FROM k");
    ok("ROLLBACK TRANSACTION");
    EXPECT_EQ(c.query("SELECT COUNT(*) FROM k"), (std::vector<std::vector<std::string>>{{"1"}}));
}

TEST(StandinFaults, InjectedErrorsFireOnTheNamedStatement) {
    std::string dir = make_data_dir();
    {
        OdbcConnection setup(dir, "app");
        ASSERT_TRUE(SQL_SUCCEEDED(setup.exec("CREATE TABLE dbo.w (a int)")));
    }
    OdbcConnection c(dir, "app", "Fault={1205:2:INSERT INTO dbo.w|2627:1:UPDATE dbo.w}");
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("BEGIN TRANSACTION")));
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("INSERT INTO dbo.w VALUES (1)")));
    ASSERT_TRUE(SQL_SUCCEEDED(c.exec("SELECT * FROM dbo.w")));
    EXPECT_EQ(c.exec("INSERT INTO dbo.w VALUES (2)"), SQL_ERROR);
    EXPECT_EQ(c.last_diags().at(0).native, 1205);
    EXPECT_EQ(c.last_diags().at(0).sqlstate, "40001");
    // The deadlock victim's transaction is gone: the first insert was rolled back too.
    EXPECT_EQ(c.query("SELECT COUNT(*), @@TRANCOUNT FROM dbo.w"), (std::vector<std::vector<std::string>>{{"0", "0"}}));
    EXPECT_EQ(c.exec("UPDATE dbo.w SET a = 1"), SQL_ERROR);
    EXPECT_EQ(c.last_diags().at(0).native, 2627);
    EXPECT_NE(c.last_diags().at(0).message.find("Cannot insert duplicate key in object 'dbo.w'"), std::string::npos);
    EXPECT_TRUE(SQL_SUCCEEDED(c.exec("INSERT INTO dbo.w VALUES (3)")));
}

}  // namespace
