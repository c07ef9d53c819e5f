// sqlserver-standin: the management tool of the SQL Server stand-in.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "config_schema.h"
#include "dbfile.h"
#include "session.h"

using namespace sqlserver_standin;

namespace {

const char* const kUsage = R"(usage: sqlserver-standin COMMAND ARGS...

Every database is one file <data-dir>/<database>.sqlite, the one the ODBC
driver opens for Driver=<driver .so>;Server=<data-dir>;Database=<database>.

commands:
  create-db DATA_DIR DATABASE
      Creates an empty database (its catalog only).
  run DATA_DIR DATABASE SCRIPT
      Runs a T-SQL script file; batches are separated by lines reading GO.
      Result rows are printed tab-separated.
  create-config DATA_DIR DATABASE
      Creates the configuration database: schema tavrin with dbfiles, log,
      audit, groups, users, rules_record, rules_column and rules_fk.
  register-dbfile DATA_DIR DATABASE NAME [--version N] [--odbc TEXT] [--scheme JSON]
      Adds a row to tavrin.dbfiles (version 17 unless given).
  create-dbfile DATA_DIR DATABASE DBFILE
      Creates every per-dbfile object in DATABASE: the $t$ tables, the
      procedures GetGen, GetTxId and GetProperty, $z$noop_updates, the
      recovery and dump tables, the counter row and generation 1.
  add-table DATA_DIR DATABASE DBFILE SCHEMA.TABLE [COLUMN...]
      Synchronises a host table (it needs a primary key or an identity
      column): backing tables and views, the row-version logic, versions of
      its present rows and a schema transaction. COLUMNs: the synchronised
      columns (default: all).
  prepare-column DATA_DIR DATABASE DBFILE SCHEMA.TABLE COLUMN
      Synchronises one more column of a synchronised table (one left out by
      add-table, or one added later with ALTER TABLE ... ADD): the old-values
      tables grow it, the row-version logic records it, and a new schema
      transaction marks the table's change and the column's dump.
  set-rule DATA_DIR DATABASE DBFILE SIT ACT [EXTRA]
      Sets the dbfile rule of situation SIT (1 = days of generation history).
  set-record-rule DATA_DIR DATABASE SCHEMA.TABLE SIT ACT [EXTRA]
      Sets the table's conflict rule of situation SIT in tavrin.rules_record.
  set-column-rule DATA_DIR DATABASE SCHEMA.TABLE COLUMN|* ACT [EXTRA]
      Sets a column's merge rule in tavrin.rules_column (* = the table's default).
  set-fk-rule DATA_DIR DATABASE FOREIGN_KEY SIT ACT
      Sets the rule of situation SIT for a foreign key (by constraint name,
      SCHEMA.NAME) in tavrin.rules_fk.
  add-acl DATA_DIR DATABASE DBFILE SCHEME WHO TABLE|* OP RESULT
      Adds an access-list row (WHO "" = everybody).
  add-filter DATA_DIR DATABASE DBFILE ID JSON
      Stores a row filter.
  assign-filter DATA_DIR DATABASE DBFILE SCHEME WHO FILTER_ID PRIORITY
      Assigns a filter to a user (WHO "" = everybody).
  add-user DATA_DIR DATABASE NAME PASSWORD
      Adds a row to tavrin.users.
  add-group DATA_DIR DATABASE USER GROUP
      Adds a row to tavrin.groups.
  purge DATA_DIR DATABASE DBFILE GENERATION
      Forgets the versions that ended up to GENERATION and records the purge.
  snapshot DATA_DIR DATABASE FILE
      Copies the database to FILE (a server backup).
  restore DATA_DIR DATABASE FILE
      Replaces the database by a snapshot (a server restored to an earlier point).
  --help
      Shows this text.
)";

