// Rows the session holds in memory, read by SQL as the table-valued function
// tsql_rows(?): columns c0, c1, ... are the values of each row, in the order
// the rows are held. A statement that applies many rows this way runs once,
// not once per row.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "tsql_values.h"

namespace sqlserver_standin {

using RowRefs = std::vector<const std::vector<Value>*>;

// How many columns a row may have to be read through tsql_rows.
constexpr int kRowSourceColumns = 1990;

// Makes tsql_rows known to the connection.
void register_row_source(sqlite3* db);

// Binds the rows to the statement's parameter `index` (the argument of
// tsql_rows); they must outlive the statement's steps.
void bind_rows(sqlite3_stmt* st, int index, const RowRefs* rows);

// "c<i>": the name of the source's column i.
std::string row_source_column(int i);

}  // namespace sqlserver_standin
