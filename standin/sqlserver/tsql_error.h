// The error a T-SQL statement fails with: SQL Server's native number,
// SQLSTATE and message, plus the records that follow it (the usual
// "The statement has been terminated." after a constraint violation).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace sqlserver_standin {

struct DiagRecord {
    std::string sqlstate;
    int native = 0;
    std::string message;
    int severity = 16;
    int state = 1;
};

class TsqlError : public std::runtime_error {
public:
    TsqlError(int native, std::string sqlstate, const std::string& message, int severity = 16,
              int state = 1)
        : std::runtime_error(message) {
        records.push_back({std::move(sqlstate), native, message, severity, state});
    }
    int native() const { return records.front().native; }
    void add_terminated() { records.push_back({"01000", 3621, "The statement has been terminated.", 0, 0}); }

    std::vector<DiagRecord> records;
};

// 102: anything outside the dialect the stand-in understands.
inline TsqlError syntax_error(const std::string& near) {
    return TsqlError(102, "42000", "Incorrect syntax near '" + near + "'.", 15);
}

// 1014: a TOP of a negative or NULL number of rows.
inline TsqlError invalid_top() { return TsqlError(1014, "42000", "A TOP or FETCH clause contains an invalid value.", 15); }

}  // namespace sqlserver_standin