std::vector<std::string> split_batches(const std::string& script) {
    std::vector<std::string> out(1);
    std::istringstream in(script);
    std::string line;
    while (std::getline(in, line)) {
        std::string t = line;
        t.erase(0, t.find_first_not_of(" \t\r"));
        t.erase(t.find_last_not_of(" \t\r") + 1);
        if (t == "GO" || t == "go" || t == "Go") {
            out.emplace_back();
            continue;
        }
        out.back() += line + "\n";
    }
    return out;
}

void print_results(const ExecOutcome& o) {
    for (const auto& rs : o.results) {
        for (size_t i = 0; i < rs.columns.size(); ++i) std::cout << (i ? "\t" : "") << rs.columns[i].name;
        std::cout << "\n";
        for (const auto& row : rs.rows) {
            for (size_t i = 0; i < row.size(); ++i) {
                const Value& v = row[i];
                std::cout << (i ? "\t" : "");
                if (v.is_null()) std::cout << "NULL";
                else if (v.kind == Value::Int) std::cout << v.i;
                else if (v.kind == Value::Real) std::cout << format_real(v.r);
                else if (v.kind == Value::Blob) {
                    std::cout << "0x";
                    for (unsigned char c : v.s) std::printf("%02X", c);
                    std::fflush(stdout);
                } else
                    std::cout << v.s;
            }
            std::cout << "\n";
        }
    }
}

