// Parses a batch of the T-SQL subset into the syntax tree; anything outside
// the subset fails with 102 "Incorrect syntax near ...".
#pragma once

#include <memory>
#include <string>

#include "tsql_ast.h"

namespace sqlserver_standin {

Batch parse_batch(const std::string& sql);
// The same, parsed once per text and process: the syntax tree is shared and never changed.
std::shared_ptr<const Batch> parse_batch_shared(const std::string& sql);

// The definition text SQL Server stores for a default or check expression:
// "((0))", "(getdate())", "([qty]>(0))".
std::string stored_definition(const Expr& e);

}  // namespace sqlserver_standin
