// The columns the parameter markers of a batch stand for, as SQLDescribeParam
// reports them: a marker assigned to a column (INSERT ... VALUES, the items of
// INSERT ... SELECT, UPDATE ... SET), compared with one (=, <>, <, >, <=, >=,
// IN, BETWEEN, LIKE) or its other operand in arithmetic takes that column's
// type and nullability.
#pragma once

#include <optional>
#include <vector>

#include "catalog.h"
#include "tsql_ast.h"

namespace sqlserver_standin {

// By marker position; nullopt where the statement does not tell.
std::vector<std::optional<ColumnInfo>> parameter_columns(const Batch& batch, const Catalog& catalog);

}  // namespace sqlserver_standin
