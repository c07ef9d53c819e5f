// A scripted ODBC driver installed in place of the driver manager through the module's
// entry-point table: it plays what only a real server produces (its diagnostic records, their
// order, fields a driver answers without delivering, SQL_NO_TOTAL) and logs what it was asked.
#pragma once

#include <string.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "qk/qk_mssql.h"

struct FakeDiagRecord {
  std::optional<std::string> message;
  std::optional<int> native;
  std::optional<std::string> state = std::string("42000");
  std::optional<int> msgState, severity;
  // -1150/-1151 answered with success without writing the buffer (the driver manager does this
  // after a failed connect).
  bool silentServerFields = false;
};

struct FakeValue {
  bool isNull = false;
  std::string bytes;      // fixed-size and binary values
  std::u16string text;    // SQL_C_WCHAR values
  bool noTotal = false;   // answer SQL_NO_TOTAL while a text is truncated
  size_t sent = 0;        // bytes of the value already handed out
};

struct FakeBind {
  SQLUSMALLINT ipar;
  SQLSMALLINT io, cType, sqlType;
  SQLULEN colSize;
  SQLSMALLINT digits;
  SQLPOINTER value;
  SQLLEN bufLen;
  SQLLEN *ind;
  SQLLEN indAtBind;
};

struct FakeOdbc {
  static inline FakeOdbc *current = nullptr;

  std::vector<std::string> calls;           // entry points in call order
  std::map<std::string, SQLRETURN> rc;      // forced return codes by entry point
  std::vector<FakeDiagRecord> diag;         // the records of every handle
  std::map<int, FakeValue> columns;         // column values of the single row
  int rows = 1, fetched = 0;
  std::vector<FakeBind> binds;
  std::vector<std::u16string> texts;        // statement texts received
  std::vector<SQLLEN> getDataLengths;       // buffer lengths handed to SQLGetData
  std::string putData;
  std::string connectString;
  int liveHandles = 0;

  FakeOdbc() {
    current = this;
    previous = QK_mssql__set_odbc(&table);
  }
  ~FakeOdbc() {
    QK_mssql__set_odbc(previous);
    current = nullptr;
  }
  bool called(const std::string &name) const {
    for (const auto &c : calls)
      if (c == name) return true;
    return false;
  }

 private:
  const QK_mssql_odbc_api *previous;

  static FakeOdbc &f() { return *current; }
  static SQLRETURN step(const char *name) {
    f().calls.push_back(name);
    auto it = f().rc.find(name);
    return it == f().rc.end() ? SQL_SUCCESS : it->second;
  }

