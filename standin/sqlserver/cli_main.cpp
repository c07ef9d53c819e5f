// sqlserver-standin: the management tool of the SQL Server stand-in.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "config_schema.h"
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
            if (cmd == "create-config") s.execute_text(kConfigSchemaDdl);
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
