// Counts what connections send to the server, for benchmarks: statement
// round trips (one per execution, however many parameter sets it carries),
// parameter sets (one execution of the statement text each, as the server
// runs them) and transaction ends (commits and rollbacks from the client).
// The counts are added to a small text file shared by every connection and
// process that names it, under a lock:
//   round_trips N
//   parameter_sets N
//   transaction_ends N
// Read it before and after the work to be measured; counting never changes
// what the driver does, and a file that cannot be opened counts nothing.
#pragma once

#include <string>

namespace sqlserver_standin {

class ExecutionCounter {
public:
    explicit ExecutionCounter(const std::string& path);
    ~ExecutionCounter();
    ExecutionCounter(const ExecutionCounter&) = delete;
    ExecutionCounter& operator=(const ExecutionCounter&) = delete;

    void add(long long round_trips, long long parameter_sets, long long transaction_ends);

private:
    int fd_ = -1;
};

// Appends one line to the file at `path`: the parameter sets that ran and the
// batch's text on one line. An aid for seeing which statements a request runs.
void append_statement_log(const std::string& path, const std::string& text, unsigned long long parameter_sets);

}  // namespace sqlserver_standin