  static SQLRETURN AllocHandle(SQLSMALLINT, SQLHANDLE, SQLHANDLE *out) {
    SQLRETURN r = step("AllocHandle");
    if (r != SQL_SUCCESS) {
      *out = SQL_NULL_HANDLE;
      return r;
    }
    *out = new int(0);
    f().liveHandles++;
    return r;
  }
  static SQLRETURN FreeHandle(SQLSMALLINT, SQLHANDLE h) {
    f().calls.push_back("FreeHandle");
    delete static_cast<int *>(h);
    f().liveHandles--;
    return SQL_SUCCESS;
  }
  static SQLRETURN SetEnvAttr(SQLHENV, SQLINTEGER attr, SQLPOINTER v, SQLINTEGER) {
    SQLRETURN r = step("SetEnvAttr");
    f().calls.push_back("env " + std::to_string(attr) + "=" + std::to_string((SQLLEN)v));
    return r;
  }
  static SQLRETURN SetConnectAttr(SQLHDBC, SQLINTEGER attr, SQLPOINTER v, SQLINTEGER) {
    SQLRETURN r = step("SetConnectAttr");
    f().calls.push_back("dbc " + std::to_string(attr) + "=" + std::to_string((SQLLEN)v));
    return r;
  }
  static SQLRETURN DriverConnect(SQLHDBC, SQLHWND, SQLCHAR *s, SQLSMALLINT len, SQLCHAR *, SQLSMALLINT,
                                 SQLSMALLINT *, SQLUSMALLINT completion) {
    if (len == SQL_NTS && completion == SQL_DRIVER_NOPROMPT) f().connectString = (const char *)s;
    return step("DriverConnect");
  }
  static SQLRETURN Disconnect(SQLHDBC) { return step("Disconnect"); }
  static SQLRETURN ExecDirectW(SQLHSTMT, SQLWCHAR *text, SQLINTEGER len) {
    if (len == SQL_NTS) f().texts.push_back((const char16_t *)text);
    f().fetched = 0;
    return step("ExecDirectW");
  }
  static SQLRETURN PrepareW(SQLHSTMT, SQLWCHAR *text, SQLINTEGER len) {
    if (len == SQL_NTS) f().texts.push_back((const char16_t *)text);
    return step("PrepareW");
  }
  static SQLRETURN Execute(SQLHSTMT) {
    f().fetched = 0;
    return step("Execute");
  }
  static SQLRETURN Fetch(SQLHSTMT) {
    SQLRETURN r = step("Fetch");
    if (r != SQL_SUCCESS) return r;
    return f().fetched++ < f().rows ? SQL_SUCCESS : SQL_NO_DATA;
  }
  static SQLRETURN GetData(SQLHSTMT, SQLUSMALLINT col, SQLSMALLINT cType, SQLPOINTER buf, SQLLEN len,
                           SQLLEN *ind) {
    SQLRETURN r = step("GetData");
    f().getDataLengths.push_back(len);
    if (r != SQL_SUCCESS) return r;
    FakeValue &v = f().columns[col];
    if (v.isNull) {
      if (ind == nullptr) {
        FakeDiagRecord r;
        r.message = "Indicator variable required but not supplied";
        r.native = 0;
        r.state = "22002";
        f().diag = {r};
        return SQL_ERROR;
      }
      *ind = SQL_NULL_DATA;
      return SQL_SUCCESS;
    }
    if (cType != SQL_C_WCHAR) {
      size_t n = std::min(v.bytes.size(), cType == SQL_C_BIT ? (size_t)1 : (size_t)len);
      memcpy(buf, v.bytes.data(), n);
      if (ind) *ind = (SQLLEN)v.bytes.size();
      return SQL_SUCCESS;
    }
    size_t total = v.text.size() * 2;
    if (v.sent > 0 && v.sent == total) return SQL_NO_DATA;
    size_t remaining = total - v.sent;
    size_t room = len >= 2 ? ((size_t)len - 2) & ~(size_t)1 : 0;
    size_t n = std::min(remaining, room);
    memcpy(buf, (const char *)v.text.data() + v.sent, n);
    memset((char *)buf + n, 0, 2);
    v.sent += n;
    bool truncated = n < remaining;
    *ind = truncated && v.noTotal ? SQL_NO_TOTAL : (SQLLEN)remaining;
    return truncated ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
  }
  static SQLRETURN GetDiagField(SQLSMALLINT, SQLHANDLE, SQLSMALLINT rec, SQLSMALLINT field, SQLPOINTER buf,
                                SQLSMALLINT len, SQLSMALLINT *outLen) {
    SQLRETURN r = step("GetDiagField");
    if (r != SQL_SUCCESS) return r;
    if (rec == 0 && field == SQL_DIAG_NUMBER) {
      *(SQLINTEGER *)buf = (SQLINTEGER)f().diag.size();
      return SQL_SUCCESS;
    }
    if (rec < 1 || rec > (SQLSMALLINT)f().diag.size()) return SQL_NO_DATA;
    const FakeDiagRecord &d = f().diag[rec - 1];
    auto text = [&](const std::optional<std::string> &s) {
      if (!s) return (SQLRETURN)SQL_ERROR;
      size_t n = std::min(s->size(), (size_t)len - 1);
      memcpy(buf, s->data(), n);
      ((char *)buf)[n] = 0;
      if (outLen) *outLen = (SQLSMALLINT)s->size();
      return n < s->size() ? (SQLRETURN)SQL_SUCCESS_WITH_INFO : (SQLRETURN)SQL_SUCCESS;
    };
    auto number = [&](const std::optional<int> &v, bool silent) {
      if (silent) return (SQLRETURN)SQL_SUCCESS;
      if (!v) return (SQLRETURN)SQL_ERROR;
      *(SQLINTEGER *)buf = *v;
      return (SQLRETURN)SQL_SUCCESS;
    };
    switch (field) {
      case SQL_DIAG_MESSAGE_TEXT: return text(d.message);
      case SQL_DIAG_SQLSTATE: return text(d.state);
      case SQL_DIAG_NATIVE: return number(d.native, false);
      case QK_MSSQL_DIAG_SS_MSGSTATE: return number(d.msgState, d.silentServerFields);
      case QK_MSSQL_DIAG_SS_SEVERITY: return number(d.severity, d.silentServerFields);
    }
    return SQL_ERROR;
  }
  static SQLRETURN NumResultCols(SQLHSTMT, SQLSMALLINT *n) {
    *n = (SQLSMALLINT)f().columns.size();
    return step("NumResultCols");
  }
  static SQLRETURN DescribeCol(SQLHSTMT, SQLUSMALLINT, SQLCHAR *name, SQLSMALLINT max, SQLSMALLINT *nameLen,
                               SQLSMALLINT *type, SQLULEN *size, SQLSMALLINT *digits, SQLSMALLINT *nullable) {
    snprintf((char *)name, max, "col");
    *nameLen = 3;
    *type = SQL_WVARCHAR;
    *size = 40;
    *digits = 0;
    *nullable = SQL_NULLABLE;
    return step("DescribeCol");
  }
  static SQLRETURN CloseCursor(SQLHSTMT) { return step("CloseCursor"); }
  static SQLRETURN BindParameter(SQLHSTMT, SQLUSMALLINT ipar, SQLSMALLINT io, SQLSMALLINT cType,
                                 SQLSMALLINT sqlType, SQLULEN colSize, SQLSMALLINT digits, SQLPOINTER value,
                                 SQLLEN bufLen, SQLLEN *ind) {
    f().binds.push_back({ipar, io, cType, sqlType, colSize, digits, value, bufLen, ind, ind ? *ind : 0});
    return step("BindParameter");
  }
  static SQLRETURN ParamData(SQLHSTMT, SQLPOINTER *) { return step("ParamData"); }
  static SQLRETURN PutData(SQLHSTMT, SQLPOINTER p, SQLLEN len) {
    f().putData.append((const char *)p, (size_t)len);
    return step("PutData");
  }
  static SQLRETURN MoreResults(SQLHSTMT) { return step("MoreResults"); }

  const QK_mssql_odbc_api table = {AllocHandle, FreeHandle,   SetEnvAttr,    SetConnectAttr, DriverConnect,
                                   Disconnect,  ExecDirectW,  PrepareW,      Execute,        Fetch,
                                   GetData,     GetDiagField, NumResultCols, DescribeCol,    CloseCursor,
                                   BindParameter, ParamData,  PutData,       MoreResults};
};
