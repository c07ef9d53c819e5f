#include "common/tav_parse_defin_types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../qk/context_fixture.h"
#include "../qk/python_oracle.h"

namespace {

using DefinTypes = ContextTest;

TEST(DefinTypeTable, AffinityDeclaredTypeAndChecks) {
  struct Case {
    const char *type, *affinity, *decl;
    int checks;
  } cases[] = {
      {"identity", "integer primary key", "integer", 0},
      {"sint64", "int", "integer", 1},     {"sint32", "int", "integer", 1},   {"sint16", "int", "integer", 1},
      {"uint8", "int", "integer", 1},      {"uint1", "int", "integer", 1},    {"decimal", "int", "integer", 1},
      {"money8", "int", "integer", 1},     {"money4", "int", "integer", 1},   {"loose/int", "int", "integer", 0},
      {"real8", "real", "real", 1},        {"real4", "real", "real", 1},      {"loose/real", "real", "real", 0},
      {"date", "text", "text", 1},         {"time", "text", "text", 1},       {"datetime", "text", "text", 1},
      {"text", "text", "text", 1},         {"loose/text", "text", "text", 0}, {"blob", "blob", "blob", 1},
      {"guid", "blob", "blob", 1},         {"loose/blob", "blob", "blob", 0}, {"host", "", "", 1},
      {"Sint64", "", "", 1},               {"", "", "", 1},
  };
  for (const Case &c : cases) {
    EXPECT_STREQ(tav_defin__sqlite_affinity(c.type), c.affinity) << c.type;
    EXPECT_STREQ(tav_defin__sqlite_decl_type(c.type), c.decl) << c.type;
    EXPECT_EQ(tav_defin__type_has_checks(c.type), c.checks) << c.type;
  }
}

std::string check_sql(QK_context *ctx, const char *type, int width, int precision, const char *column) {
  QK_string *s = nullptr;
  tav_defin__constraint_check_sql(ctx, type, width, precision, column, &s);
  std::string r = s ? QK_string__sz(s) : "<none>";
  QK_string__free(ctx, s);
  return r;
}

TEST_F(DefinTypes, CheckTextsAreExact) {
  EXPECT_EQ(check_sql(ctx, "uint8", -1, -1, "v"),
            "-- uint8\nSELECT CASE\nWHEN (NEW.\"v\" IS NULL) THEN 1\n"
            "WHEN (typeof(NEW.\"v\")!='integer') THEN RAISE(ABORT, '[v] constraint violation: type mismatch: "
            "uint8(integer)')\n"
            "WHEN ( (NEW.\"v\" < 0) OR (NEW.\"v\" > 255) ) THEN RAISE(ABORT, '[v] constraint violation: out of "
            "range: uint8')\n"
            "ELSE 1\nEND");
  EXPECT_EQ(check_sql(ctx, "loose/int", -1, -1, "v"), "-- loose/int\nSELECT CASE\nWHEN (NEW.\"v\" IS NULL) THEN 1\nELSE 1\nEND");
  EXPECT_EQ(check_sql(ctx, "identity", -1, -1, "v"), "-- identity\nSELECT CASE\nWHEN (NEW.\"v\" IS NULL) THEN 1\nELSE 1\nEND");
  EXPECT_EQ(check_sql(ctx, "real4", -1, -1, "v"),
            "-- real4\nSELECT CASE\nWHEN (NEW.\"v\" IS NULL) THEN 1\n"
            "WHEN ( (typeof(NEW.\"v\")!='real') AND ( (typeof(NEW.\"v\")!='integer') OR (NEW.\"v\"!=CAST(NEW.\"v\" AS "
            "real)) ) ) THEN RAISE(ABORT, '[v] constraint violation: type mismatch: real4(real)')\n"
            "ELSE 1\nEND");
  const std::string typed = "WHEN (typeof(NEW.\"v\")!='text') THEN RAISE(ABORT, '[v] constraint violation: type mismatch: ";
  EXPECT_EQ(check_sql(ctx, "time", -1, -1, "v"),
            "-- time\nSELECT CASE\nWHEN (NEW.\"v\" IS NULL) THEN 1\n" + typed + "time(text)')\n" +
                R"golden(WHEN (length(NEW."v")<8) THEN RAISE(ABORT, '[v] constraint violation: invalid time')
WHEN (length(NEW."v")>16) THEN RAISE(ABORT, '[v] constraint violation: invalid time')WHEN (substr(NEW."v",3,1)!=':') THEN RAISE(ABORT, '[v] constraint violation: invalid time')WHEN (substr(NEW."v",6,1)!=':') THEN RAISE(ABORT, '[v] constraint violation: invalid time')WHEN (cast(substr(NEW."v",1,2) as integer)>23) THEN RAISE(ABORT, '[v] constraint violation: invalid time')WHEN (cast(substr(NEW."v",4,2) as integer)>59) THEN RAISE(ABORT, '[v] constraint violation: invalid time')WHEN (cast(substr(NEW."v",7,2) as integer)>59) THEN RAISE(ABORT, '[v] constraint violation: invalid time')WHEN (substr(strftime('%H:%M:%f', NEW."v"),1,length(NEW."v")) != substr(NEW."v",1,12)) THEN RAISE(ABORT, '[v] constraint violation: invalid time'))golden" + "ELSE 1\nEND");
  EXPECT_EQ(check_sql(ctx, "datetime", -1, -1, "v"),
            "-- datetime\nSELECT CASE\nWHEN (NEW.\"v\" IS NULL) THEN 1\n" + typed + "datetime(text)')\n" +
                R"golden(WHEN (CAST( (((length(rtrim(NEW."v")) = 10) AND (coalesce(strftime('%Y-%m-%d', NEW."v"), '') = rtrim(NEW."v")))OR ((length(rtrim(NEW."v")) = 16) AND (coalesce(strftime('%Y-%m-%d %H:%M', NEW."v"), '') = rtrim(NEW."v")))OR ((length(rtrim(NEW."v")) = 16) AND (coalesce(strftime('%Y-%m-%dT%H:%M', NEW."v"), '') = rtrim(NEW."v")))OR ((length(rtrim(NEW."v")) = 19) AND (coalesce(strftime('%Y-%m-%d %H:%M:%S', NEW."v"), '') = rtrim(NEW."v")))OR ((length(rtrim(NEW."v")) = 19) AND (coalesce(strftime('%Y-%m-%dT%H:%M:%S', NEW."v"), '') = rtrim(NEW."v")))OR ((length(rtrim(NEW."v")) = 23) AND (coalesce(strftime('%Y-%m-%d %H:%M:%f', NEW."v"), '') = rtrim(NEW."v")))OR ((length(rtrim(NEW."v")) = 23) AND (coalesce(strftime('%Y-%m-%dT%H:%M:%f', NEW."v"), '') = rtrim(NEW."v")))OR ((length(rtrim(NEW."v")) > 23) AND (length(rtrim(NEW."v")) <= 27) AND (coalesce(strftime('%Y-%m-%d %H:%M:%S', NEW."v"), '') = substr(rtrim(NEW."v"),1,19)))OR ((length(rtrim(NEW."v")) > 23) AND (length(rtrim(NEW."v")) <= 27) AND (coalesce(strftime('%Y-%m-%dT%H:%M:%S', NEW."v"), '') = substr(rtrim(NEW."v"),1,19)))) AS integer) = 0) THEN RAISE(ABORT, '[v] constraint violation: invalid datetime'))golden" + "ELSE 1\nEND");
  EXPECT_EQ(check_sql(ctx, "text", 0, -1, "v"), "-- text\nSELECT CASE\nWHEN (NEW.\"v\" IS NULL) THEN 1\n" + typed + "text(text)')\nELSE 1\nEND");
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(DefinTypes, CheckRefusesBadArguments) {
  EXPECT_EQ(check_sql(ctx, "varchar", -1, -1, "v"), "<none>");
  EXPECT_EQ(take_error(), "1:unknown column type 'varchar'");
  EXPECT_EQ(check_sql(ctx, nullptr, -1, -1, "v"), "<none>");
  EXPECT_EQ(take_error(), "2:szType is null");
  EXPECT_EQ(check_sql(ctx, "uint8", -1, -1, nullptr), "<none>");
  EXPECT_EQ(take_error(), "2:szColumn is null");
}

std::string hex(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string r;
  for (unsigned char ch : s) r += {digits[ch >> 4], digits[ch & 15]};
  return r;
}

// Each value is inserted through a BEFORE INSERT trigger that runs the generated check, in
// python's sqlite3 (the same SQLite the server links). "pass" or the RAISE message.
TEST_F(DefinTypes, ChecksAcceptAndRefuseValuesInSqlite) {
  struct Case {
    const char *type;
    int width, precision;
    const char *column, *decl, *literal, *outcome;
  } cases[] = {
      {"uint8", -1, -1, "v", "int", "NULL", "pass"},
      {"uint8", -1, -1, "v", "int", "255", "pass"},
      {"uint8", -1, -1, "v", "int", "'12'", "pass"},  // the column affinity makes it an integer
      {"uint8", -1, -1, "v", "int", "256", "[v] constraint violation: out of range: uint8"},
      {"uint8", -1, -1, "v", "int", "-1", "[v] constraint violation: out of range: uint8"},
      {"uint8", -1, -1, "v", "int", "1.5", "[v] constraint violation: type mismatch: uint8(integer)"},
      {"uint8", -1, -1, "v", "int", "'abc'", "[v] constraint violation: type mismatch: uint8(integer)"},
      {"sint16", -1, -1, "v", "int", "-32768", "pass"},
      {"sint16", -1, -1, "v", "int", "32768", "[v] constraint violation: out of range: sint16"},
      {"sint32", -1, -1, "v", "int", "-2147483648", "pass"},
      {"sint32", -1, -1, "v", "int", "2147483648", "[v] constraint violation: out of range: sint32"},
      {"money4", -1, -1, "v", "int", "-2147483649", "[v] constraint violation: out of range: money4"},
      {"sint64", -1, -1, "v", "int", "9223372036854775807", "pass"},
      {"money8", -1, -1, "v", "int", "X'01'", "[v] constraint violation: type mismatch: money8(integer)"},
      {"uint1", -1, -1, "v", "int", "1", "pass"},
      {"uint1", -1, -1, "v", "int", "2", "[v] constraint violation: out of range: uint1"},
      {"decimal", -1, 3, "v", "int", "-999", "pass"},
      {"decimal", -1, 3, "v", "int", "1000", "[v] constraint violation: precision exceeded (3)"},
      {"decimal", -1, -1, "v", "int", "123456789", "pass"},
      // Without affinity the integer 3 reaches the check as an integer equal to its real value.
      {"real8", -1, -1, "v", "", "3", "pass"},
      {"real8", -1, -1, "v", "", "9007199254740993", "[v] constraint violation: type mismatch: real8(real)"},
      {"real8", -1, -1, "v", "real", "2.5", "pass"},
      {"real8", -1, -1, "v", "real", "'x'", "[v] constraint violation: type mismatch: real8(real)"},
      {"text", 3, -1, "v", "text", "'abc'", "pass"},
      {"text", 3, -1, "v", "text", "'abcd'", "[v] constraint violation: width exceeded: 3"},
      {"text", 0, -1, "v", "text", "12", "pass"},
      {"blob", 2, -1, "v", "blob", "x'0102'", "pass"},
      {"blob", 2, -1, "v", "blob", "x'010203'", "[v] constraint violation: width exceeded: 2"},
      {"blob", -1, -1, "v", "blob", "'ab'", "[v] constraint violation: type mismatch: blob(blob)"},
      {"guid", -1, -1, "v", "blob", "randomblob(16)", "pass"},
      {"guid", -1, -1, "v", "blob", "randomblob(15)", "[v] constraint violation: must be 16 bytes (uniqueidentifier)"},
      {"date", -1, -1, "v", "text", "'2024-02-29'", "pass"},
      // SQLite keeps an impossible day as written, so the date check lets it through.
      {"date", -1, -1, "v", "text", "'2024-02-30'", "pass"},
      {"date", -1, -1, "v", "text", "'0000-12-31'", "[v] constraint violation: invalid date (YYYY-MM-DD)"},
      {"date", -1, -1, "v", "text", "'2024-2-1'", "[v] constraint violation: invalid date (YYYY-MM-DD)"},
      {"date", -1, -1, "v", "text", "'20240101'", "[v] constraint violation: invalid date (YYYY-MM-DD)"},
      {"time", -1, -1, "v", "text", "'12:30:00'", "pass"},
      {"time", -1, -1, "v", "text", "'12:30:00.1234567'", "pass"},
      {"time", -1, -1, "v", "text", "'24:00:00'", "[v] constraint violation: invalid time"},
      {"time", -1, -1, "v", "text", "'12:60:00'", "[v] constraint violation: invalid time"},
      {"time", -1, -1, "v", "text", "'1:30:00'", "[v] constraint violation: invalid time"},
      {"time", -1, -1, "v", "text", "'12:30:00.12345678'", "[v] constraint violation: invalid time"},
      {"time", -1, -1, "v", "text", "'12:30:00.9999'", "[v] constraint violation: invalid time"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29'", "pass"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29T10:11'", "pass"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29 10:11:12.123'", "pass"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29 10:11:12.1234567'", "pass"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29 10:11  '", "pass"},
      {"datetime", -1, -1, "v", "text", "'2023-02-29 10:11'", "pass"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29 10:11:12.12345678'", "[v] constraint violation: invalid datetime"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29 25:11'", "[v] constraint violation: invalid datetime"},
      {"datetime", -1, -1, "v", "text", "'2024-02-29X10:11'", "[v] constraint violation: invalid datetime"},
      {"loose/int", -1, -1, "v", "int", "'anything'", "pass"},
      {"host", -1, -1, "v", "", "'anything'", "pass"},
      // Quotes in the column name neither break the statement nor the message.
      {"uint8", -1, -1, "a\"b'c", "int", "300", "[a\"b'c] constraint violation: out of range: uint8"},
  };
  std::string script =
      "import sqlite3\n"
      "def run(check, column, decl, literal):\n"
      "    db = sqlite3.connect(':memory:')\n"
      "    name = '\"' + column.replace('\"', '\"\"') + '\"'\n"
      "    db.execute('CREATE TABLE foo (%s %s)' % (name, decl))\n"
      "    db.execute('CREATE TRIGGER bar BEFORE INSERT ON foo\\nBEGIN\\n\\n%s;\\nEND' % check)\n"
      "    try:\n"
      "        db.execute('INSERT INTO foo (%s) VALUES (%s)' % (name, literal))\n"
      "        return 'pass'\n"
      "    except sqlite3.IntegrityError as e:\n"
      "        return str(e)\n"
      "for line in '''";
  for (const Case &c : cases) {
    script += hex(check_sql(ctx, c.type, c.width, c.precision, c.column)) + " " + hex(c.column) + " x" + hex(c.decl) +
              " " + hex(c.literal) + "\n";
  }
  script +=
      "'''.split('\\n')[:-1]:\n"
      "    f = [bytes.fromhex(p.lstrip('x')).decode() for p in line.split(' ')]\n"
      "    print('x' + run(*f).encode().hex())\n";
  ASSERT_EQ(take_error(), "ok");
  auto rows = python_oracle_rows(script);
  ASSERT_EQ(rows.size(), sizeof cases / sizeof cases[0]);
  for (size_t i = 0; i < rows.size(); i++)
    EXPECT_EQ(oracle_unhex(rows[i][0]), cases[i].outcome) << cases[i].type << " " << cases[i].literal;
}

}  // namespace