int fail(const std::string& msg) {
    std::cerr << "sqlserver-standin: " << msg << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    const std::string& cmd = args[0];
    try {
        if ((cmd == "create-db" || cmd == "create-config") && args.size() == 3) {
            Session s(args[1], args[2]);
            if (cmd == "create-config") {
                s.execute_text(kConfigSchemaDdl);
                ensure_rules_tables(s);
            }
            return 0;
        }
        if (cmd == "run" && args.size() == 4) {
            std::ifstream f(args[3]);
            if (!f) return fail("cannot read " + args[3]);
            std::stringstream buf;
            buf << f.rdbuf();
            Session s(args[1], args[2]);
            for (const auto& batch : split_batches(buf.str())) {
                if (batch.find_first_not_of(" \t\r\n") == std::string::npos) continue;
                print_results(s.execute_text(batch));
            }
            return 0;
        }
        auto number = [](const std::string& text) {
            size_t used = 0;
            long long v = 0;
            try {
                v = std::stoll(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != text.size()) throw std::invalid_argument("not a number: '" + text + "'");
            return v;
        };
        auto nullable = [](const std::string& text) { return text.empty() ? Value::null() : Value::text(text); };
        if (cmd == "create-dbfile" && args.size() == 4) {
            Session s(args[1], args[2]);
            create_dbfile(s, args[3]);
            return 0;
        }
        if (cmd == "add-table" && args.size() >= 5) {
            Session s(args[1], args[2]);
            std::cout << add_host_table(s, args[3], args[4], std::vector<std::string>(args.begin() + 5, args.end())) << "\n";
            return 0;
        }
        if (cmd == "set-rule" && (args.size() == 6 || args.size() == 7)) {
            long long sit = number(args[4]), act = number(args[5]);
            if (sit == 123) return fail("situation 123 is the counter row; it is kept by the procedures");
            Session s(args[1], args[2]);
            check_dbfile_exists(s, args[3]);
            std::string rules = "tavrin.[" + args[3] + "$t$rules]";
            s.execute_text("BEGIN TRANSACTION; DELETE FROM " + rules + " WHERE sit = ?; INSERT INTO " + rules +
                               " (sit, act, extra) VALUES (?, ?, ?); COMMIT TRANSACTION",
                           {Value::integer(sit), Value::integer(sit), Value::integer(act),
                            args.size() == 7 ? Value::text(args[6]) : Value::null()});
            return 0;
        }
        if (cmd == "prepare-column" && args.size() == 6) {
            Session s(args[1], args[2]);
            prepare_column(s, args[3], args[4], args[5]);
            return 0;
        }
        // Global rules: the row of the same key is replaced; the tables and
        // the key are checked first, so a bad rule changes nothing.
        if ((cmd == "set-record-rule" || cmd == "set-column-rule") && (args.size() == 6 || args.size() == 7)) {
            bool record = cmd == "set-record-rule";
            long long act = number(args[5]);
            Value sit_or_col = record ? Value::integer(number(args[4])) : Value::null();
            Session s(args[1], args[2]);
            auto id = s.execute_text("SELECT OBJECT_ID(?, 'U')", {Value::text(args[3])}).results[0].rows;
            if (id.empty() || id[0][0].is_null()) return fail("no table '" + args[3] + "'");
            if (!record && args[4] != "*") {
                auto col = s.execute_text("SELECT column_id FROM sys.columns WHERE object_id = ? AND name = ?",
                                          {id[0][0], Value::text(args[4])}).results[0].rows;
                if (col.empty()) return fail("table '" + args[3] + "' has no column '" + args[4] + "'");
                sit_or_col = col[0][0];
            }
            Value extra = args.size() == 7 ? Value::text(args[6]) : Value::null();
            if (record)
                s.execute_text("BEGIN TRANSACTION; DELETE FROM tavrin.rules_record WHERE sit = ? AND tbl_id = ?;"
                               " INSERT INTO tavrin.rules_record (sit, tbl_id, act, extra) VALUES (?, ?, ?, ?); COMMIT TRANSACTION",
                               {sit_or_col, id[0][0], sit_or_col, id[0][0], Value::integer(act), extra});
            else
                s.execute_text("BEGIN TRANSACTION; DELETE FROM tavrin.rules_column WHERE tbl_id = ? AND"
                               " (col_id = ? OR (col_id IS NULL AND ? IS NULL));"
                               " INSERT INTO tavrin.rules_column (tbl_id, col_id, act, extra) VALUES (?, ?, ?, ?); COMMIT TRANSACTION",
                               {id[0][0], sit_or_col, sit_or_col, id[0][0], sit_or_col, Value::integer(act), extra});
            return 0;
        }
        if (cmd == "set-fk-rule" && args.size() == 6) {
            long long sit = number(args[4]), act = number(args[5]);
            Session s(args[1], args[2]);
            auto id = s.execute_text("SELECT OBJECT_ID(?, 'F')", {Value::text(args[3])}).results[0].rows;
            if (id.empty() || id[0][0].is_null()) return fail("no foreign key '" + args[3] + "'");
            s.execute_text("BEGIN TRANSACTION; DELETE FROM tavrin.rules_fk WHERE fk_id = ? AND sit = ?;"
                           " INSERT INTO tavrin.rules_fk (fk_id, sit, act) VALUES (?, ?, ?); COMMIT TRANSACTION",
                           {id[0][0], Value::integer(sit), id[0][0], Value::integer(sit), Value::integer(act)});
            return 0;
        }
        if (cmd == "add-acl" && args.size() == 9) {
            Session s(args[1], args[2]);
            check_dbfile_exists(s, args[3]);
            Value tbl;
            if (args[6] != "*") {
                auto r = s.execute_text("SELECT OBJECT_ID(?, 'U')", {Value::text(args[6])}).results[0].rows;
                if (r.empty() || r[0][0].is_null()) return fail("no table '" + args[6] + "'");
                tbl = r[0][0];
            }
            s.execute_text("INSERT INTO tavrin.[" + args[3] + "$t$a] (scheme, who, tbl_id, op, result) VALUES (?, ?, ?, ?, ?)",
                           {Value::text(args[4]), nullable(args[5]), tbl, Value::text(args[7]), Value::text(args[8])});
            return 0;
        }
        if (cmd == "add-filter" && args.size() == 6) {
            long long id = number(args[4]);
            if (args[5].empty() || args[5].front() != '{' || args[5].back() != '}')
                return fail("a filter is a JSON object");
            Session s(args[1], args[2]);
            check_dbfile_exists(s, args[3]);
            s.execute_text("INSERT INTO tavrin.[" + args[3] + "$t$f] (id, filter) VALUES (?, ?)",
                           {Value::integer(id), Value::text(args[5])});
            return 0;
        }
        if (cmd == "assign-filter" && args.size() == 8) {
            long long id = number(args[6]), priority = number(args[7]);
            Session s(args[1], args[2]);
            check_dbfile_exists(s, args[3]);
            if (s.execute_text("SELECT 1 FROM tavrin.[" + args[3] + "$t$f] WHERE id = ?", {Value::integer(id)}).results[0].rows.empty())
                return fail("no filter " + args[6]);
            s.execute_text("INSERT INTO tavrin.[" + args[3] + "$t$uf] (scheme, who, filter, priority) VALUES (?, ?, ?, ?)",
                           {Value::text(args[4]), nullable(args[5]), Value::integer(id), Value::integer(priority)});
            return 0;
        }
        if ((cmd == "add-user" || cmd == "add-group") && args.size() == 5) {
            Session s(args[1], args[2]);
            s.execute_text(cmd == "add-user" ? "INSERT INTO tavrin.users (name, pass) VALUES (?, ?)"
                                             : "INSERT INTO tavrin.groups (username, groupname) VALUES (?, ?)",
                           {Value::text(args[3]), Value::text(args[4])});
            return 0;
        }
        if (cmd == "purge" && args.size() == 5) {
            long long g = number(args[4]);
            Session s(args[1], args[2]);
            purge_history(s, args[3], g);
            return 0;
        }
        if ((cmd == "snapshot" || cmd == "restore") && args.size() == 4) {
            Session s(args[1], args[2]);
            sqlite3* file = nullptr;
            int rc = sqlite3_open_v2(args[3].c_str(), &file,
                                     cmd == "snapshot" ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY, nullptr);
            if (rc == SQLITE_OK) {
                sqlite3* from = cmd == "snapshot" ? s.db() : file;
                sqlite3* to = cmd == "snapshot" ? file : s.db();
                sqlite3_backup* b = sqlite3_backup_init(to, "main", from, "main");
                rc = b ? sqlite3_backup_step(b, -1) : sqlite3_errcode(to);
                if (b) sqlite3_backup_finish(b);
                if (rc == SQLITE_DONE) rc = SQLITE_OK;
            }
            std::string err = rc == SQLITE_OK ? "" : (file ? sqlite3_errmsg(file) : "cannot open");
            sqlite3_close(file);
            if (rc != SQLITE_OK) return fail("cannot " + cmd + " " + args[3] + ": " + err);
            return 0;
        }
        if (cmd == "register-dbfile" && args.size() >= 4) {
            long long version = 17;
            Value odbc, scheme;
            for (size_t i = 4; i < args.size(); i += 2) {
                if (i + 1 >= args.size()) return fail("option " + args[i] + " needs a value");
                if (args[i] == "--version") version = std::stoll(args[i + 1]);
                else if (args[i] == "--odbc") odbc = Value::text(args[i + 1]);
                else if (args[i] == "--scheme") scheme = Value::text(args[i + 1]);
                else return fail("unknown option " + args[i]);
            }
            Session s(args[1], args[2]);
            s.execute_text("INSERT INTO tavrin.dbfiles (name, version, odbc, scheme) VALUES (?, ?, ?, ?)",
                           {Value::text(args[3]), Value::integer(version), odbc, scheme});
            return 0;
        }
    } catch (const TsqlError& e) {
        std::string msg;
        for (const auto& r : e.records) msg += (msg.empty() ? "" : "\n") + ("Msg " + std::to_string(r.native) + ": " + r.message);
        return fail(msg);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::cerr << kUsage;
    return 2;
}
