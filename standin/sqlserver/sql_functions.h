// The SQL functions and collations the translated SQL relies on, registered
// on every connection of the stand-in.
#pragma once

#include <sqlite3.h>

#include <string>

#include "tsql_values.h"

namespace sqlserver_standin {

struct Connection;

// The functions find the session through the connection's record.
void register_functions(Connection& connection);

// A function's or a virtual table column's result: the SQLite form of a T-SQL value.
void set_result(sqlite3_context* ctx, const Value& v);

// Errors raised inside a function travel through SQLite's message; these
// encode and decode SQL Server's number, SQLSTATE and text.
std::string encode_function_error(int native, const std::string& sqlstate, const std::string& message);
bool decode_function_error(const std::string& text, int& native, std::string& sqlstate, std::string& message);

}  // namespace sqlserver_standin
